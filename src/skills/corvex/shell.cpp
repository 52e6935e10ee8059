// OmbrelContext.shell: a command through the system shell, bounded in time.
#include "skills/corvex/corvex.h"

#include <algorithm>
#include <optional>

namespace ombrel::corvex {

/// The text of the process's output: stdout, then stderr after a line break
/// when there is any, both decoded as UTF-8 with replacement characters.
static nb::str combined_output(nb::handle out, nb::handle err) {
    nb::str text = nb::borrow<nb::str>(out.attr("decode")("utf-8", "replace"));
    if (nb::len(err) == 0)
        return text;
    nb::str err_text = nb::borrow<nb::str>(err.attr("decode")("utf-8", "replace"));
    return nb::str("{}\n{}").format(text, err_text);
}

Coro<> shell(nb::object self, nb::object command, nb::object timeout) {
    nb::str text = common::expect_str(command, "command");
    nb::float_ limit = common::expect_float(timeout, "timeout");
    double seconds = nb::cast<double>(limit);
    // A limit that is not positive (or not a number) has expired before the
    // command could finish, as for asyncio.wait_for.
    bridge::ProcessOptions options{seconds, /*shell*/ true, /*own_session*/ true,
                                   /*output_limit*/ std::nullopt};
    // Under an output limit no more of each stream is kept than the answer
    // can show (a character is at most four bytes).
    std::optional<Py_ssize_t> limit_chars = output_limit(self);
    if (limit_chars)
        options.output_limit = static_cast<std::size_t>(*limit_chars) * 4;

    std::optional<nb::python_error> failure;
    nb::tuple finished;
    try {
        // On time-out and on cancellation the command's whole process group
        // is killed and the shell reaped before the error arrives here.
        finished = co_await bridge::run_process(text, options);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        failure.emplace(std::move(e));
    }
    if (failure) {
        if (failure->matches(bridge::asyncio().attr("TimeoutError")))
            co_return nb::str("[TIMEOUT] Command timed out after {}s").format(limit);
        co_return nb::str("[ERROR] {}").format(common::exception_message(failure->value()));
    }

    try {
        nb::str output = combined_output(nb::object(finished[1]), nb::object(finished[2]));
        Py_ssize_t dropped = 0;
        if (limit_chars)
            dropped = nb::cast<Py_ssize_t>(finished[3]) + nb::cast<Py_ssize_t>(finished[4]);
        nb::object head = nb::steal(PyUnicode_Substring(text.ptr(), 0, 50));
        if (!head.is_valid())
            throw nb::python_error();
        self.attr("log")(nb::str("Shell: {}... \xe2\x86\x92 {} chars")
                             .format(head, nb::len(output) + static_cast<std::size_t>(dropped)));
        nb::str answer = nb::borrow<nb::str>(output.attr("strip")());
        Py_ssize_t length = common::str_length(answer.ptr());
        if (!limit_chars || (length <= *limit_chars && dropped == 0))
            co_return answer;
        // Cut to the limit, and one line that says how much is missing.
        Py_ssize_t kept = std::min(length, *limit_chars);
        nb::object head_part = common::checked(PyUnicode_Substring(answer.ptr(), 0, kept));
        co_return nb::str("{}\n{}").format(head_part, cut_marker(length - kept + dropped));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        co_return nb::str("[ERROR] {}").format(common::exception_message(e.value()));
    }
}

} // namespace ombrel::corvex
