// PythonSkillRunner: loads a skill file as a fresh module and runs its
// `run(ctx, params)` coroutine with a new OmbrelContext.
#include "corvex.h"

#include <optional>

namespace ombrel::corvex {

void runner_init(nb::handle self, nb::handle llm_model) {
    self.attr("_llm_model") = common::expect_str(llm_model, "llm_model");
}

/// Python's `hasattr`: false on AttributeError, any other error raised.
static bool has_attribute(nb::handle object, const char *name) {
    PyObject *value = PyObject_GetAttrString(object.ptr(), name);
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

/// asyncio's test for coroutine functions. Python 3.14 deprecates the public
/// name and keeps the test itself as `asyncio.coroutines._iscoroutinefunction`.
static bool is_coroutine_function(nb::handle function) {
    nb::module_ aio = bridge::asyncio();
    nb::object test = nb::getattr(aio.attr("coroutines"), "_iscoroutinefunction", nb::none());
    if (test.is_none())
        test = aio.attr("iscoroutinefunction");
    return common::truth(test(function));
}

static nb::object early_failure(nb::str skill_name, nb::str error) {
    ResultFields fields;
    fields.success = nb::bool_(false);
    fields.skill_name = skill_name;
    fields.error = error;
    return new_result(std::move(fields));
}

/// Loads the skill's module, runs it and collects what it produced.
static Coro<> load_and_run(nb::object ctx, nb::str skill_name, nb::object params,
                           nb::str script_path, double start) {
    nb::module_ util = import_module("importlib.util");
    bridge::Local<> spec = util.attr("spec_from_file_location")(
        nb::str("ombrel_skill_{}").format(skill_name), script_path);
    if (spec.is_none() || nb::object(spec.attr("loader")).is_none())
        co_return early_failure(skill_name,
                                nb::str("Failed to load module from {}").format(script_path));

    // A fresh module each run, never entered in sys.modules.
    bridge::Local<> module = util.attr("module_from_spec")(spec);

    // Modules beside the skill file can be imported by it.
    nb::str directory = text_of(make_path(script_path).attr("parent"));
    bridge::Local<> search_path = import_module("sys").attr("path");
    int present = PySequence_Contains(search_path.ptr(), directory.ptr());
    if (present < 0)
        throw nb::python_error();
    if (!present)
        search_path.attr("insert")(0, directory);

    spec.attr("loader").attr("exec_module")(module);

    if (!has_attribute(module, "run"))
        co_return early_failure(
            skill_name, nb::str("Skill must define 'async def run(ctx, params) -> dict'"));
    bridge::Local<> run = module.attr("run");
    if (!is_coroutine_function(run))
        co_return early_failure(
            skill_name,
            nb::str("run() must be an async function (async def run(ctx, params))"));

    ctx.attr("log")(nb::str("Starting skill: {}").format(skill_name));
    bridge::Local<> value = co_await run(ctx, params);

    if (!PyDict_Check(value.ptr())) {
        bridge::Local<nb::dict> wrapped;
        wrapped["result"] = text_of(value);
        value = std::move(wrapped);
    }
    bridge::Local<> success = value.attr("get")("success", true);

    bridge::Local<nb::list> output_files;
    bridge::Local<> output_dir = join(module_attr("OUTPUT_DIR"), skill_name);
    if (common::truth(output_dir.attr("exists")())) {
        for (nb::handle entry : output_dir.attr("iterdir")())
            if (common::truth(entry.attr("is_file")()))
                output_files.append(text_of(entry));
    }

    ResultFields fields;
    fields.success = success;
    fields.skill_name = skill_name;
    fields.result = value;
    fields.logs = ctx.attr("get_logs")();
    fields.duration = wall_clock() - start;
    fields.output_files = output_files;
    co_return new_result(std::move(fields));
}

/// The failure result of an exception raised while loading or running the
/// skill, after reporting it in the run's log and the module's log.
static nb::object report_failure(nb::handle ctx, nb::str skill_name,
                                 const nb::python_error &error, double start) {
    nb::handle exception = error.value();
    nb::object traceback;
    try {
        nb::object lines = import_module("traceback").attr("format_exception")(
            exception.type(), exception, nb::getattr(exception, "__traceback__", nb::none()));
        traceback = nb::str("").attr("join")(lines);
    } catch (nb::python_error &e) {
        // A hostile exception type may defeat the formatting too.
        if (!common::is_exception(e))
            throw;
        traceback = nb::str("<traceback could not be formatted>");
    }

    ctx.attr("log")(nb::str("FATAL ERROR: {}").format(common::exception_message(exception)));
    logger.error("Python skill %s failed:\n%s", skill_name, traceback);

    ResultFields fields;
    fields.success = nb::bool_(false);
    fields.skill_name = skill_name;
    fields.error = common::describe_exception(exception);
    fields.logs = ctx.attr("get_logs")();
    fields.duration = wall_clock() - start;
    return new_result(std::move(fields));
}

/// Runs `awaitable` to its end without suspending, for a clean-up while the
/// coroutine is being closed (no further awaits can happen then). If it
/// would have to wait, it is closed instead.
static void finish_without_waiting(nb::handle awaitable) {
    nb::object iterator = bridge::awaitable_iterator(awaitable);
    PyObject *out = nullptr;
    PySendResult status = PyIter_Send(iterator.ptr(), Py_None, &out);
    if (status == PYGEN_ERROR)
        throw nb::python_error();
    Py_XDECREF(out);
    if (status == PYGEN_NEXT)
        iterator.attr("close")();
}

Coro<> run_skill(nb::object self, nb::object skill_name, nb::object params,
                 nb::object script_path) {
    nb::str name = common::expect_str(skill_name, "skill_name");
    common::expect_dict(params, "params");
    if (!script_path.is_none() && !PyUnicode_CheckExact(script_path.ptr()))
        nb::raise_type_error("script_path must be str or None, not %s",
                             common::python_type_name(script_path).c_str());

    double start = wall_clock();
    nb::str path = script_path.is_none()
                       ? text_of(join(module_attr("SKILLS_DIR"), nb::str("{}.py").format(name)))
                       : nb::borrow<nb::str>(script_path);
    if (!common::truth(import_module("os.path").attr("exists")(path)))
        co_return early_failure(name, nb::str("Script not found: {}").format(path));

    // Creating the context creates its directories; a failure there is the
    // caller's, before anything needs cleaning up.
    bridge::Local<> ctx = module_attr("OmbrelContext")("skill_name"_a = name,
                                                       "llm_model"_a = self.attr("_llm_model"));

    bridge::Local<> outcome;
    std::optional<nb::python_error> failure;  // leaves `run` after the clean-up
    try {
        try {
            outcome = co_await load_and_run(ctx, name, params, path, start);
        } catch (...) {
            nb::python_error error = bridge::as_python_error(std::current_exception());
            // Only the Exception family becomes a result: cancellation,
            // SystemExit and KeyboardInterrupt go on to the caller.
            if (!error.matches(PyExc_Exception))
                throw std::move(error);
            outcome = report_failure(ctx, name, error, start);
        }
    } catch (...) {
        failure.emplace(bridge::as_python_error(std::current_exception()));
    }

    // The clean-up runs on every way out.
    std::optional<nb::python_error> cleanup_failure;
    try {
        bridge::Local<> closing = ctx.attr("cleanup")();
        if (failure && failure->matches(PyExc_GeneratorExit))
            finish_without_waiting(closing);
        else
            co_await closing;
    } catch (...) {
        cleanup_failure.emplace(bridge::as_python_error(std::current_exception()));
    }
    if (cleanup_failure) {
        if (failure)
            chain(cleanup_failure->value(), failure->value());
        throw std::move(*cleanup_failure);
    }
    if (failure)
        throw std::move(*failure);
    co_return outcome;
}

} // namespace ombrel::corvex
