// PythonSkillRunner: loads a skill file as a fresh module and runs its
// `run(ctx, params)` coroutine with a new OmbrelContext.
#include "skills/corvex/corvex.h"

#include <optional>

namespace ombrel::corvex {

/// A time limit: None, or a positive finite number of seconds.
static nb::object checked_time_limit(nb::handle value, const char *name) {
    if (value.is_none())
        return nb::none();
    return nb::float_(common::expect_seconds(value, name));
}

void runner_init(nb::handle self, nb::handle llm_model, nb::handle time_limit,
                 nb::handle output_limit) {
    self.attr("_llm_model") = common::expect_str(llm_model, "llm_model");
    nb::object time_limit_value = checked_time_limit(time_limit, "time_limit");
    nb::object output_limit_value = nb::none();
    if (!output_limit.is_none()) {
        if (PyBool_Check(output_limit.ptr()) || !PyLong_Check(output_limit.ptr()))
            common::raise_error(PyExc_TypeError, "output_limit must be int or None, not %s",
                                common::type_name_of(output_limit.ptr()));
        if (PyObject_RichCompareBool(output_limit.ptr(), nb::int_(0).ptr(), Py_GT) != 1 ||
            PyLong_AsSsize_t(output_limit.ptr()) == -1) {
            PyErr_Clear();
            common::raise_error(PyExc_ValueError,
                                "output_limit must be a positive number of characters, not %R",
                                output_limit.ptr());
        }
        output_limit_value = nb::borrow(output_limit);
    }
    self.attr("_time_limit") = time_limit_value;
    self.attr("_output_limit") = output_limit_value;
}

/// Cancels `task` once the run's time is up, and notes it in `expired`
/// (the loop's timer calls it).
static void expire(nb::handle task, nb::handle expired) {
    expired.attr("append")(true);
    task.attr("cancel")();
}

/// asyncio's test for coroutine functions. Python 3.14 deprecates the public
/// name and keeps the test itself as `asyncio.coroutines._iscoroutinefunction`,
/// which older versions lack: looked up in the module's namespace, so that
/// its absence costs no AttributeError.
static bool is_coroutine_function(nb::handle function) {
    static const common::Interned coroutines("coroutines"),
        private_test("_iscoroutinefunction"), public_test("iscoroutinefunction");
    nb::module_ aio = bridge::asyncio();
    nb::object module = common::attr(aio, coroutines);
    nb::object test;
    if (PyModule_CheckExact(module.ptr())) {
        PyObject *found =
            PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), private_test.get().ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        test = nb::borrow(found ? found : Py_None);
    } else {
        test = common::attr_or(module, private_test, Py_None);
    }
    if (test.is_none())
        test = common::attr(aio, public_test);
    return common::truth(common::checked(common::call_one_arg(test.ptr(), function.ptr())));
}

static nb::object early_failure(nb::str skill_name, nb::str error) {
    ResultFields fields;
    fields.success = nb::bool_(false);
    fields.skill_name = skill_name;
    fields.error = error;
    return new_result(std::move(fields));
}

/// What loading a skill's file gave: the fresh module and its `run`
/// coroutine function, or the early failure's result.
struct LoadedSkill {
    nb::object module;
    nb::object run;
    nb::object failure;
};

/// Loads the skill's file as a fresh module and checks its `run`.
static LoadedSkill load_skill(nb::str skill_name, nb::str script_path) {
    static const common::Interned spec_from_file_location("spec_from_file_location"),
        module_from_spec("module_from_spec"), path("path");
    LoadedSkill loaded;
    nb::module_ util = import_module(names::importlib_util_module);
    nb::object module_name =
        common::checked(PyUnicode_FromFormat("ombrel_skill_%U", skill_name.ptr()));
    PyObject *spec_args[] = {util.ptr(), module_name.ptr(), script_path.ptr()};
    nb::object spec = common::checked(PyObject_VectorcallMethod(
        spec_from_file_location.get().ptr(), spec_args, 3, nullptr));
    if (spec.is_none() || common::attr(spec, names::loader).is_none()) {
        loaded.failure = early_failure(
            skill_name, nb::steal<nb::str>(common::checked(PyUnicode_FromFormat(
                            "Failed to load module from %U", script_path.ptr())).release()));
        return loaded;
    }

    // A fresh module each run, never entered in sys.modules.
    loaded.module = common::call_method(util, module_from_spec, spec);

    // Modules beside the skill file can be imported by it.
    static ParentMemo directory_of;
    nb::str directory = directory_of(script_path);
    nb::object search_path = common::attr(import_module(names::sys_module), path);
    if (!common::contains(search_path, directory)) {
        PyObject *insert_args[] = {search_path.ptr(), PyLong_FromLong(0), directory.ptr()};
        nb::object zero = nb::steal(insert_args[1]);
        common::checked(PyObject_VectorcallMethod(names::insert.get().ptr(), insert_args, 3,
                                                  nullptr));
    }

    common::call_method(common::attr(spec, names::loader), names::exec_module, loaded.module);

    if (!common::has_attr(loaded.module, names::run)) {
        loaded.failure = early_failure(
            skill_name, nb::str("Skill must define 'async def run(ctx, params) -> dict'"));
        return loaded;
    }
    loaded.run = common::attr(loaded.module, names::run);
    if (!is_coroutine_function(loaded.run))
        loaded.failure = early_failure(
            skill_name,
            nb::str("run() must be an async function (async def run(ctx, params))"));
    return loaded;
}

/// The result of a skill whose `run` returned `value`: its success, the
/// run's logs and duration, and the files in its output directory.
static nb::object collect_result(nb::handle ctx, nb::str skill_name, nb::object value,
                                 double start) {
    if (!PyDict_Check(value.ptr())) {
        nb::dict wrapped;
        wrapped[names::result.get()] = text_of(value);
        value = std::move(wrapped);
    }
    PyObject *get_args[] = {value.ptr(), names::success.get().ptr(), Py_True};
    nb::object success = common::checked(
        PyObject_VectorcallMethod(names::get.get().ptr(), get_args, 3, nullptr));

    nb::list output_files;
    static JoinMemo output_dir_of;
    nb::object output_dir = output_dir_of(module_attr(names::OUTPUT_DIR), skill_name);
    if (common::truth(common::call_method(output_dir, names::exists))) {
        for (nb::handle entry : common::call_method(output_dir, names::iterdir))
            if (common::truth(common::call_method(entry, names::is_file)))
                output_files.append(text_of(entry));
    }

    ResultFields fields;
    fields.success = success;
    fields.skill_name = skill_name;
    fields.result = value;
    fields.logs = common::call_method(ctx, names::get_logs);
    fields.duration = wall_clock() - start;
    fields.output_files = output_files;
    return new_result(std::move(fields));
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

/// Starts `awaitable`, a clean-up, while the coroutine is being closed (no
/// further awaits can happen in it then): what it does without waiting is
/// done now, and the rest goes on as a task of `loop` (the browser must be
/// closed whatever ends the run). Without a loop that can still run it, it
/// is closed instead.
static void finish_without_waiting(nb::handle awaitable, nb::handle loop) {
    static const common::Interned is_closed("is_closed"), create_task("create_task"),
        add("add"), add_done_callback("add_done_callback"), discard("discard"),
        pending("_pending_cleanups");
    nb::object iterator = bridge::awaitable_iterator(awaitable);
    PyObject *out = nullptr;
    PySendResult status = PyIter_Send(iterator.ptr(), Py_None, &out);
    if (status == PYGEN_ERROR)
        throw nb::python_error();
    nb::object yielded = nb::steal(out);
    if (status != PYGEN_NEXT)
        return;
    if (loop.is_none() || common::truth(common::call_method(loop, is_closed))) {
        iterator.attr("close")();
        return;
    }
    // The task is kept until it is done (the loop keeps only weak
    // references to tasks).
    nb::object rest = bridge::rest_of_await(std::move(iterator), std::move(yielded))
                          .named("PythonSkillRunner.run.<cleanup>")
                          .to_python();
    nb::object task = common::call_method(loop, create_task, rest);
    nb::object tasks = module_attr(pending);
    common::call_method(tasks, add, task);
    common::call_method(task, add_done_callback, common::attr(tasks, discard));
}

/// The time limit of this run: its own, else the runner's (None for none).
static nb::object run_time_limit(nb::handle runner, nb::handle given) {
    if (!given.is_none())
        return checked_time_limit(given, "time_limit");
    return checked_time_limit(common::attr_or(runner, names::time_limit, Py_None),
                              "time_limit");
}

/// Arms the run's time limit on the current task: the loop's timer cancels
/// the task when it is up and notes that in `expired`. Empty when there is
/// no limit (or no task to cancel).
static nb::object arm_time_limit(nb::handle limit, nb::handle expired) {
    static const common::Interned current_task("current_task"), call_later("call_later");
    if (limit.is_none())
        return {};
    nb::module_ aio = bridge::asyncio();
    nb::object task = common::call_method(aio, current_task);
    if (task.is_none())
        return {};
    // Made for each limited run (a function kept for the process's life
    // would outlive the module).
    nb::object expiring = nb::cpp_function(&expire);
    nb::object loop = aio.attr("get_running_loop")();
    PyObject *args[] = {loop.ptr(), limit.ptr(), expiring.ptr(), task.ptr(), expired.ptr()};
    return common::checked(PyObject_VectorcallMethod(call_later.get().ptr(), args,
                                                     5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// The run's own cancellation by its time limit, taken back from the task
/// (as `asyncio.timeout` does), as the TimeoutError that says the limit.
static nb::python_error time_limit_error(nb::handle limit) {
    static const common::Interned uncancel("uncancel");
    nb::object task = bridge::asyncio().attr("current_task")();
    if (!task.is_none() && common::has_attr(task, uncancel))
        common::call_method(task, uncancel);
    PyErr_Format(PyExc_TimeoutError, "the skill ran past its time limit of %S seconds",
                 limit.ptr());
    return nb::python_error();
}

Coro<> run_skill(nb::object self, nb::object skill_name, nb::object params,
                 nb::object script_path, nb::object time_limit) {
    nb::str name = common::expect_str(skill_name, "skill_name");
    common::expect_dict(params, "params");
    if (!script_path.is_none() && !PyUnicode_CheckExact(script_path.ptr()))
        nb::raise_type_error("script_path must be str or None, not %s",
                             common::python_type_name(script_path).c_str());
    bridge::Local<> limit = run_time_limit(self, time_limit);

    static const common::Interned exists("exists"), llm_model("llm_model");
    double start = wall_clock();
    static JoinMemo script_of;
    nb::str path =
        script_path.is_none()
            ? text_of(script_of(module_attr(names::SKILLS_DIR),
                                common::checked(PyUnicode_FromFormat("%U.py", name.ptr()))))
            : nb::borrow<nb::str>(script_path);
    if (!common::truth(common::call_method(import_module(names::os_path_module), exists, path)))
        co_return early_failure(name, nb::str("Script not found: {}").format(path));

    // Creating the context creates its directories; a failure there is the
    // caller's, before anything needs cleaning up.
    static PyObject *keywords = nullptr;
    if (!keywords)
        keywords = nb::make_tuple(names::skill_name.get(), llm_model.get()).release().ptr();
    nb::object model = common::attr(self, names::llm_model);
    PyObject *context_args[] = {name.ptr(), model.ptr()};
    bridge::Local<> ctx = common::checked(PyObject_Vectorcall(
        module_attr(names::OmbrelContext).ptr(), context_args, 0, keywords));
    model.reset();
    nb::object output = common::attr_or(self, names::output_limit, Py_None);
    if (!output.is_none() && PyObject_SetAttr(ctx.ptr(), names::output_limit.ptr(), output.ptr()) < 0)
        throw nb::python_error();
    output.reset();
    // Where a clean-up that cannot be awaited any more (a close()) goes on.
    bridge::Local<> loop = common::call_method(bridge::asyncio(), names::get_running_loop_or_none);

    bridge::Local<> outcome;
    std::optional<nb::python_error> failure;  // leaves `run` after the clean-up
    try {
        try {
            LoadedSkill loaded = load_skill(name, path);
            if (loaded.failure.is_valid()) {
                outcome = std::move(loaded.failure);
            } else {
                // The module stays alive while its `run` runs, as a local
                // variable of an `async def` would keep it.
                bridge::Local<> module = std::move(loaded.module);
                nb::object starting =
                    common::checked(PyUnicode_FromFormat("Starting skill: %U", name.ptr()));
                common::call_method(ctx, names::log, starting);
                PyObject *run_args[] = {ctx.ptr(), params.ptr()};
                nb::object running = common::checked(
                    PyObject_Vectorcall(loaded.run.ptr(), run_args, 2, nullptr));
                loaded.run.reset();
                bridge::Local<nb::list> expired;
                bridge::Local<> timer = arm_time_limit(limit, expired);
                bridge::Outcome ran = co_await bridge::outcome(std::move(running));
                if (timer.is_valid())
                    common::call_method(timer, names::cancel);
                if (!ran) {
                    if (nb::len(expired) > 0 && ran.failed_with(bridge::cancelled_error().ptr()))
                        throw time_limit_error(limit);
                    throw ran.take_error();
                }
                outcome = collect_result(ctx, name, ran.value(), start);
            }
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
            finish_without_waiting(closing, loop);
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
