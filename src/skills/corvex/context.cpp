// OmbrelContext: construction, the run's log and the clean-up.
#include "corvex.h"

namespace ombrel::corvex {

void context_init(nb::handle self, nb::handle skill_name, nb::handle llm_client,
                  nb::handle llm_model) {
    nb::str name = common::expect_str(skill_name, "skill_name");
    nb::str model = common::expect_str(llm_model, "llm_model");
    nb::object state_dir = module_attr("STATE_DIR");
    nb::object output_dir = module_attr("OUTPUT_DIR");

    self.attr("skill_name") = name;
    self.attr("_llm") = llm_client;
    self.attr("_llm_model") = model;
    self.attr("_browser_instance") = nb::none();
    self.attr("_browser_context") = nb::none();
    self.attr("_page") = nb::none();
    self.attr("_playwright") = nb::none();
    self.attr("_logs") = nb::list();
    self.attr("_state_file") = join(state_dir, nb::str("{}.json").format(name));
    nb::object skill_output = join(output_dir, name);
    self.attr("_output_dir") = skill_output;

    state_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    skill_output.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
}

void context_log(nb::handle self, nb::handle message) {
    nb::str text = common::expect_str(message, "message");
    nb::object now = import_module("time").attr("strftime")("%H:%M:%S");
    nb::str entry = nb::str("[{}] {}").format(now, text);
    self.attr("_logs").attr("append")(entry);
    logger.info("[%s] %s", nb::object(self.attr("skill_name")), text);
}

nb::list context_get_logs(nb::handle self) {
    return nb::steal<nb::list>([&] {
        PyObject *copy = PySequence_List(self.attr("_logs").ptr());
        if (!copy)
            throw nb::python_error();
        return copy;
    }());
}

Coro<void> cleanup(nb::object self) {
    co_await self.attr("browser_close")();
}

} // namespace ombrel::corvex
