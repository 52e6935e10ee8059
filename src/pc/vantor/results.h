// Result dictionaries and the controller's fixed texts.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::vantor {

namespace nb = nanobind;

inline constexpr const char *SNAPSHOT_HINT =
    "Use ref numbers to interact: desktop_click_ref(1), desktop_type_ref(2, 'text'), etc.";
inline constexpr const char *UPDATED_STATE_HINT =
    "Take a desktop_snapshot() to see the updated state.";
inline constexpr const char *WINDOW_FOCUSED_HINT =
    "Window focused. Use desktop_snapshot() to see its contents.";

/// {"success": False, "error": error}
nb::dict failure(nb::handle error);
nb::dict failure(const char *error);
/// {"success": False, "error": error, "ref": ref}
nb::dict failure(nb::handle error, nb::handle ref);
nb::dict failure(const char *error, nb::handle ref);
/// A failure whose text is `str(e)` of a caught error.
nb::dict failure(const nb::python_error &error);
nb::dict failure(const nb::python_error &error, nb::handle ref);

/// {"success": True}, to which the operation adds its keys.
nb::dict success();
/// {"success": True, "action": "key_press", "key": key}: a key press sent,
/// whichever strategy sent it.
nb::dict key_pressed(nb::handle key);

/// The element label of a Windows entry: its kind, a space and its name
/// in double quotes.
nb::str element_label(nb::handle elem_info);

} // namespace ombrel::vantor
