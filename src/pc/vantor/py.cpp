#include "py.h"

namespace ombrel::vantor::py {

using common::intern;

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

void blocking_sleep(double seconds) {
    common::import_module("time").attr("sleep")(seconds);
}

} // namespace ombrel::vantor::py
