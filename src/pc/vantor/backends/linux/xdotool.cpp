#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

Coro<> xdotool(nb::list arguments, double timeout) {
    bridge::Local<nb::list> command;
    command.append("xdotool");
    command.extend(arguments);
    bridge::ProcessOptions options;
    options.timeout = timeout;
    nb::tuple done = co_await bridge::run_process(command, options);
    nb::object output = nb::borrow(done[1]).attr("decode")("utf-8");
    co_return output.attr("strip")();
}

nb::str first_line(nb::str output) {
    nb::object lines = output.attr("split")("\n");
    return nb::str(py::item(lines, nb::int_(0)).attr("strip")());
}

} // namespace ombrel::vantor
