// `co_await sleep_for(seconds)`: `await asyncio.sleep(seconds)` without a
// Python coroutine and a timer handle per sleep.
//
// The sleeps of a module on one event loop share one timer queue, which
// keeps a single `loop.call_at` armed for its earliest deadline and, when
// that fires, gives every due sleep's future its result as asyncio's own
// sleep does. A sleep that ends early (cancelled, its frame closed) leaves
// the queue at once. Sleeps that asyncio's own `sleep` serves better (zero,
// negative or odd delays, or `asyncio.sleep` replaced by the host or a test)
// go through `asyncio.sleep` itself.
#pragma once

#include "bridge/coroutine.h"
#include "bridge/detail/sleep_awaiter.h"

#include <utility>

namespace ombrel::bridge {

/// What `co_await sleep_for(seconds)` waits for.
class Sleep {
public:
    explicit Sleep(nb::object seconds) : seconds_(std::move(seconds)) {}
    /// The awaiter `co_await` uses (see `PromiseAwaits`).
    template <detail::AwaitMode Mode = detail::AwaitMode::throwing>
    detail::SleepAwaiter<Mode> awaiter(detail::Promise &promise) &&;

private:
    nb::object seconds_;
};

/// `await asyncio.sleep(seconds)`; `seconds` is read as asyncio reads it.
inline Sleep sleep_for(nb::object seconds) { return Sleep(std::move(seconds)); }

namespace detail {

/// `outcome(sleep_for(...))`
struct SleepOutcome {
    Sleep sleep;
    SleepAwaiter<AwaitMode::outcome> awaiter(Promise &promise) && {
        return std::move(sleep).awaiter<AwaitMode::outcome>(promise);
    }
};

} // namespace detail

template <detail::AwaitMode Mode>
detail::SleepAwaiter<Mode> Sleep::awaiter(detail::Promise &promise) && {
    return {promise, detail::start_sleep(std::move(seconds_))};
}

/// `co_await outcome(sleep_for(seconds))`: the sleep's end as an `Outcome`.
inline detail::SleepOutcome outcome(Sleep &&sleep) { return {std::move(sleep)}; }

} // namespace ombrel::bridge
