// The macOS window operations: the frontmost window, the list of windows
// and focusing a window by title.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/backends/macos/scripts.h"

namespace ombrel::vantor {

using macos::Scripts;

namespace {

Coro<> frontmost_window() {
    bridge::Local<nb::str> frontmost = macos::fill(Scripts::frontmost_app);
    bridge::Local<nb::str> app = co_await macos::answer(frontmost, 5.0);
    bridge::Local<nb::str> window_script = macos::fill(Scripts::window_name, {{"app", app}});
    nb::str title = co_await macos::answer(window_script, 5.0);
    nb::dict result = success();
    result["app"] = app;
    result["title"] = py::truth(title) ? title : app;
    co_return result;
}

Coro<> window_list() {
    bridge::Local<nb::str> script = macos::fill(Scripts::list_windows);
    nb::str output = co_await macos::answer(script, 10.0);
    nb::list windows;
    nb::str bar("|");
    for (nb::handle line : output.attr("splitlines")()) {
        if (!py::contains(line, bar))
            continue;
        nb::object parts = line.attr("split")(bar, 1);
        nb::dict record;
        record["app"] = nb::object(parts[0]).attr("strip")();
        record["title"] = nb::object(parts[1]).attr("strip")();
        windows.append(record);
    }
    nb::dict result = success();
    result["windows"] = windows;
    result["count"] = nb::len(windows);
    co_return result;
}

Coro<> bring_to_front(nb::object title) {
    bridge::Local<nb::str> script = macos::fill(Scripts::focus, {{"title", title}});
    nb::str app = co_await macos::answer(script, 10.0);
    if (!py::truth(app))
        co_return failure(
            py::checked(PyUnicode_FromFormat("No window matching: %S", title.ptr())));
    nb::dict result = success();
    result["window"] = title;
    result["app"] = app;
    co_return result;
}

} // namespace

Coro<> get_focused_window_macos(nb::object) {
    co_return co_await result_or_failure<&frontmost_window>();
}

Coro<> list_windows_macos(nb::object) {
    co_return co_await result_or_failure<&window_list>();
}

Coro<> focus_window_macos(nb::object, nb::object title) {
    co_return co_await result_or_failure<&bring_to_front>(title);
}

} // namespace ombrel::vantor
