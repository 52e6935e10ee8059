// ombrel.skills.corvex: runs user-written Python skills.
#include "skills/corvex/corvex.h"

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace corvex = ombrel::corvex;
using namespace nb::literals;

// The annotation of a coroutine method's result.
#define CORO(result) "collections.abc.Coroutine[typing.Any, typing.Any, " result "]"

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
        // The browser: one headless Chromium page, opened on first use.
        .def("browser_open",
             [](nb::handle self) {
                 return corvex::browser_open(nb::borrow(self)).named("OmbrelContext.browser_open");
             },
             nb::sig("def browser_open(self) -> " CORO("typing.Any")),
             R"(Open a browser and return the Playwright page object.

The raw Playwright page is returned for full flexibility; the browser is
headless. Later operations reuse it until browser_close(). Cookies and
storage saved by browser_save_session() are loaded into it.

Returns:
    The Playwright page.)")
        .def("browser_navigate",
             [](nb::handle self, nb::handle url, nb::handle wait_until) {
                 return corvex::browser_navigate(nb::borrow(self), nb::borrow(url),
                                                 nb::borrow(wait_until))
                     .named("OmbrelContext.browser_navigate");
             },
             "url"_a.none(), "wait_until"_a.none() = "domcontentloaded",
             nb::sig("def browser_navigate(self, url: str, wait_until: str = 'domcontentloaded') "
                     "-> " CORO("None")),
             R"(Navigate to a URL.

Args:
    url: The address to load.
    wait_until: The load state to wait for ("domcontentloaded", "load",
        "networkidle" or "commit"), for at most 30 seconds; a further second
        passes before the call returns.)")
        .def("browser_click",
             [](nb::handle self, nb::handle selector, nb::handle timeout) {
                 return corvex::browser_click(nb::borrow(self), nb::borrow(selector),
                                              nb::borrow(timeout))
                     .named("OmbrelContext.browser_click");
             },
             "selector"_a.none(), "timeout"_a.none() = 5000,
             nb::sig("def browser_click(self, selector: str, timeout: float = 5000) -> " CORO("None")),
             R"(Click an element by CSS selector.

Args:
    selector: CSS selector of the element.
    timeout: Milliseconds to wait for the element.)")
        .def("browser_type",
             [](nb::handle self, nb::handle selector, nb::handle text, nb::handle timeout) {
                 return corvex::browser_type(nb::borrow(self), nb::borrow(selector),
                                             nb::borrow(text), nb::borrow(timeout))
                     .named("OmbrelContext.browser_type");
             },
             "selector"_a.none(), "text"_a.none(), "timeout"_a.none() = 5000,
             nb::sig("def browser_type(self, selector: str, text: str, timeout: float = 5000) "
                     "-> " CORO("None")),
             R"(Type text into an element.

The element's value is replaced by `text`; the text is not logged.

Args:
    selector: CSS selector of an input, text area or editable element.
    text: The text to enter.
    timeout: Milliseconds to wait for the element.)")
        .def("browser_evaluate",
             [](nb::handle self, nb::handle js) {
                 return corvex::browser_evaluate(nb::borrow(self), nb::borrow(js))
                     .named("OmbrelContext.browser_evaluate");
             },
             "js"_a.none(), nb::sig("def browser_evaluate(self, js: str) -> " CORO("typing.Any")),
             R"(Execute JavaScript in the browser and return the result.

Args:
    js: A JavaScript expression or function.

Returns:
    The script's value, converted to Python.)")
        .def("browser_get_text",
             [](nb::handle self) {
                 return corvex::browser_get_text(nb::borrow(self))
                     .named("OmbrelContext.browser_get_text");
             },
             nb::sig("def browser_get_text(self) -> " CORO("str")),
             R"(Get all visible text from the current page.

Returns:
    The page body's rendered text.)")
        .def("browser_wait",
             [](nb::handle self, nb::handle selector, nb::handle timeout) {
                 return corvex::browser_wait(nb::borrow(self), nb::borrow(selector),
                                             nb::borrow(timeout))
                     .named("OmbrelContext.browser_wait");
             },
             "selector"_a.none(), "timeout"_a.none() = 10000,
             nb::sig("def browser_wait(self, selector: str, timeout: float = 10000) -> " CORO("None")),
             R"(Wait for an element to appear.

Args:
    selector: CSS selector of the element.
    timeout: Milliseconds to wait before failing.)")
        .def("browser_screenshot",
             [](nb::handle self, nb::handle name) {
                 return corvex::browser_screenshot(nb::borrow(self), nb::borrow(name))
                     .named("OmbrelContext.browser_screenshot");
             },
             "name"_a.none() = "screenshot",
             nb::sig("def browser_screenshot(self, name: str = 'screenshot') -> " CORO("str")),
             R"(Take a screenshot and save it. Returns the file path.

Args:
    name: File name without the ".png" suffix, in the skill's output
        directory.

Returns:
    The path of the PNG file.)")
        .def("browser_upload",
             [](nb::handle self, nb::handle selector, nb::handle file_path) {
                 return corvex::browser_upload(nb::borrow(self), nb::borrow(selector),
                                               nb::borrow(file_path))
                     .named("OmbrelContext.browser_upload");
             },
             "selector"_a.none(), "file_path"_a.none(),
             nb::sig("def browser_upload(self, selector: str, file_path: str) -> " CORO("None")),
             R"(Upload a file to a file input element.

Args:
    selector: CSS selector of the file input.
    file_path: The file, as given (not taken from the output directory).)")
        .def("browser_save_session",
             [](nb::handle self) {
                 return corvex::browser_save_session(nb::borrow(self))
                     .named("OmbrelContext.browser_save_session");
             },
             nb::sig("def browser_save_session(self) -> " CORO("None")),
             R"(Save the current browser session (cookies, storage) for reuse.

Every skill that opens the browser later starts with this session
(~/.ombrel/browser_session/state.json). Nothing happens when no browser is
open.)")
        .def("browser_close",
             [](nb::handle self) {
                 return corvex::browser_close(nb::borrow(self)).named("OmbrelContext.browser_close");
             },
             nb::sig("def browser_close(self) -> " CORO("None")),
             "Close the browser.")
        // The language model.
        .def("llm_ask",
             [](nb::handle self, nb::handle prompt, nb::handle system) {
                 return corvex::llm_ask(nb::borrow(self), nb::borrow(prompt), nb::borrow(system))
                     .named("OmbrelContext.llm_ask");
             },
             "prompt"_a.none(), "system"_a.none() = "",
             nb::sig("def llm_ask(self, prompt: str, system: str = '') -> " CORO("str")),
             R"(Ask the LLM a question and get a text response.

Args:
    prompt: The user message or question.
    system: Optional system prompt for context.

Returns:
    The LLM's text response.)")
        .def("llm_json",
             [](nb::handle self, nb::handle prompt, nb::handle system) {
                 return corvex::llm_json(nb::borrow(self), nb::borrow(prompt), nb::borrow(system))
                     .named("OmbrelContext.llm_json");
             },
             "prompt"_a.none(), "system"_a.none() = "",
             nb::sig("def llm_json(self, prompt: str, system: str = '') -> "
                     CORO("dict[str, typing.Any] | None")),
             R"(Ask the LLM and parse the response as JSON.

The prompt should instruct the LLM to respond in JSON format. A reply that
wraps the JSON in a fenced code block is unwrapped first.

Args:
    prompt: The user message or question.
    system: Optional system prompt for context.

Returns:
    The parsed JSON object (None for a JSON null), or {"raw_response":
    <reply>, "parse_error": True} when the reply is not valid JSON. Any other
    JSON value raises TypeError.)")
        .def("_create_llm_client", &corvex::create_llm_client,
             nb::sig("def _create_llm_client(self) -> typing.Any"),
             "Create an OpenAI-compatible LLM client.")
        // Documents.
        .def("create_document", &corvex::create_document, "title"_a.none(), "content"_a.none(),
             "format"_a.none() = "txt", "filename"_a.none() = "",
             nb::sig("def create_document(self, title: str, content: str, format: str = 'txt', "
                     "filename: str = '') -> str"),
             R"(Create a document file (txt, md, or docx).

Args:
    title: The document's title.
    content: Its text; for docx, blocks separated by an empty line become
        paragraphs.
    format: "txt", "md" or "docx" (a .txt file when python-docx is not
        installed).
    filename: File name in the skill's output directory; by default the
        title with unsafe characters replaced, plus "." and the format.

Returns:
    The file path.)")
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
