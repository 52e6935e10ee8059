// The awaiter behind `co_await wait_within(awaitable, seconds)`.
#pragma once

#include "bridge/coroutine.h"

#include <coroutine>
#include <optional>
#include <utility>

namespace ombrel::bridge::detail {

/// The awaiter behind `co_await wait_within(...)`: takes the first step when
/// the `co_await` is reached, so that an awaitable that completes there
/// resumes the frame without suspending it (no coroutine object, no timer);
/// one that has to wait goes on under `asyncio.wait_for` from where it
/// stands, or, without a limit, is awaited on as `await` would.
class WithinAwaiter {
public:
    WithinAwaiter(Promise &promise, nb::object awaitable, std::optional<double> limit)
        : promise_(promise), awaitable_(std::move(awaitable)), limit_(limit) {}

    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept;
    nb::object await_resume();

private:
    Promise &promise_;
    nb::object awaitable_;  // until the first step: the awaitable; then its iterator
    std::optional<double> limit_;
    nb::object yielded_;    // what a first step that has to wait yielded
    nb::object value_;      // the result of a first step that completed
    std::optional<nb::python_error> error_;
};

/// What `wait_within` returns, for `co_await` in a bridge coroutine.
class Within {
public:
    Within(nb::object awaitable, std::optional<double> limit)
        : awaitable_(std::move(awaitable)), limit_(limit) {}
    WithinAwaiter awaiter(Promise &promise) && {
        return WithinAwaiter(promise, std::move(awaitable_), limit_);
    }

private:
    nb::object awaitable_;
    std::optional<double> limit_;
};

} // namespace ombrel::bridge::detail
