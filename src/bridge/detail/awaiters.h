// The awaiters behind the `co_await` of a Python awaitable, a C++ coroutine,
// `anext`, an await taken over and `raise`: each hands the frame's await to
// its promise as it suspends and takes the await's end as it resumes.
//
// Internal to bridge/coroutine.h, which includes it after defining `Outcome`.
#pragma once

#include "bridge/detail/awaits.h"
#include "bridge/detail/promise.h"

#include <nanobind/nanobind.h>

#include <coroutine>
#include <type_traits>
#include <utility>

namespace ombrel::bridge::detail {

namespace nb = nanobind;

/// The awaiter behind every `co_await` of a Python awaitable or a C++
/// coroutine: suspends on the iterator and takes the await's end as `Mode`
/// says, the value cast to `T`.
template <AwaitMode Mode, typename T> class Awaiter {
public:
    Awaiter(Promise &promise, nb::object iterator)
        : promise_(promise), iterator_(std::move(iterator)) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<>) noexcept {
        return promise_.start_await(std::move(iterator_), Mode);
    }
    auto await_resume() {
        if constexpr (Mode == AwaitMode::outcome) {
            return promise_.take_outcome();
        } else {
            nb::object value = promise_.take_value();
            if constexpr (std::is_void_v<T>)
                return;
            else if constexpr (std::is_same_v<T, nb::object>)
                return value;
            else
                return nb::cast<T>(value);
        }
    }

private:
    Promise &promise_;
    nb::object iterator_;
};

/// The awaiter behind `co_await anext(iterator)`: the item, or an empty
/// object at StopAsyncIteration.
class NextItemAwaiter {
public:
    NextItemAwaiter(Promise &promise, nb::object iterator)
        : promise_(promise), iterator_(std::move(iterator)) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<>) noexcept {
        return promise_.start_await(std::move(iterator_), AwaitMode::throwing);
    }
    nb::object await_resume();

private:
    Promise &promise_;
    nb::object iterator_;
};

/// The awaiter behind `co_await TakenOver`: yields what the first step
/// yielded, then drives the iterator as any await.
class TakenOverAwaiter {
public:
    TakenOverAwaiter(Promise &promise, TakenOver &&await)
        : promise_(promise), await_(std::move(await)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept {
        promise_.begin_taken_over_await(await_.take_iterator(), await_.take_yielded());
    }
    nb::object await_resume() { return promise_.take_value(); }

private:
    Promise &promise_;
    TakenOver await_;
};

/// The awaiter behind `co_await raise(error)`: never resumes.
class RaiseAwaiter {
public:
    RaiseAwaiter(Promise &promise, Raise &&raise) : promise_(promise), raise_(std::move(raise)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept { promise_.begin_raise(raise_.take()); }
    void await_resume() const noexcept {}

private:
    Promise &promise_;
    Raise raise_;
};

} // namespace ombrel::bridge::detail
