// OmbrelContext: one headless Chromium page through Playwright's asynchronous
// interface, opened on first use and closed by the run's clean-up. Cookies
// and web storage can be saved to a session file shared by every skill.
#include "skills/corvex/corvex.h"

#include <optional>

namespace ombrel::corvex {

/// Navigation waits this long (milliseconds) for its load state, whatever
/// limits the skill uses elsewhere.
static constexpr int navigation_timeout_ms = 30000;
/// Pause after every navigation, for scripts that run once the page loaded.
static constexpr double settle_seconds = 1.0;

/// The user's home / ".ombrel" / "browser_session", computed at each use so
/// that it follows the home directory.
static nb::object session_dir() {
    nb::object home = import_module("pathlib").attr("Path").attr("home")();
    return join(join(home, nb::str(".ombrel")), nb::str("browser_session"));
}

static nb::str session_file(nb::handle directory) {
    return text_of(join(directory, nb::str("state.json")));
}

/// Starts the driver, launches Chromium and opens the page; each lands in
/// its field as soon as it exists, so that a failure later on leaves it to
/// `browser_close`.
static Coro<> launch(nb::object self) {
    bridge::Local<> async_playwright = import_from("playwright.async_api", "async_playwright");
    bridge::Local<> starting = async_playwright().attr("start")();
    bridge::Local<> driver = co_await starting;
    self.attr("_playwright") = driver;

    bridge::Local<> directory = session_dir();
    directory.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);

    bridge::Local<nb::list> args;
    args.append("--no-sandbox");
    args.append("--disable-dev-shm-usage");
    bridge::Local<> launching = driver.attr("chromium").attr("launch")("headless"_a = true, "args"_a = args);
    bridge::Local<> browser = co_await launching;
    self.attr("_browser_instance") = browser;

    nb::str file = session_file(directory);
    bridge::Local<> creating = common::truth(import_module("os.path").attr("exists")(file))
                              ? browser.attr("new_context")("storage_state"_a = file)
                              : browser.attr("new_context")();
    bridge::Local<> context = co_await creating;
    self.attr("_browser_context") = context;

    bridge::Local<> opening = context.attr("new_page")();
    bridge::Local<> page = co_await opening;
    self.attr("_page") = page;
    self.attr("log")("Browser opened");
    co_return page;
}

Coro<> browser_open(nb::object self) {
    bridge::Local<> page = self.attr("_page");
    if (!page.is_none())
        co_return page;

    std::optional<nb::python_error> failure;
    try {
        page = co_await launch(self);
    } catch (...) {
        nb::python_error error = bridge::as_python_error(std::current_exception());
        if (!common::is_exception(error))
            throw std::move(error);
        failure.emplace(std::move(error));
    }
    if (failure) {
        self.attr("log")(nb::str("Failed to open browser: {}")
                             .format(common::exception_message(failure->value())));
        throw std::move(*failure);
    }
    co_return page;
}

/// The page, through the instance's `browser_open`, which opens the browser
/// on first use.
static nb::object page_of(nb::handle self) { return self.attr("browser_open")(); }

Coro<void> browser_navigate(nb::object self, nb::object url, nb::object wait_until) {
    nb::str address = common::expect_str(url, "url");
    nb::str state = common::expect_str(wait_until, "wait_until");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> going = page.attr("goto")(address, "wait_until"_a = state,
                                              "timeout"_a = navigation_timeout_ms);
    co_await going;
    co_await bridge::sleep(settle_seconds);
    self.attr("log")(nb::str("Navigated to {}").format(address));
}

Coro<void> browser_click(nb::object self, nb::object selector, nb::object timeout) {
    nb::str target = common::expect_str(selector, "selector");
    nb::float_ limit = common::expect_float(timeout, "timeout");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> clicking = page.attr("click")(target, "timeout"_a = limit);
    co_await clicking;
    self.attr("log")(nb::str("Clicked: {}").format(target));
}

Coro<void> browser_type(nb::object self, nb::object selector, nb::object text,
                        nb::object timeout) {
    nb::str target = common::expect_str(selector, "selector");
    nb::str typed = common::expect_str(text, "text");
    nb::float_ limit = common::expect_float(timeout, "timeout");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> filling = page.attr("fill")(target, typed, "timeout"_a = limit);
    co_await filling;
    // The text may be a password: only the selector is logged.
    self.attr("log")(nb::str("Typed into: {}").format(target));
}

Coro<> browser_evaluate(nb::object self, nb::object js) {
    nb::str script = common::expect_str(js, "js");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> evaluating = page.attr("evaluate")(script);
    co_return co_await evaluating;
}

Coro<> browser_get_text(nb::object self) {
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> evaluating = page.attr("evaluate")("() => document.body.innerText");
    bridge::Local<> text = co_await evaluating;
    if (!PyUnicode_Check(text.ptr()))
        nb::raise_type_error("the page's text must be str, not %s",
                             common::python_type_name(text).c_str());
    co_return text;
}

Coro<void> browser_wait(nb::object self, nb::object selector, nb::object timeout) {
    nb::str target = common::expect_str(selector, "selector");
    nb::float_ limit = common::expect_float(timeout, "timeout");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    bridge::Local<> waiting = page.attr("wait_for_selector")(target, "timeout"_a = limit);
    co_await waiting;
}

Coro<> browser_screenshot(nb::object self, nb::object name) {
    nb::str stem = common::expect_str(name, "name");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    nb::str path = text_of(join(self.attr("_output_dir"), nb::str("{}.png").format(stem)));
    bridge::Local<> shooting = page.attr("screenshot")("path"_a = path);
    co_await shooting;
    self.attr("log")(nb::str("Screenshot saved: {}").format(path));
    co_return path;
}

Coro<void> browser_upload(nb::object self, nb::object selector, nb::object file_path) {
    nb::str target = common::expect_str(selector, "selector");
    nb::str file = common::expect_str(file_path, "file_path");
    bridge::Local<> opening = page_of(self);
    bridge::Local<> page = co_await opening;
    // Passed on as given: unlike write_file, not taken from the output
    // directory.
    bridge::Local<> setting = page.attr("set_input_files")(target, file);
    co_await setting;
    self.attr("log")(nb::str("Uploaded {} to {}").format(file, target));
}

Coro<void> browser_save_session(nb::object self) {
    bridge::Local<> context = self.attr("_browser_context");
    if (!common::truth(context))
        co_return;
    bridge::Local<> directory = session_dir();
    directory.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    bridge::Local<> saving = context.attr("storage_state")("path"_a = session_file(directory));
    co_await saving;
    self.attr("log")("Browser session saved");
}

/// Awaits `owner.<method>()`; failures of the Exception family are ignored,
/// so that one part that cannot be released does not keep the others.
static Coro<void> release_quietly(nb::object owner, const char *method) {
    try {
        bridge::Local<> releasing = owner.attr(method)();
        co_await releasing;
    } catch (...) {
        nb::python_error error = bridge::as_python_error(std::current_exception());
        if (!common::is_exception(error))
            throw std::move(error);
    }
}

/// `self.name = None`
static void clear(nb::handle self, nb::handle name) {
    if (PyObject_SetAttr(self.ptr(), name.ptr(), Py_None) < 0)
        throw nb::python_error();
}

// Every run's clean-up comes here, mostly with nothing open.
Coro<void> browser_close(nb::object self) {
    static const common::Interned closed("Browser closed");
    bridge::Local<> context = common::attr(self, names::browser_context);
    if (common::truth(context))
        co_await release_quietly(context, "close");
    bridge::Local<> browser = common::attr(self, names::browser_instance);
    if (common::truth(browser))
        co_await release_quietly(browser, "close");
    bridge::Local<> driver = common::attr(self, names::playwright);
    if (common::truth(driver))
        co_await release_quietly(driver, "stop");
    clear(self, names::page);
    clear(self, names::browser_instance);
    clear(self, names::browser_context);
    common::call_method(self, names::log, closed);
}

} // namespace ombrel::corvex
