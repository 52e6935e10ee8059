#include "pc/vantor/backends/macos/scripts.h"

#include "pc/vantor/py.h"

#include "vantor_macos_click.h"
#include "vantor_macos_element_exists.h"
#include "vantor_macos_focus.h"
#include "vantor_macos_frontmost_app.h"
#include "vantor_macos_key_code.h"
#include "vantor_macos_keystroke.h"
#include "vantor_macos_keystroke_using.h"
#include "vantor_macos_list_windows.h"
#include "vantor_macos_tree.h"
#include "vantor_macos_tree_options.h"
#include "vantor_macos_type.h"
#include "vantor_macos_window_app.h"
#include "vantor_macos_window_name.h"

#include <stdexcept>
#include <string>

namespace ombrel::vantor::macos {

const char *const Scripts::frontmost_app = vantor_macos_frontmost_app;
const char *const Scripts::window_app = vantor_macos_window_app;
const char *const Scripts::tree = vantor_macos_tree;
const char *const Scripts::tree_options = vantor_macos_tree_options;
const char *const Scripts::element_exists = vantor_macos_element_exists;
const char *const Scripts::click = vantor_macos_click;
const char *const Scripts::type = vantor_macos_type;
const char *const Scripts::window_name = vantor_macos_window_name;
const char *const Scripts::list_windows = vantor_macos_list_windows;
const char *const Scripts::focus = vantor_macos_focus;
const char *const Scripts::key_code = vantor_macos_key_code;
const char *const Scripts::keystroke = vantor_macos_keystroke;
const char *const Scripts::keystroke_using = vantor_macos_keystroke_using;

nb::str escape(nb::handle value) {
    nb::str text(value);
    nb::object doubled = text.attr("replace")("\\", "\\\\");
    return nb::borrow<nb::str>(doubled.attr("replace")("\"", "\\\""));
}

namespace {

bool is_name(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!(c == '_' || (c >= 'a' && c <= 'z')))
            return false;
    return true;
}

nb::str literal(std::string_view text) {
    return nb::borrow<nb::str>(py::checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict")));
}

} // namespace

nb::str fill(std::string_view script,
             std::initializer_list<std::pair<std::string_view, nb::handle>> values) {
    if (script.ends_with('\n'))
        script.remove_suffix(1);
    nb::list pieces;
    std::size_t start = 0, at = 0;
    while ((at = script.find("{{", at)) != std::string_view::npos) {
        std::size_t close = script.find("}}", at + 2);
        std::string_view name =
            close == std::string_view::npos ? std::string_view{}
                                            : script.substr(at + 2, close - at - 2);
        if (!is_name(name)) {
            ++at; // "{{{name}}}": a literal brace before the place
            continue;
        }
        const std::pair<std::string_view, nb::handle> *value = nullptr;
        for (const auto &pair : values)
            if (pair.first == name)
                value = &pair;
        if (!value)
            throw std::logic_error("no value for {{" + std::string(name) + "}} in a script");
        pieces.append(literal(script.substr(start, at - start)));
        pieces.append(escape(value->second));
        start = at = close + 2;
    }
    pieces.append(literal(script.substr(start)));
    return nb::borrow<nb::str>(nb::str("").attr("join")(pieces));
}

Coro<nb::tuple> run(nb::object script, double seconds) {
    bridge::Local<> command = nb::make_tuple("osascript", "-e", script);
    bridge::ProcessOptions options;
    options.timeout = seconds;
    co_return co_await bridge::run_process(command, options);
}

Coro<nb::str> answer(nb::object script, double seconds) {
    nb::tuple finished = co_await run(script, seconds);
    nb::object text = nb::object(finished[1]).attr("decode")("utf-8");
    co_return nb::borrow<nb::str>(text.attr("strip")());
}

nb::str decode_lenient(nb::handle output) {
    nb::object text = output.attr("decode")("utf-8", "replace");
    return nb::borrow<nb::str>(text.attr("strip")());
}

} // namespace ombrel::vantor::macos
