// OmbrelContext: construction, the run's log and the clean-up.
#include "skills/corvex/corvex.h"

#include <algorithm>

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

// `_output_limit` is set by the runner that makes the context, only when
// it has one: the context's fields stay as they are without it.
std::optional<Py_ssize_t> output_limit(nb::handle self) {
    nb::object limit = common::attr_or(self, names::output_limit, Py_None);
    if (limit.is_none())
        return std::nullopt;
    Py_ssize_t characters = PyLong_AsSsize_t(common::expect_int(limit, "_output_limit").ptr());
    if (characters == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (characters <= 0)
        common::raise_error(PyExc_ValueError,
                            "_output_limit must be a positive number of characters, not %R",
                            limit.ptr());
    return characters;
}

nb::str cut_marker(Py_ssize_t cut) {
    return nb::steal<nb::str>(
        common::checked(PyUnicode_FromFormat("[... %zd characters cut]", cut)).release());
}

void context_log(nb::handle self, nb::handle message) {
    nb::str text = common::expect_str(message, "message");
    static const common::Interned time_of_day("%H:%M:%S");
    nb::object now = strftime(time_of_day);
    nb::object entry = common::checked(PyUnicode_FromFormat("[%S] %U", now.ptr(), text.ptr()));
    // Under an output limit the log keeps that many characters in all: the
    // entry that reaches it is cut, later ones are only counted.
    if (std::optional<Py_ssize_t> limit = output_limit(self)) {
        Context &context = nb::cast<Context &>(self);
        Py_ssize_t length = common::str_length(entry.ptr());
        Py_ssize_t room = std::max<Py_ssize_t>(*limit - context.log_chars, 0);
        if (length > room) {
            context.log_cut += length - room;
            if (room == 0)
                return;
            entry = common::checked(PyUnicode_Substring(entry.ptr(), 0, room));
            length = room;
        }
        context.log_chars += length;
    }
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
    nb::list entries = nb::steal<nb::list>(common::checked(PySequence_List(logs.ptr())).release());
    Py_ssize_t cut = nb::cast<Context &>(self).log_cut;
    if (cut > 0)
        entries.append(cut_marker(cut));
    return entries;
}

Coro<void> cleanup(nb::object self) {
    co_await bridge::propagating(common::call_method(self, names::browser_close));
}

} // namespace ombrel::corvex
