// The AppleScript texts the macOS backend runs, and running them.
//
// Each script is a template (a file under scripts/, embedded at build time)
// whose "{{name}}" places receive values. Every value is written as the
// inside of an AppleScript string literal: backslashes doubled, then a
// backslash before each double quote, so that no name, title or text can
// end its literal and run script of its own.
#pragma once

#include "pc/vantor/vantor.h"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace ombrel::vantor::macos {

/// The templates.
struct Scripts {
    static const char *const frontmost_app;   // the frontmost application's name
    static const char *const window_app;      // {{title}}: the app owning a matching window
    static const char *const tree;            // {{app}}, {{depth}}: the element lines
    static const char *const tree_options;    // the same with {{max_elements}},
                                              // {{max_output}}, {{details}}, {{has_root}},
                                              // {{root_role}}, {{root_name}}
    static const char *const element_exists;  // {{app}}, {{role}}, {{name}}
    static const char *const click;           // {{app}}, {{name}}
    static const char *const type;            // {{app}}, {{name}}, {{text}}, {{clear_first}},
                                              // {{press_enter}}
    static const char *const window_name;     // {{app}}: the name of its window 1
    static const char *const list_windows;    // "app|title" lines
    static const char *const focus;           // {{title}}: the app brought to the front
    static const char *const key_code;        // {{code}}
    static const char *const keystroke;       // {{key}}
    static const char *const keystroke_using; // {{key}}, {{modifiers}}
};

/// `text.replace("\\", "\\\\").replace('"', '\\"')` of `str(value)`.
nb::str escape(nb::handle value);

/// The template with each "{{name}}" replaced by the escaped text of its
/// value (one trailing line feed of the file dropped).
nb::str fill(std::string_view script,
             std::initializer_list<std::pair<std::string_view, nb::handle>> values = {});

/// Runs `osascript -e <script>` with piped output, bounded by `seconds`:
/// (returncode, stdout bytes, stderr bytes). A child that overruns is killed
/// and reaped before the TimeoutError arrives.
Coro<nb::tuple> run(nb::object script, double seconds);

/// The script's answer: its standard output decoded as UTF-8 (strictly) and
/// stripped of surrounding white space.
Coro<nb::str> answer(nb::object script, double seconds);

/// Output bytes decoded as UTF-8, undecodable bytes replaced, and stripped.
nb::str decode_lenient(nb::handle output);

} // namespace ombrel::vantor::macos
