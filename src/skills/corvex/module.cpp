// ombrel.skills.corvex: runs user-written Python skills.
#include "skills/corvex/corvex.h"

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace corvex = ombrel::corvex;
using namespace nb::literals;

using bridge::def_coroutine;
using bridge::def_function;
using bridge::param;
using bridge::returns;

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
    // Clean-ups of closed runs, still closing a browser on the loop.
    m.attr("_pending_cleanups") = nb::set();

    nb::class_<corvex::Context> context(
        m, "OmbrelContext", nb::dynamic_attr(),
        "Everything a Python skill needs to interact with the world");
    context.def("__init__",
                [](nb::pointer_and_handle<corvex::Context> self, nb::handle skill_name,
                   nb::handle llm_client, nb::handle llm_model) {
                    new (self.p) corvex::Context();
                    corvex::context_init(self.h, skill_name, llm_client, llm_model);
                },
                "skill_name"_a.none(), "llm_client"_a.none() = nb::none(),
                "llm_model"_a.none() = corvex::default_model,
                nb::sig("def __init__(self, skill_name: str, llm_client: typing.Any = None, "
                        "llm_model: str = 'gpt-4.1-mini') -> None"),
                R"doc(A context for one run of a skill.

Creates the state directory and the skill's output directory.

Args:
    skill_name: The skill's name: its state file and output directory.
    llm_client: An OpenAI-compatible client for llm_ask; by default one
        is made on first use.
    llm_model: The model llm_ask names.)doc");

    // Logs, state and files.
    def_function<&corvex::context_log>(context, "log", returns("None"), param("message", "str"),
                                       R"doc(Log a message (visible in skill execution results).

Args:
    message: The text; the entry is "[HH:MM:SS] message".)doc");
    def_function<&corvex::context_get_logs>(context, "get_logs", returns("list[str]"),
                                            R"doc(Get all log entries.

Returns:
    A copy of the entries, oldest first.)doc");
    def_function<&corvex::save_state>(context, "save_state", returns("None"),
                                      param("key", "str"), param("value", "typing.Any"),
                                      R"doc(Save a value to persistent state (survives restarts).

State is stored per skill in ~/.ombrel/skill_state/{skill_name}.json

Args:
    key: The name to keep the value under.
    value: Any JSON-serialisable value (others are kept as their str()).)doc");
    def_function<&corvex::load_state>(context, "load_state", returns("typing.Any"),
                                      param("key", "str"), param("default", "typing.Any") = nb::none(),
                                      R"doc(Load a value from persistent state.

Args:
    key: The name the value was saved under.
    default: What to return when there is none.

Returns:
    The saved value, or default.)doc");
    def_function<&corvex::load_full_state>(context, "_load_full_state",
                                           returns("dict[str, typing.Any]"),
                                           "The whole persistent state; a missing, unreadable or "
                                           "malformed state file reads as an empty dictionary.");
    def_function<&corvex::clear_state>(context, "clear_state", returns("None"),
                                       "Clear all persistent state for this skill.");
    def_function<&corvex::write_file>(context, "write_file", returns("str"), param("path", "str"),
                                      param("content", "str"),
                                      R"doc(Write content to a file. Creates directories if needed.

Args:
    path: A relative path is relative to the skill's output directory.
    content: The text, written as UTF-8.

Returns:
    The absolute path.)doc");
    def_function<&corvex::read_file>(context, "read_file", returns("str"), param("path", "str"),
                                     R"doc(Read a file and return its content.

Args:
    path: A relative path is relative to the skill's output directory.

Returns:
    The text, read as UTF-8.)doc");
    def_coroutine<&corvex::shell>(context, "shell", returns("str"), param("command", "str"),
                                  param("timeout", "float") = 30,
                                  R"doc(Run a shell command and return the output.

Args:
    command: The command, run by the system shell.
    timeout: Seconds before the command is killed.

Returns:
    Its standard output and, after a line break, its standard error, both
    decoded as UTF-8 and stripped together (the exit status is not looked
    at); "[TIMEOUT] Command timed out after <timeout>s" when the limit
    expired, "[ERROR] <error>" when the command could not be run.)doc");

    // The browser: one headless Chromium page, opened on first use.
    def_coroutine<&corvex::browser_open>(context, "browser_open", returns("typing.Any"),
                                         R"doc(Open a browser and return the Playwright page object.

The raw Playwright page is returned for full flexibility; the browser is
headless. Later operations reuse it until browser_close(). Cookies and
storage saved by browser_save_session() are loaded into it.

Returns:
    The Playwright page.)doc");
    def_coroutine<&corvex::browser_navigate>(
        context, "browser_navigate", returns("None"), param("url", "str"),
        param("wait_until", "str") = "domcontentloaded",
        R"doc(Navigate to a URL.

Args:
    url: The address to load.
    wait_until: The load state to wait for ("domcontentloaded", "load",
        "networkidle" or "commit"), for at most 30 seconds; a further second
        passes before the call returns.)doc");
    def_coroutine<&corvex::browser_click>(context, "browser_click", returns("None"),
                                          param("selector", "str"), param("timeout", "float") = 5000,
                                          R"doc(Click an element by CSS selector.

Args:
    selector: CSS selector of the element.
    timeout: Milliseconds to wait for the element.)doc");
    def_coroutine<&corvex::browser_type>(context, "browser_type", returns("None"),
                                         param("selector", "str"), param("text", "str"),
                                         param("timeout", "float") = 5000,
                                         R"doc(Type text into an element.

The element's value is replaced by `text`; the text is not logged.

Args:
    selector: CSS selector of an input, text area or editable element.
    text: The text to enter.
    timeout: Milliseconds to wait for the element.)doc");
    def_coroutine<&corvex::browser_evaluate>(context, "browser_evaluate", returns("typing.Any"),
                                             param("js", "str"),
                                             R"doc(Execute JavaScript in the browser and return the result.

Args:
    js: A JavaScript expression or function.

Returns:
    The script's value, converted to Python.)doc");
    def_coroutine<&corvex::browser_get_text>(context, "browser_get_text", returns("str"),
                                             R"doc(Get all visible text from the current page.

Returns:
    The page body's rendered text.)doc");
    def_coroutine<&corvex::browser_wait>(context, "browser_wait", returns("None"),
                                         param("selector", "str"),
                                         param("timeout", "float") = 10000,
                                         R"doc(Wait for an element to appear.

Args:
    selector: CSS selector of the element.
    timeout: Milliseconds to wait before failing.)doc");
    def_coroutine<&corvex::browser_screenshot>(context, "browser_screenshot", returns("str"),
                                               param("name", "str") = "screenshot",
                                               R"doc(Take a screenshot and save it. Returns the file path.

Args:
    name: File name without the ".png" suffix, in the skill's output
        directory.

Returns:
    The path of the PNG file.)doc");
    def_coroutine<&corvex::browser_upload>(context, "browser_upload", returns("None"),
                                           param("selector", "str"), param("file_path", "str"),
                                           R"doc(Upload a file to a file input element.

Args:
    selector: CSS selector of the file input.
    file_path: The file, as given (not taken from the output directory).)doc");
    def_coroutine<&corvex::browser_save_session>(context, "browser_save_session", returns("None"),
                                                 R"doc(Save the current browser session (cookies, storage) for reuse.

Every skill that opens the browser later starts with this session
(~/.ombrel/browser_session/state.json). Nothing happens when no browser is
open.)doc");
    def_coroutine<&corvex::browser_close>(context, "browser_close", returns("None"),
                                          R"doc(Close the browser.

The page, its context, the browser and the Playwright driver are closed in
that order; the next browser operation opens a new one.)doc");

    // The language model.
    def_coroutine<&corvex::llm_ask>(context, "llm_ask", returns("str"), param("prompt", "str"),
                                    param("system", "str") = "",
                                    R"doc(Ask the LLM a question and get a text response.

Args:
    prompt: The user message or question.
    system: Optional system prompt for context.

Returns:
    The LLM's text response.)doc");
    def_coroutine<&corvex::llm_json>(context, "llm_json", returns("dict[str, typing.Any] | None"),
                                     param("prompt", "str"), param("system", "str") = "",
                                     R"doc(Ask the LLM and parse the response as JSON.

The prompt should instruct the LLM to respond in JSON format. A reply that
wraps the JSON in a fenced code block is unwrapped first.

Args:
    prompt: The user message or question.
    system: Optional system prompt for context.

Returns:
    The parsed JSON object (None for a JSON null), or {"raw_response":
    <reply>, "parse_error": True} when the reply is not valid JSON. Any other
    JSON value raises TypeError.)doc");
    def_function<&corvex::create_llm_client>(context, "_create_llm_client", returns("typing.Any"),
                                              "Create an OpenAI-compatible LLM client.");

    // Documents.
    def_function<&corvex::create_document>(context, "create_document", returns("str"),
                                           param("title", "str"), param("content", "str"),
                                           param("format", "str") = "txt",
                                           param("filename", "str") = "",
                                           R"doc(Create a document file (txt, md, or docx).

Args:
    title: The document's title.
    content: Its text; for docx, blocks separated by an empty line become
        paragraphs.
    format: "txt", "md" or "docx" (a .txt file when python-docx is not
        installed).
    filename: File name in the skill's output directory; by default the
        title with unsafe characters replaced, plus "." and the format.

Returns:
    The file path.)doc");
    def_coroutine<&corvex::cleanup>(context, "cleanup", returns("None"),
                                    "Clean up resources (called automatically after skill "
                                    "execution).");

    nb::class_<corvex::Runner> runner(m, "PythonSkillRunner", nb::dynamic_attr(),
                                      "Loads and executes Python-based skills.");
    runner.def("__init__",
               [](nb::pointer_and_handle<corvex::Runner> self, nb::handle llm_model,
                  nb::handle time_limit, nb::handle output_limit) {
                   new (self.p) corvex::Runner();
                   corvex::runner_init(self.h, llm_model, time_limit, output_limit);
               },
               "llm_model"_a.none() = corvex::default_model, nb::kw_only(),
               "time_limit"_a.none() = nb::none(), "output_limit"_a.none() = nb::none(),
               nb::sig("def __init__(self, llm_model: str = 'gpt-4.1-mini', *, "
                       "time_limit: float | None = None, output_limit: int | None = None) -> None"),
               R"doc(A runner of Python skills.

Args:
    llm_model: The model that the skills' contexts ask.
    time_limit: Seconds a run may take (None: no limit); a run past it is
        cancelled and comes back as a failed result that says so.
    output_limit: Characters that each ctx.shell answer and each run's log
        keep (None: all); what is cut is read and dropped, and one last
        line says how many characters were cut.)doc");
    def_coroutine<&corvex::run_skill>(runner, "run", returns("PythonSkillResult"),
                                      param("skill_name", "str"),
                                      param("params", "dict[str, typing.Any]"),
                                      param("script_path", "str | None") = nb::none(),
                                      bridge::kw_only,
                                      param("time_limit", "float | None") = nb::none(),
                                      R"doc(Load a skill and run its ``run(ctx, params)`` coroutine.

Failures of the skill (a missing or malformed file, an error it raises, a
result that is not a dict) come back as a failed result, not raised.

Args:
    skill_name: The skill's name: its file in SKILLS_DIR, its state and its
        output directory.
    params: The parameters handed to the skill.
    script_path: The skill's file, instead of SKILLS_DIR/<skill_name>.py.
    time_limit: Seconds this run may take, instead of the runner's.

Returns:
    A PythonSkillResult: success, skill_name, result (the skill's dict),
    error (text or None), logs, duration (seconds), output_files.)doc");
}
