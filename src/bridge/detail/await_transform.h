// What each form of `co_await` in a bridge coroutine turns into: the
// promise's `await_transform` overloads, one per kind of awaitable.
//
// Internal to bridge/coroutine.h, which includes it after declaring `Coro`
// and defining `NextItem`.
#pragma once

#include "bridge/detail/awaiters.h"
#include "bridge/detail/awaits.h"
#include "bridge/detail/promise.h"

#include <nanobind/nanobind.h>

#include <utility>

namespace ombrel::bridge::detail {

namespace nb = nanobind;

/// Adds the forms of `co_await` to the promise.
class PromiseAwaits : public Promise {
public:
    NextItemAwaiter await_transform(NextItem &&next) {
        return NextItemAwaiter(*this, awaitable_iterator(next.awaitable()));
    }
    Awaiter<AwaitMode::throwing, nb::object> await_transform(nb::handle awaitable) {
        return {*this, awaitable_iterator(awaitable)};
    }
    /// An owned temporary is handed on, so that no reference to it stays
    /// hidden in the frame while it is awaited.
    template <OwnedObject O>
    Awaiter<AwaitMode::throwing, nb::object> await_transform(O &&awaitable) {
        return {*this, awaitable_iterator(nb::object(std::move(awaitable)))};
    }
    template <typename U> Awaiter<AwaitMode::throwing, U> await_transform(Coro<U> &&coro) {
        return {*this, awaitable_iterator(std::move(coro).to_python())};
    }
    template <AwaitMode Mode, typename U>
    Awaiter<Mode, U> await_transform(Await<Mode, U> &&await) {
        return {*this, await.take_iterator()};
    }
    RaiseAwaiter await_transform(Raise &&raise) { return {*this, std::move(raise)}; }
    /// The bridge's own awaitables that bring their awaiter (`sleep_for`,
    /// `wait_within`).
    template <typename A>
        requires requires(A &&a, Promise &p) { std::move(a).awaiter(p); }
    auto await_transform(A &&awaitable) {
        return std::move(awaitable).awaiter(*this);
    }
    TakenOverAwaiter await_transform(TakenOver &&await) { return {*this, std::move(await)}; }
};

} // namespace ombrel::bridge::detail
