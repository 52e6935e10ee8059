// The Linux window operations through xdotool: the active window, the list
// of visible windows and activating a window by title. Any error of xdotool
// (a time-out, the executable gone, output that is not UTF-8) is the
// operation's failure.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

namespace ombrel::vantor {

namespace {

nb::list args(std::initializer_list<nb::handle> items) {
    nb::list list;
    for (nb::handle item : items)
        list.append(item);
    return list;
}

Coro<> focused_title() {
    bridge::Local<nb::list> command = args({nb::str("getactivewindow"), nb::str("getwindowname")});
    nb::object title = co_await xdotool(command, 5.0);
    nb::dict result = success();
    result["title"] = title;
    co_return result;
}

Coro<> visible_windows() {
    bridge::Local<nb::list> search = args({nb::str("search"), nb::str("--onlyvisible"), nb::str("--name"),
                            nb::str("")});
    bridge::Local<> listed = co_await xdotool(search, 5.0);
    bridge::Local<> ids = listed.attr("split")("\n");
    bridge::Local<nb::list> records;
    Py_ssize_t examined = std::min<Py_ssize_t>(nb::len(ids), 50);
    for (Py_ssize_t i = 0; i < examined; ++i) {
        bridge::Local<> id = py::item(ids, nb::int_(i)).attr("strip")();
        if (!py::truth(id))
            continue;
        bridge::Local<nb::list> command = args({nb::str("getwindowname"), id});
        nb::object name = co_await xdotool(command, 3.0);
        if (!py::truth(name))
            continue;
        nb::dict record;
        record["id"] = id;
        record["title"] = name;
        records.append(record);
    }
    nb::dict result = success();
    result["windows"] = records;
    result["count"] = nb::len(records);
    co_return result;
}

Coro<> activate(nb::object title) {
    bridge::Local<nb::list> search = args({nb::str("search"), nb::str("--name"), title});
    bridge::Local<> found = co_await xdotool(search, 5.0);
    bridge::Local<nb::str> id = first_line(nb::str(found));
    if (!py::truth(id))
        co_return failure(
            py::checked(PyUnicode_FromFormat("No window matching: %S", title.ptr())));
    bridge::Local<nb::list> command = args({nb::str("windowactivate"), id});
    co_await xdotool(command, 5.0);
    nb::dict result = success();
    result["window"] = title;
    result["window_id"] = id;
    co_return result;
}

} // namespace

Coro<> get_focused_window_linux(nb::object self) {
    if (!state(self).linux_xdotool_available)
        co_return failure("xdotool not available");
    co_return co_await result_or_failure<&focused_title>();
}

Coro<> list_windows_linux(nb::object self) {
    if (!state(self).linux_xdotool_available)
        co_return failure("No window listing tool available");
    co_return co_await result_or_failure<&visible_windows>();
}

Coro<> focus_window_linux(nb::object self, nb::object title) {
    if (!state(self).linux_xdotool_available)
        co_return failure("xdotool not available");
    co_return co_await result_or_failure<&activate>(title);
}

} // namespace ombrel::vantor
