// ombrel.skills.corvex: runs user-written Python skills.
#include "corvex.h"

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace corvex = ombrel::corvex;
using namespace nb::literals;

NB_MODULE(corvex, m) {
    bridge::register_coroutine_type(m);
    m.doc() =
        "Python skills for Ombrel.\n\n"
        "A Python skill is one Python source file that defines the coroutine\n"
        "function\n\n"
        "    async def run(ctx: OmbrelContext, params: dict) -> dict\n\n"
        "It may use loops, conditionals, LLM calls, browser automation, file\n"
        "input and output and any Python library through the OmbrelContext it\n"
        "is given. PythonSkillRunner loads the file and runs it; the result is\n"
        "a PythonSkillResult.";

    // Under the user's home, computed once; the runner and the contexts read
    // them from here at each use.
    nb::object home = nb::module_::import_("pathlib").attr("Path").attr("home")();
    nb::object root = corvex::join(home, nb::str(".ombrel"));
    m.attr("SKILLS_DIR") = corvex::join(root, nb::str("skills"));
    m.attr("STATE_DIR") = corvex::join(root, nb::str("skill_state"));
    m.attr("OUTPUT_DIR") = corvex::join(root, nb::str("skill_output"));
    m.attr("logger") = corvex::logger.get();

    m.attr("PythonSkillResult") = corvex::make_result_type(m);

    nb::class_<corvex::Context>(
        m, "OmbrelContext", nb::dynamic_attr(),
        "Everything a Python skill needs to interact with the world")
        .def("__init__",
             [](nb::pointer_and_handle<corvex::Context> self, nb::handle skill_name,
                nb::handle llm_client, nb::handle llm_model) {
                 new (self.p) corvex::Context();
                 corvex::context_init(self.h, skill_name, llm_client, llm_model);
             },
             "skill_name"_a.none(), "llm_client"_a.none() = nb::none(),
             "llm_model"_a.none() = corvex::default_model,
             nb::sig("def __init__(self, skill_name: str, llm_client: typing.Any = None, "
                     "llm_model: str = 'gpt-4.1-mini') -> None"),
             "A context for one run of the skill `skill_name`; creates the state "
             "directory and the skill's output directory.")
        .def("log", &corvex::context_log, "message"_a.none(),
             nb::sig("def log(self, message: str) -> None"),
             "Log a message (visible in skill execution results).")
        .def("get_logs", &corvex::context_get_logs,
             nb::sig("def get_logs(self) -> list[str]"), "Get all log entries.")
        .def("save_state", &corvex::save_state, "key"_a.none(), "value"_a.none(),
             nb::sig("def save_state(self, key: str, value: typing.Any) -> None"),
             "Save a value to persistent state (survives restarts).\n\n"
             "State is stored per skill in ~/.ombrel/skill_state/{skill_name}.json")
        .def("load_state", &corvex::load_state, "key"_a.none(),
             "default"_a.none() = nb::none(),
             nb::sig("def load_state(self, key: str, default: typing.Any = None) -> typing.Any"),
             "Load a value from persistent state.")
        .def("_load_full_state", &corvex::load_full_state,
             nb::sig("def _load_full_state(self) -> dict[str, typing.Any]"),
             "The whole persistent state; a missing, unreadable or malformed "
             "state file reads as an empty dictionary.")
        .def("clear_state", &corvex::clear_state, nb::sig("def clear_state(self) -> None"),
             "Clear all persistent state for this skill.")
        .def("write_file", &corvex::write_file, "path"_a.none(), "content"_a.none(),
             nb::sig("def write_file(self, path: str, content: str) -> str"),
             "Write content to a file. Creates directories if needed.\n\n"
             "A relative path is relative to the skill's output directory. "
             "Returns the absolute path.")
        .def("read_file", &corvex::read_file, "path"_a.none(),
             nb::sig("def read_file(self, path: str) -> str"),
             "Read a file and return its content.")
        .def("shell",
             [](nb::handle self, nb::handle command, nb::handle timeout) {
                 return corvex::shell(nb::borrow(self), nb::borrow(command), nb::borrow(timeout))
                     .named("OmbrelContext.shell");
             },
             "command"_a.none(), "timeout"_a.none() = 30,
             nb::sig("def shell(self, command: str, timeout: float = 30) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, str]"),
             "Run a shell command and return the output.")
        .def("browser_close",
             [](nb::handle self) {
                 return corvex::browser_close(nb::borrow(self)).named("OmbrelContext.browser_close");
             },
             nb::sig("def browser_close(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
             "Close the browser.")
        .def("cleanup",
             [](nb::handle self) {
                 return corvex::cleanup(nb::borrow(self)).named("OmbrelContext.cleanup");
             },
             nb::sig("def cleanup(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
             "Clean up resources (called automatically after skill execution).");

    nb::class_<corvex::Runner>(m, "PythonSkillRunner", nb::dynamic_attr(),
                               "Loads and executes Python-based skills.")
        .def("__init__",
             [](nb::pointer_and_handle<corvex::Runner> self, nb::handle llm_model) {
                 new (self.p) corvex::Runner();
                 corvex::runner_init(self.h, llm_model);
             },
             "llm_model"_a.none() = corvex::default_model,
             nb::sig("def __init__(self, llm_model: str = 'gpt-4.1-mini') -> None"),
             "A runner whose skills' contexts use the model `llm_model`.")
        .def("run",
             [](nb::handle self, nb::handle skill_name, nb::handle params,
                nb::handle script_path) {
                 return corvex::run_skill(nb::borrow(self), nb::borrow(skill_name),
                                          nb::borrow(params), nb::borrow(script_path))
                     .named("PythonSkillRunner.run");
             },
             "skill_name"_a.none(), "params"_a.none(), "script_path"_a.none() = nb::none(),
             nb::sig("def run(self, skill_name: str, params: dict[str, typing.Any], "
                     "script_path: str | None = None) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, PythonSkillResult]"),
             "Load the skill `skill_name` (from SKILLS_DIR, or from `script_path`) "
             "and run its `run(ctx, params)` coroutine. Failures of the skill "
             "come back as a PythonSkillResult with `success` false.");
}
