// A JSON reader for the model's replies: builds the same objects as
// `json.loads` for ordinary documents, straight from the text's characters.
// Whatever it does not handle itself (invalid JSON, NaN and Infinity, integers
// beyond 64 bits, lone surrogate escapes, very deep nesting) it declines, and
// the caller hands the text to `json.loads`, whose answer (or error) stands.
//
// The desktop controller has a JSON reader of its own, and the two stay
// apart on purpose: this one turns all of a str (of any of Python's three
// character widths) into Python objects, since the skill gets the whole
// value; that one walks the UTF-8 bytes of a child's output and decodes only
// the few fields the snapshot needs, as views, without building the rest.
#include "skills/corvex/corvex.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

namespace ombrel::corvex {

namespace {

/// Nesting depth beyond which `json.loads` decides (it raises RecursionError
/// somewhere past the interpreter's recursion limit).
constexpr int max_depth = 200;
/// Longest number text read here; longer ones go to `json.loads`.
constexpr size_t max_number_chars = 40;

/// The characters of an object key, for the cache of key strings.
template <typename Char> struct KeyText {
    const Char *data;
    size_t size;
    bool operator==(const KeyText &other) const {
        return size == other.size && std::memcmp(data, other.data, size * sizeof(Char)) == 0;
    }
};

template <typename Char> struct KeyHash {
    size_t operator()(const KeyText<Char> &key) const {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (size_t i = 0; i < key.size; ++i)
            hash = (hash ^ static_cast<uint64_t>(key.data[i])) * 1099511628211ull;
        return static_cast<size_t>(hash);
    }
};

/// Declined: the text goes to `json.loads`.
struct Declined {};

template <typename Char> class Reader {
public:
    Reader(const Char *begin, const Char *end) : p_(begin), end_(end) {}

    nb::object document() {
        nb::object value = read_value(0);
        skip_space();
        if (p_ != end_)
            throw Declined{};
        return value;
    }

private:
    const Char *p_;
    const Char *end_;
    /// Keys repeat across the objects of a reply: one string per key text,
    /// as `json.loads` shares them too.
    std::unordered_map<KeyText<Char>, nb::object, KeyHash<Char>> keys_;

    static nb::object checked(PyObject *object) {
        if (!object)
            throw nb::python_error();
        return nb::steal(object);
    }

    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }

    /// Consumes `word` if the text continues with it.
    bool take(const char *word) {
        const Char *q = p_;
        for (; *word; ++word, ++q)
            if (q == end_ || *q != static_cast<Char>(static_cast<unsigned char>(*word)))
                return false;
        p_ = q;
        return true;
    }

    nb::object read_value(int depth) {
        if (p_ == end_)
            throw Declined{};
        switch (*p_) {
        case '{': return read_object(depth + 1);
        case '[': return read_array(depth + 1);
        case '"': return read_string();
        case 't':
            if (take("true"))
                return nb::borrow(Py_True);
            throw Declined{};
        case 'f':
            if (take("false"))
                return nb::borrow(Py_False);
            throw Declined{};
        case 'n':
            if (take("null"))
                return nb::none();
            throw Declined{};
        default: return read_number();
        }
    }

    nb::object read_object(int depth) {
        if (depth > max_depth)
            throw Declined{};
        ++p_;  // {
        nb::object object = checked(PyDict_New());
        skip_space();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return object;
        }
        for (;;) {
            if (p_ == end_ || *p_ != '"')
                throw Declined{};
            nb::object key = read_key();
            skip_space();
            if (p_ == end_ || *p_ != ':')
                throw Declined{};
            ++p_;
            skip_space();
            nb::object value = read_value(depth);
            if (PyDict_SetItem(object.ptr(), key.ptr(), value.ptr()) < 0)
                throw nb::python_error();
            skip_space();
            if (p_ == end_)
                throw Declined{};
            if (*p_ == '}') {
                ++p_;
                return object;
            }
            if (*p_ != ',')
                throw Declined{};
            ++p_;
            skip_space();
        }
    }

    nb::object read_array(int depth) {
        if (depth > max_depth)
            throw Declined{};
        ++p_;  // [
        nb::object array = checked(PyList_New(0));
        skip_space();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return array;
        }
        for (;;) {
            nb::object value = read_value(depth);
            if (PyList_Append(array.ptr(), value.ptr()) < 0)
                throw nb::python_error();
            skip_space();
            if (p_ == end_)
                throw Declined{};
            if (*p_ == ']') {
                ++p_;
                return array;
            }
            if (*p_ != ',')
                throw Declined{};
            ++p_;
            skip_space();
        }
    }

    /// A key without escapes comes from the cache of key strings.
    nb::object read_key() {
        const Char *start = p_ + 1;
        const Char *q = start;
        while (q != end_ && *q != '"' && *q != '\\' && *q >= 0x20)
            ++q;
        if (q == end_ || *q != '"')
            return read_string();
        KeyText<Char> text{start, static_cast<size_t>(q - start)};
        auto found = keys_.find(text);
        p_ = q + 1;
        if (found != keys_.end())
            return found->second;
        nb::object key = plain_string(start, q);
        keys_.emplace(text, key);
        return key;
    }

    static nb::object plain_string(const Char *begin, const Char *end) {
        Py_ssize_t size = end - begin;
        if constexpr (sizeof(Char) == 1) {
            // Most replies are ASCII: no search for the widest character.
            bool ascii = true;
            for (const Char *c = begin; c != end; ++c)
                ascii &= *c < 0x80;
            if (ascii)
                return checked(common::str_from_ascii(reinterpret_cast<const char *>(begin), size));
        }
        return checked(common::str_from_characters(begin, size));
    }

    static int hex_digit(Char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    /// Four hex digits after "\u".
    Py_UCS4 read_hex4() {
        if (end_ - p_ < 4)
            throw Declined{};
        Py_UCS4 value = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hex_digit(*p_++);
            if (digit < 0)
                throw Declined{};
            value = value * 16 + static_cast<Py_UCS4>(digit);
        }
        return value;
    }

    nb::object read_string() {
        const Char *start = ++p_;  // after the quote
        while (p_ != end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20)
            ++p_;
        if (p_ == end_ || *p_ < 0x20)
            throw Declined{};  // unterminated, or a control character
        if (*p_ == '"')
            return plain_string(start, p_++);

        // With escapes: the characters are collected first.
        std::u32string chars(start, p_);
        while (true) {
            if (p_ == end_ || *p_ < 0x20)
                throw Declined{};
            Char c = *p_++;
            if (c == '"')
                break;
            if (c != '\\') {
                chars.push_back(static_cast<char32_t>(c));
                continue;
            }
            if (p_ == end_)
                throw Declined{};
            switch (*p_++) {
            case '"': chars.push_back(U'"'); break;
            case '\\': chars.push_back(U'\\'); break;
            case '/': chars.push_back(U'/'); break;
            case 'b': chars.push_back(U'\b'); break;
            case 'f': chars.push_back(U'\f'); break;
            case 'n': chars.push_back(U'\n'); break;
            case 'r': chars.push_back(U'\r'); break;
            case 't': chars.push_back(U'\t'); break;
            case 'u': {
                Py_UCS4 unit = read_hex4();
                if (unit >= 0xdc00 && unit <= 0xdfff)
                    throw Declined{};  // a lone low surrogate
                if (unit >= 0xd800 && unit <= 0xdbff) {
                    if (!take("\\u"))
                        throw Declined{};  // a lone high surrogate
                    Py_UCS4 low = read_hex4();
                    if (low < 0xdc00 || low > 0xdfff)
                        throw Declined{};
                    unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
                }
                chars.push_back(static_cast<char32_t>(unit));
                break;
            }
            default: throw Declined{};
            }
        }
        return checked(common::str_from_ucs4(reinterpret_cast<const Py_UCS4 *>(chars.data()),
                                             static_cast<Py_ssize_t>(chars.size())));
    }

    bool digit_here() const { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; }

    nb::object read_number() {
        const Char *start = p_;
        bool negative = p_ != end_ && *p_ == '-';
        if (negative)
            ++p_;
        if (!digit_here())
            throw Declined{};  // NaN, Infinity, or no JSON at all
        if (*p_ == '0') {
            ++p_;
            if (digit_here())
                throw Declined{};  // a leading zero
        } else {
            while (digit_here())
                ++p_;
        }
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (!digit_here())
                throw Declined{};
            while (digit_here())
                ++p_;
            integer = false;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-'))
                ++p_;
            if (!digit_here())
                throw Declined{};
            while (digit_here())
                ++p_;
            integer = false;
        }
        size_t size = static_cast<size_t>(p_ - start);
        if (size > max_number_chars)
            throw Declined{};
        char text[max_number_chars + 1];
        for (size_t i = 0; i < size; ++i)
            text[i] = static_cast<char>(start[i]);
        text[size] = '\0';
        if (integer) {
            if (size - (negative ? 1 : 0) > 18)
                throw Declined{};  // may not fit 64 bits
            return checked(PyLong_FromLongLong(std::strtoll(text, nullptr, 10)));
        }
        // Python's own correctly rounded conversion, as float() uses.
        double value = PyOS_string_to_double(text, nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return checked(PyFloat_FromDouble(value));
    }
};

template <typename Char> nb::object read_document(const Char *begin, const Char *end) {
    Reader<Char> reader(begin, end);
    try {
        return reader.document();
    } catch (Declined &) {
        return nb::object();
    }
}

} // namespace

nb::object read_json(nb::str text) {
    return common::with_characters(
        text.ptr(), [](const auto *begin, const auto *end) { return read_document(begin, end); });
}

} // namespace ombrel::corvex
