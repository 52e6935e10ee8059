// A reader of JSON text, made for the AT-SPI walker's document: strings come
// out as views into the text (or, when they hold escapes, into one buffer of
// their decoded forms), and only the values a caller asks for are decoded.
//
// The text must be valid UTF-8. Decoded strings are UTF-8 in which a lone
// surrogate escape (\ud800) stands as its three-byte form, to be decoded
// with "surrogatepass", as Python's json module would keep it.
//
// The skill runner reads model replies with a reader of its own, and the
// two stay apart on purpose: that one builds every Python object of a str's
// value, since the skill gets all of it; this one reads a child's UTF-8
// output lazily and builds only what a snapshot asks for.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace ombrel::vantor::json {

namespace nb = nanobind;

/// One value of the document.
struct Value {
    enum class Kind : unsigned char { missing, null, boolean, number, string, array, object };
    Kind kind = Kind::missing;
    /// A string: its decoded text. Any other kind: its JSON text.
    std::string_view text;

    bool missing() const { return kind == Kind::missing; }
    bool is_string() const { return kind == Kind::string; }
    /// Whether it is an integer written without fraction or exponent.
    bool is_integer() const;
    /// Python's truth of the value json.loads gives.
    bool truth() const;
    /// The value as json.loads gives it.
    nb::object to_python() const;
    /// The Python type name of that value ("str", "int", "list", ...).
    const char *type_name() const;
};

/// Thrown for text that is not JSON.
struct SyntaxError {};

/// Reads values one after another from the text; every method throws
/// SyntaxError at malformed text.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) { decoded_.reserve(text.size()); }

    /// Any value; the insides of arrays and objects are skipped over.
    Value value();
    /// Reads an object, calling `member(key)` at each member; `member` must
    /// read the member's value. False, with nothing read, when no object
    /// starts here.
    template <typename F> bool object(F &&member) {
        skip_space();
        if (!at('{'))
            return false;
        ++pos_;
        skip_space();
        if (at('}')) {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (!at('"'))
                throw SyntaxError{};
            ++pos_;
            std::string_view key = string_body();
            skip_space();
            expect(':');
            member(key);
            skip_space();
            if (at(',')) {
                ++pos_;
                continue;
            }
            expect('}');
            return true;
        }
    }
    /// Reads an array, calling `item()` at each item; `item` must read it.
    /// False, with nothing read, when no array starts here.
    template <typename F> bool array(F &&item) {
        skip_space();
        if (!at('['))
            return false;
        ++pos_;
        skip_space();
        if (at(']')) {
            ++pos_;
            return true;
        }
        for (;;) {
            item();
            skip_space();
            if (at(',')) {
                ++pos_;
                continue;
            }
            expect(']');
            return true;
        }
    }
    /// Only white space is left.
    void end();
    /// Whether the text holds something that Python's json module may refuse
    /// although it is JSON: nesting deeper than its recursion allows, or an
    /// integer longer than `sys.get_int_max_str_digits()`. Those are left to
    /// `json.loads` to decide.
    bool doubtful() const { return doubtful_; }

private:
    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    void expect(char c);
    void skip_space();
    std::string_view string_body();
    void skip_number();
    void skip_digits();
    void skip_literal(std::string_view word);
    /// Skips an array or object, nested ones included, without recursion.
    void skip_container();
    unsigned hex4();
    void append_code_point(unsigned code);

    std::string_view text_;
    std::size_t pos_ = 0;
    bool doubtful_ = false;
    /// Decoded strings with escapes; reserved up front, so views stay valid.
    std::string decoded_;
};

} // namespace ombrel::vantor::json
