// Shared declarations of the skill runner: the module namespace, the result
// record, the skill context and the runner.
#pragma once

#include "bridge/bridge.h"
#include "common/common.h"

#include <optional>

namespace ombrel::corvex {

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
using bridge::Coro;
using namespace nb::literals;

inline constexpr const char *module_name = "ombrel.skills.corvex";
inline constexpr const char *default_model = "gpt-4.1-mini";
inline const bridge::Logger logger("ombrel.skills.corvex");

// --- Names used on the hot paths (names.cpp) ------------------------------

namespace names {
using common::Interned;
inline constinit Interned skill_name("skill_name"), llm("_llm"), llm_model("_llm_model"),
    browser_instance("_browser_instance"), browser_context("_browser_context"),
    page("_page"), playwright("_playwright"), logs("_logs"), state_file("_state_file"),
    output_dir("_output_dir"), log("log"), get_logs("get_logs"), cleanup("cleanup"),
    browser_close("browser_close"), loader("loader"), exec_module("exec_module"),
    run("run"), get("get"), success("success"), result("result"), exists("exists"),
    iterdir("iterdir"), is_file("is_file"), parent("parent"), insert("insert"),
    mkdir("mkdir"), append("append"), output_limit("_output_limit"), time_limit("_time_limit"),
    cancel("cancel"), get_running_loop_or_none("_get_running_loop");
// This module and the attributes of it that the hot paths read.
inline constinit Interned module("ombrel.skills.corvex"), SKILLS_DIR("SKILLS_DIR"),
    STATE_DIR("STATE_DIR"), OUTPUT_DIR("OUTPUT_DIR"), OmbrelContext("OmbrelContext"),
    PythonSkillResult("PythonSkillResult");
// Modules the hot paths use.
inline constinit Interned time_module("time"), pathlib_module("pathlib"),
    os_path_module("os.path"), importlib_util_module("importlib.util"), sys_module("sys");
} // namespace names

// --- The module namespace (names.cpp) --------------------------------------

/// A Python module: the one already in `sys.modules` (a plain lookup), else
/// imported; `from module import name`.
using common::import_from;
using common::import_module;
/// A name of this module's namespace, read at the time of use, so that a
/// host (or a test) can point `SKILLS_DIR`, `STATE_DIR` and `OUTPUT_DIR`
/// elsewhere.
inline nb::object module_attr(const common::Interned &name) {
    return common::module_attr(names::module, name);
}
/// `pathlib.Path(text)`
nb::object make_path(nb::handle text);
/// `base / part`, as Python's `/` operator does it.
nb::object join(nb::handle base, nb::handle part);
/// `str(value)`
using common::text_of;
/// `time.time()`
double wall_clock();
/// `time.strftime(format)`
nb::object strftime(const common::Interned &format);
/// `exception.__context__ = context`, as an exception raised in a `finally`
/// block chains the one being handled.
void chain(nb::handle exception, nb::handle context);

// --- Paths of every run (paths.cpp) ----------------------------------------

/// Whether `path` is of the plain `pathlib.Path` class of this platform,
/// whose operations depend on nothing but its text.
bool is_plain_path(nb::handle path);

/// `base / name` for one call site that joins the same operands run after
/// run: a plain path and a name equal to the last ones give the path made
/// then (paths are immutable values). Declared `static`; what it keeps
/// lives as long as the process, like the interned names (a destructor
/// would run after the interpreter is gone).
class JoinMemo {
public:
    nb::object operator()(nb::handle base, nb::handle name);

private:
    PyObject *base_ = nullptr, *name_ = nullptr, *joined_ = nullptr;
};

/// `str(pathlib.Path(path).parent)`, kept for the last `path`; `static`
/// as `JoinMemo`.
class ParentMemo {
public:
    nb::str operator()(nb::str path);

private:
    PyObject *path_ = nullptr, *directory_ = nullptr;
};

/// `path.mkdir(parents=True, exist_ok=True)`
void make_directories(nb::handle path);

// --- PythonSkillResult (result.cpp) ----------------------------------------

/// Builds the `PythonSkillResult` dataclass with `to_dict` attached.
nb::object make_result_type(nb::handle module);

/// The fields of one result; defaults as the record's.
struct ResultFields {
    nb::object success;
    nb::object skill_name;
    nb::object result = nb::none();
    nb::object error = nb::none();
    nb::object logs;          ///< a new empty list when not set
    double duration = 0.0;
    nb::object output_files;  ///< a new empty list when not set
};

/// A new `PythonSkillResult` of the module's current class.
nb::object new_result(ResultFields fields);

// --- OmbrelContext (context.cpp, state.cpp, files.cpp, shell.cpp) ----------

/// The C++ side of an `OmbrelContext`: every field lives in the instance
/// dictionary where skills and later operations see it, but for the count
/// of the log's characters under an output limit.
struct Context {
    /// Characters the log holds, and those it left out, while the context
    /// has an `_output_limit`.
    Py_ssize_t log_chars = 0;
    Py_ssize_t log_cut = 0;
};

/// The context's `_output_limit` (characters), read now; empty for None.
std::optional<Py_ssize_t> output_limit(nb::handle self);
/// The line that ends a text that was cut: "[... <cut> characters cut]".
nb::str cut_marker(Py_ssize_t cut);

void context_init(nb::handle self, nb::handle skill_name, nb::handle llm_client,
                  nb::handle llm_model);
void context_log(nb::handle self, nb::handle message);
nb::list context_get_logs(nb::handle self);

nb::dict load_full_state(nb::handle self);
void save_state(nb::handle self, nb::handle key, nb::handle value);
nb::object load_state(nb::handle self, nb::handle key, nb::handle default_value);
void clear_state(nb::handle self);

nb::str write_file(nb::handle self, nb::handle path, nb::handle content);
nb::str read_file(nb::handle self, nb::handle path);

Coro<> shell(nb::object self, nb::object command, nb::object timeout);
Coro<void> cleanup(nb::object self);

// --- OmbrelContext: the browser (browser.cpp) ------------------------------

Coro<> browser_open(nb::object self);
Coro<void> browser_navigate(nb::object self, nb::object url, nb::object wait_until);
Coro<void> browser_click(nb::object self, nb::object selector, nb::object timeout);
Coro<void> browser_type(nb::object self, nb::object selector, nb::object text,
                        nb::object timeout);
Coro<> browser_evaluate(nb::object self, nb::object js);
Coro<> browser_get_text(nb::object self);
Coro<void> browser_wait(nb::object self, nb::object selector, nb::object timeout);
Coro<> browser_screenshot(nb::object self, nb::object name);
Coro<void> browser_upload(nb::object self, nb::object selector, nb::object file_path);
Coro<void> browser_save_session(nb::object self);
Coro<void> browser_close(nb::object self);

// --- OmbrelContext: the language model (llm.cpp) ---------------------------

Coro<> llm_ask(nb::object self, nb::object prompt, nb::object system);
Coro<> llm_json(nb::object self, nb::object prompt, nb::object system);
/// `json.loads(text)` for the documents it reads itself (json_reply.cpp);
/// an empty object for any other text, which is left to `json.loads`.
nb::object read_json(nb::str text);
nb::object create_llm_client(nb::handle self);

// --- OmbrelContext: documents (documents.cpp) ------------------------------

nb::str create_document(nb::handle self, nb::handle title, nb::handle content,
                        nb::handle format, nb::handle filename);

// --- PythonSkillRunner (runner.cpp) ----------------------------------------

struct Runner {};

void runner_init(nb::handle self, nb::handle llm_model, nb::handle time_limit,
                 nb::handle output_limit);
Coro<> run_skill(nb::object self, nb::object skill_name, nb::object params,
                 nb::object script_path, nb::object time_limit);

} // namespace ombrel::corvex
