// PythonSkillRunner: loads a skill file as a fresh module and runs its
// `run(ctx, params)` coroutine with a new OmbrelContext.
#include "corvex.h"

#include <optional>

namespace ombrel::corvex {

void runner_init(nb::handle self, nb::handle llm_model) {
    self.attr("_llm_model") = common::expect_str(llm_model, "llm_model");
}

/// asyncio's test for coroutine functions. Python 3.14 deprecates the public
/// name and keeps the test itself as `asyncio.coroutines._iscoroutinefunction`.
static bool is_coroutine_function(nb::handle function) {
    static const common::Interned coroutines("coroutines"),
        private_test("_iscoroutinefunction"), public_test("iscoroutinefunction");
    nb::module_ aio = bridge::asyncio();
    nb::object test = common::attr_or(common::attr(aio, coroutines), private_test, Py_None);
    if (test.is_none())
        test = common::attr(aio, public_test);
    return common::truthy(common::checked(PyObject_CallOneArg(test.ptr(), function.ptr())));
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
    static const common::Interned spec_from_file_location("spec_from_file_location"),
        module_from_spec("module_from_spec"), path("path");
    nb::module_ util = import_module("importlib.util");
    nb::object module_name =
        common::checked(PyUnicode_FromFormat("ombrel_skill_%U", skill_name.ptr()));
    PyObject *spec_args[] = {util.ptr(), module_name.ptr(), script_path.ptr()};
    bridge::Local<> spec = common::checked(PyObject_VectorcallMethod(
        spec_from_file_location.get().ptr(), spec_args, 3, nullptr));
    if (spec.is_none() || common::attr(spec, names::loader).is_none())
        co_return early_failure(skill_name,
                                nb::str("Failed to load module from {}").format(script_path));

    // A fresh module each run, never entered in sys.modules.
    bridge::Local<> module = common::call_method(util, module_from_spec, spec);

    // Modules beside the skill file can be imported by it.
    nb::str directory = text_of(common::attr(make_path(script_path), names::parent));
    bridge::Local<> search_path = common::attr(import_module("sys"), path);
    if (!common::contains(search_path, directory)) {
        PyObject *insert_args[] = {search_path.ptr(), PyLong_FromLong(0), directory.ptr()};
        nb::object zero = nb::steal(insert_args[1]);
        common::checked(PyObject_VectorcallMethod(names::insert.get().ptr(), insert_args, 3,
                                                  nullptr));
    }

    common::call_method(common::attr(spec, names::loader), names::exec_module, module);

    if (!common::has_attr(module, names::run))
        co_return early_failure(
            skill_name, nb::str("Skill must define 'async def run(ctx, params) -> dict'"));
    bridge::Local<> run = common::attr(module, names::run);
    if (!is_coroutine_function(run))
        co_return early_failure(
            skill_name,
            nb::str("run() must be an async function (async def run(ctx, params))"));

    nb::object starting =
        common::checked(PyUnicode_FromFormat("Starting skill: %U", skill_name.ptr()));
    common::call_method(ctx, names::log, starting);
    bridge::Local<> value = co_await run(ctx, params);

    if (!PyDict_Check(value.ptr())) {
        nb::dict wrapped;
        wrapped[names::result.get()] = text_of(value);
        value = std::move(wrapped);
    }
    PyObject *get_args[] = {value.ptr(), names::success.get().ptr(), Py_True};
    nb::object success = common::checked(
        PyObject_VectorcallMethod(names::get.get().ptr(), get_args, 3, nullptr));

    nb::list output_files;
    nb::object output_dir = join(module_attr("OUTPUT_DIR"), skill_name);
    if (common::truthy(common::call_method(output_dir, names::exists))) {
        for (nb::handle entry : common::call_method(output_dir, names::iterdir))
            if (common::truthy(common::call_method(entry, names::is_file)))
                output_files.append(text_of(entry));
    }

    ResultFields fields;
    fields.success = success;
    fields.skill_name = skill_name;
    fields.result = value;
    fields.logs = common::call_method(ctx, names::get_logs);
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

    static const common::Interned exists("exists"), llm_model("llm_model");
    double start = wall_clock();
    nb::str path = script_path.is_none()
                       ? text_of(join(module_attr("SKILLS_DIR"), nb::str("{}.py").format(name)))
                       : nb::borrow<nb::str>(script_path);
    if (!common::truthy(common::call_method(import_module("os.path"), exists, path)))
        co_return early_failure(name, nb::str("Script not found: {}").format(path));

    // Creating the context creates its directories; a failure there is the
    // caller's, before anything needs cleaning up.
    static PyObject *keywords = nullptr;
    if (!keywords)
        keywords = nb::make_tuple(names::skill_name.get(), llm_model.get()).release().ptr();
    nb::object model = common::attr(self, names::llm_model);
    PyObject *context_args[] = {name.ptr(), model.ptr()};
    bridge::Local<> ctx = common::checked(PyObject_Vectorcall(module_attr("OmbrelContext").ptr(),
                                                         context_args, 0, keywords));
    model.reset();

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
        bridge::Local<> closing = common::call_method(ctx, names::cleanup);
        if (failure && failure->matches(PyExc_GeneratorExit))
            finish_without_waiting(closing);
        else
            co_await std::move(closing);
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
