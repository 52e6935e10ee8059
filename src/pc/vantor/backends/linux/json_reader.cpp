#include "pc/vantor/backends/linux/json_reader.h"

#include "common/common.h"
#include "pc/vantor/py.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace ombrel::vantor::json {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char closing(char open) { return open == '[' ? ']' : '}'; }

/// Nesting below this depth (the document's own levels included) is read
/// by Python's json module under any recursion limit a host would set.
constexpr std::size_t surely_readable_depth = 60;
/// Integers up to this many digits convert under any limit Python allows
/// (`sys.set_int_max_str_digits` refuses a limit below 640).
constexpr std::size_t surely_convertible_digits = 640;

} // namespace

// Value ----------------------------------------------------------------------

bool Value::is_integer() const {
    return kind == Kind::number && text.find_first_of(".eEIN") == std::string_view::npos;
}

bool Value::truth() const {
    switch (kind) {
        case Kind::missing:
        case Kind::null: return false;
        case Kind::boolean: return text == "true";
        case Kind::string: return !text.empty();
        case Kind::array:
        case Kind::object:
            // Anything but white space between the brackets.
            return text.find_first_not_of(" \t\r\n", 1) != text.size() - 1;
        case Kind::number: {
            if (text.find_first_of("IN") != std::string_view::npos)
                return true; // NaN and the infinities
            if (is_integer())
                return text.find_first_of("123456789") != std::string_view::npos;
            // A float is zero also when it underflows (1e-400), as Python's
            // correctly rounded conversion makes it.
            std::string digits(text);
            return PyOS_string_to_double(digits.c_str(), nullptr, nullptr) != 0.0;
        }
    }
    return false;
}

nb::object Value::to_python() const {
    switch (kind) {
        case Kind::missing:
        case Kind::null: return nb::none();
        case Kind::boolean: return nb::bool_(text == "true");
        case Kind::string: {
            PyObject *str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                 "surrogatepass");
            return common::checked(str);
        }
        case Kind::number: {
            std::string digits(text);
            if (is_integer())
                return common::checked(PyLong_FromString(digits.c_str(), nullptr, 10));
            if (digits == "NaN")
                return nb::float_(std::nan(""));
            if (digits == "Infinity" || digits == "-Infinity")
                return nb::float_(digits[0] == '-' ? -HUGE_VAL : HUGE_VAL);
            nb::str source(digits.c_str(), digits.size());
            return common::checked(PyFloat_FromString(source.ptr()));
        }
        case Kind::array:
        case Kind::object: break;
    }
    nb::str source(text.data(), text.size());
    return common::module_attr(py::names::json, py::names::loads)(source);
}

const char *Value::type_name() const {
    switch (kind) {
        case Kind::missing:
        case Kind::null: return "NoneType";
        case Kind::boolean: return "bool";
        case Kind::string: return "str";
        case Kind::number: return is_integer() ? "int" : "float";
        case Kind::array: return "list";
        case Kind::object: return "dict";
    }
    return "object";
}

// Reader ---------------------------------------------------------------------

void Reader::skip_space() {
    // A local position: the compiler cannot keep a member in a register
    // across reads through a char pointer.
    std::size_t pos = pos_;
    const char *data = text_.data();
    std::size_t size = text_.size();
    while (pos < size) {
        char c = data[pos];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            break;
        ++pos;
    }
    pos_ = pos;
}

void Reader::expect(char c) {
    if (!at(c))
        throw SyntaxError{};
    ++pos_;
}

void Reader::end() {
    skip_space();
    if (pos_ != text_.size())
        throw SyntaxError{};
}

Value Reader::value() {
    skip_space();
    if (pos_ >= text_.size())
        throw SyntaxError{};
    std::size_t start = pos_;
    Value v;
    switch (text_[pos_]) {
        case '"':
            ++pos_;
            v.kind = Value::Kind::string;
            v.text = string_body();
            return v;
        case '[':
        case '{':
            v.kind = text_[pos_] == '[' ? Value::Kind::array : Value::Kind::object;
            skip_container();
            break;
        case 't':
            v.kind = Value::Kind::boolean;
            skip_literal("true");
            break;
        case 'f':
            v.kind = Value::Kind::boolean;
            skip_literal("false");
            break;
        case 'n':
            v.kind = Value::Kind::null;
            skip_literal("null");
            break;
        default:
            v.kind = Value::Kind::number;
            skip_number();
            break;
    }
    v.text = text_.substr(start, pos_ - start);
    return v;
}

void Reader::skip_literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word)
        throw SyntaxError{};
    pos_ += word.size();
}

void Reader::skip_number() {
    // What Python's json module reads: NaN, Infinity, -Infinity, and the
    // numbers of the JSON grammar.
    if (at('N')) {
        skip_literal("NaN");
        return;
    }
    if (at('-'))
        ++pos_;
    if (at('I')) {
        skip_literal("Infinity");
        return;
    }
    if (at('0')) {
        ++pos_;
    } else {
        if (pos_ >= text_.size() || !is_digit(text_[pos_]))
            throw SyntaxError{};
        std::size_t first = pos_;
        skip_digits();
        if (pos_ - first > surely_convertible_digits && !at('.') && !at('e') && !at('E'))
            doubtful_ = true;
    }
    if (at('.') && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
        ++pos_;
        skip_digits();
    }
    if (at('e') || at('E')) {
        std::size_t mark = pos_++;
        if (at('+') || at('-'))
            ++pos_;
        if (pos_ < text_.size() && is_digit(text_[pos_])) {
            skip_digits();
        } else {
            pos_ = mark; // "1e" is the number 1 and then garbage
        }
    }
}

void Reader::skip_digits() {
    std::size_t pos = pos_;
    const char *data = text_.data();
    std::size_t size = text_.size();
    while (pos < size && is_digit(data[pos]))
        ++pos;
    pos_ = pos;
}

void Reader::skip_container() {
    std::vector<char> open;
    bool starting = true; // at an opening bracket
    for (;;) {
        if (starting) {
            open.push_back(text_[pos_++]);
            if (open.size() > surely_readable_depth)
                doubtful_ = true;
            skip_space();
            if (at(closing(open.back()))) {
                ++pos_;
                open.pop_back();
            } else {
                // The first item (or member) of the container.
                if (open.back() == '{') {
                    expect('"');
                    string_body();
                    skip_space();
                    expect(':');
                }
                skip_space();
                if (at('[') || at('{'))
                    continue;
                value();
            }
            starting = false;
        }
        // After a value: the next item, or the end of its container.
        while (!open.empty()) {
            skip_space();
            if (at(',')) {
                ++pos_;
                skip_space();
                if (open.back() == '{') {
                    expect('"');
                    string_body();
                    skip_space();
                    expect(':');
                    skip_space();
                }
                if (at('[') || at('{')) {
                    starting = true;
                    break;
                }
                value();
                continue;
            }
            expect(closing(open.back()));
            open.pop_back();
        }
        if (open.empty())
            return;
    }
}

unsigned Reader::hex4() {
    if (pos_ + 4 > text_.size())
        throw SyntaxError{};
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
        char c = text_[pos_++];
        code <<= 4;
        if (c >= '0' && c <= '9')
            code |= static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            code |= static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            code |= static_cast<unsigned>(c - 'A' + 10);
        else
            throw SyntaxError{};
    }
    return code;
}

void Reader::append_code_point(unsigned code) {
    if (code < 0x80) {
        decoded_.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        decoded_.push_back(static_cast<char>(0xC0 | (code >> 6)));
        decoded_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        decoded_.push_back(static_cast<char>(0xE0 | (code >> 12)));
        decoded_.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        decoded_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        decoded_.push_back(static_cast<char>(0xF0 | (code >> 18)));
        decoded_.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        decoded_.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        decoded_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

std::string_view Reader::string_body() {
    std::size_t start = pos_, pos = pos_;
    const char *data = text_.data();
    std::size_t size = text_.size();
    // Most strings have no escape: find the closing quote, then check the
    // run before it in one pass without branches.
    if (const void *quote = std::memchr(data + start, '"', size - start)) {
        std::size_t end = static_cast<std::size_t>(static_cast<const char *>(quote) - data);
        bool plain = true;
        for (std::size_t i = start; i < end; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            plain &= (c != '\\') & (c >= 0x20);
        }
        if (plain) {
            pos_ = end + 1;
            return text_.substr(start, end - start);
        }
    }
    // The plain run up to the closing quote or the first escape.
    while (pos < size) {
        unsigned char c = static_cast<unsigned char>(data[pos]);
        if (c == '"') {
            pos_ = pos + 1;
            return text_.substr(start, pos - start);
        }
        if (c == '\\')
            break;
        if (c < 0x20)
            throw SyntaxError{}; // control characters must be escaped
        ++pos;
    }
    pos_ = pos;
    if (pos_ >= text_.size())
        throw SyntaxError{};
    // With escapes: decoded into the buffer.
    std::size_t begin = decoded_.size();
    decoded_.append(text_.substr(start, pos_ - start));
    while (pos_ < text_.size()) {
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') {
            ++pos_;
            return std::string_view(decoded_).substr(begin);
        }
        if (c < 0x20)
            throw SyntaxError{};
        if (c != '\\') {
            decoded_.push_back(static_cast<char>(c));
            ++pos_;
            continue;
        }
        if (++pos_ >= text_.size())
            throw SyntaxError{};
        char escape = text_[pos_++];
        switch (escape) {
            case '"': decoded_.push_back('"'); break;
            case '\\': decoded_.push_back('\\'); break;
            case '/': decoded_.push_back('/'); break;
            case 'b': decoded_.push_back('\b'); break;
            case 'f': decoded_.push_back('\f'); break;
            case 'n': decoded_.push_back('\n'); break;
            case 'r': decoded_.push_back('\r'); break;
            case 't': decoded_.push_back('\t'); break;
            case 'u': {
                unsigned code = hex4();
                if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
                    std::size_t mark = pos_;
                    pos_ += 2;
                    unsigned low = hex4();
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    else
                        pos_ = mark; // a lone high surrogate, then another escape
                }
                append_code_point(code);
                break;
            }
            default: throw SyntaxError{};
        }
    }
    throw SyntaxError{};
}

} // namespace ombrel::vantor::json
