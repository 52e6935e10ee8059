// The controller's view of the Python C API: the shared helpers under short
// names, and the interned names of the accessibility libraries and of the
// ref-table entries.
#pragma once

#include "common/common.h"

#include <nanobind/nanobind.h>

namespace ombrel::vantor::py {

namespace nb = nanobind;

using common::attr;
using common::call_method;
using common::checked;
using common::contains;
using common::equal;
using common::get;
using common::import_from;
using common::is_exception;
using common::item;
using common::truthy;

/// Interned strings: attribute names of the accessibility libraries, keys of
/// the results and of the ref-table entries.
struct Names {
    nb::handle empty;
    // pywinauto
    nb::handle friendly_class_name, window_text, element_info, automation_id, enabled,
        iface_value, CurrentValue, children;
    // uiautomation
    nb::handle ControlTypeName, Name, AutomationId, IsEnabled, GetValuePattern, Value,
        GetChildren, Control;
    // ref-table entries
    nb::handle element, control_type, name, auto_id, value, backend;
    nb::handle pywinauto, uiautomation;
    // kinds whose value pywinauto reads
    nb::handle Edit, ComboBox, Document;
};
const Names &names();

/// `value or ""`
inline nb::object or_empty(nb::object value) {
    return truthy(value) ? value : nb::borrow(names().empty);
}

/// `time.sleep(seconds)`: the pause of a function that runs on the executor.
void blocking_sleep(double seconds);

} // namespace ombrel::vantor::py
