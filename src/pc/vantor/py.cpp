#include "py.h"

namespace ombrel::vantor::py {

static nb::handle intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

const Names &names() {
    // Built on first use (under the GIL) and never freed: the strings live
    // as long as the interpreter may call into this module.
    static const Names *const table = [] {
        auto *n = new Names;
        n->empty = intern("");
        n->friendly_class_name = intern("friendly_class_name");
        n->window_text = intern("window_text");
        n->element_info = intern("element_info");
        n->automation_id = intern("automation_id");
        n->enabled = intern("enabled");
        n->iface_value = intern("iface_value");
        n->CurrentValue = intern("CurrentValue");
        n->children = intern("children");
        n->ControlTypeName = intern("ControlTypeName");
        n->Name = intern("Name");
        n->AutomationId = intern("AutomationId");
        n->IsEnabled = intern("IsEnabled");
        n->GetValuePattern = intern("GetValuePattern");
        n->Value = intern("Value");
        n->GetChildren = intern("GetChildren");
        n->Control = intern("Control");
        n->element = intern("element");
        n->control_type = intern("control_type");
        n->name = intern("name");
        n->auto_id = intern("auto_id");
        n->value = intern("value");
        n->backend = intern("backend");
        n->pywinauto = intern("pywinauto");
        n->uiautomation = intern("uiautomation");
        n->Edit = intern("Edit");
        n->ComboBox = intern("ComboBox");
        n->Document = intern("Document");
        return n;
    }();
    return *table;
}

nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *found = PyDict_GetItemString(mapping.ptr(), key);
        return nb::borrow(found ? found : fallback.ptr());
    }
    return mapping.attr("get")(key, fallback);
}

nb::object import_from(const char *module, const char *name) {
    nb::module_ imported = nb::module_::import_(module);
    PyObject *value = PyObject_GetAttrString(imported.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw nb::python_error();
}

void blocking_sleep(double seconds) {
    nb::module_::import_("time").attr("sleep")(seconds);
}

} // namespace ombrel::vantor::py
