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
using common::truth;

/// Interned strings: attribute names of the accessibility libraries, keys of
/// the results and of the ref-table entries.
namespace names {
using common::Interned;
inline constinit Interned empty("");
// pywinauto
inline constinit Interned friendly_class_name("friendly_class_name"), window_text("window_text"),
    element_info("element_info"), automation_id("automation_id"), enabled("enabled"),
    iface_value("iface_value"), CurrentValue("CurrentValue"), children("children");
// UI Automation's own element and cache requests, reached through either
inline constinit Interned Element("Element"), BuildUpdatedCache("BuildUpdatedCache"),
    GetCachedPropertyValue("GetCachedPropertyValue"),
    CachedBoundingRectangle("CachedBoundingRectangle"),
    CachedHasKeyboardFocus("CachedHasKeyboardFocus"), CachedIsOffscreen("CachedIsOffscreen"),
    left("left"), top("top"), right("right"), bottom("bottom");
// uiautomation
inline constinit Interned ControlTypeName("ControlTypeName"), Name("Name"),
    AutomationId("AutomationId"), IsEnabled("IsEnabled"), GetValuePattern("GetValuePattern"),
    Value("Value"), GetChildren("GetChildren"), Control("Control");
// ref-table entries
inline constinit Interned element("element"), control_type("control_type"), name("name"),
    auto_id("auto_id"), value("value"), backend("backend"), role("role");
inline constinit Interned pywinauto("pywinauto"), uiautomation("uiautomation");
// kinds whose value pywinauto reads
inline constinit Interned Edit("Edit"), ComboBox("ComboBox"), Document("Document");
// modules of the standard library
inline constinit Interned json("json"), loads("loads"), dumps("dumps"), shutil("shutil"),
    which("which");
// this module and its settings
inline constinit Interned module("ombrel.pc.vantor"), SYSTEM("SYSTEM"),
    INTERACTIVE_TYPES("INTERACTIVE_TYPES"), CONTEXT_TYPES("CONTEXT_TYPES");
} // namespace names

/// `value or ""`
inline nb::object or_empty(nb::object value) {
    return truth(value) ? value : nb::borrow(names::empty);
}

/// `time.sleep(seconds)`: the pause of a function that runs on the executor.
void blocking_sleep(double seconds);

} // namespace ombrel::vantor::py
