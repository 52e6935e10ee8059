// OmbrelContext: construction, the run's log and the clean-up.
#include "skills/corvex/corvex.h"

namespace ombrel::corvex {

/// `self.name = value`
static void set(nb::handle self, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

void context_init(nb::handle self, nb::handle skill_name, nb::handle llm_client,
                  nb::handle llm_model) {
    nb::str name = common::expect_str(skill_name, "skill_name");
    nb::str model = common::expect_str(llm_model, "llm_model");
    nb::object state_dir = module_attr(names::STATE_DIR);
    nb::object output_dir = module_attr(names::OUTPUT_DIR);

    set(self, names::skill_name, name);
    set(self, names::llm, llm_client);
    set(self, names::llm_model, model);
    set(self, names::browser_instance, Py_None);
    set(self, names::browser_context, Py_None);
    set(self, names::page, Py_None);
    set(self, names::playwright, Py_None);
    set(self, names::logs, nb::list());
    static JoinMemo state_file_of, output_dir_of;
    nb::object file_name = common::checked(PyUnicode_FromFormat("%U.json", name.ptr()));
    set(self, names::state_file, state_file_of(state_dir, file_name));
    nb::object skill_output = output_dir_of(output_dir, name);
    set(self, names::output_dir, skill_output);

    make_directories(state_dir);
    make_directories(skill_output);
}

void context_log(nb::handle self, nb::handle message) {
    nb::str text = common::expect_str(message, "message");
    static const common::Interned time_of_day("%H:%M:%S");
    nb::object now = strftime(time_of_day);
    nb::object entry = common::checked(PyUnicode_FromFormat("[%S] %U", now.ptr(), text.ptr()));
    nb::object logs = common::attr(self, names::logs);
    if (PyList_CheckExact(logs.ptr())) {
        if (PyList_Append(logs.ptr(), entry.ptr()) < 0)
            throw nb::python_error();
    } else {
        common::call_method(logs, names::append, entry);
    }
    logger.info("[%s] %s", common::attr(self, names::skill_name), text);
}

nb::list context_get_logs(nb::handle self) {
    nb::object logs = common::attr(self, names::logs);
    return nb::steal<nb::list>(common::checked(PySequence_List(logs.ptr())).release());
}

Coro<void> cleanup(nb::object self) {
    co_await bridge::propagating(common::call_method(self, names::browser_close));
}

} // namespace ombrel::corvex
