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

#include <cstdint>

namespace ombrel::bridge {

/// What `co_await sleep_for(seconds)` waits for.
namespace detail {
template <AwaitMode Mode> class SleepAwaiter;
}

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

/// A sleep's place in its loop's timer queue; leaves the queue when dropped.
class TimerEntry {
public:
    TimerEntry() = default;
    TimerEntry(nb::object queue, double deadline, std::uint64_t id)
        : queue_(std::move(queue)), deadline_(deadline), id_(id) {}
    TimerEntry(TimerEntry &&other) noexcept
        : queue_(std::move(other.queue_)), deadline_(other.deadline_), id_(other.id_) {}
    TimerEntry &operator=(TimerEntry &&) = delete;
    ~TimerEntry() { leave(); }

    /// Leaves the queue (once).
    void leave() noexcept;
    /// The queue, for the collector while the sleep is suspended.
    const nb::object &queue() const { return queue_; }

private:
    nb::object queue_;
    double deadline_ = 0;
    std::uint64_t id_ = 0;
};

/// How a sleep started: the iterator to await (the future on the shared
/// timer, or `asyncio.sleep(...)`) and its place in the queue, if any.
struct SleepStart {
    nb::object iterator;
    TimerEntry entry;
};

/// Starts the sleep (reads the delay, takes a place in the running loop's
/// timer queue); raises what `asyncio.sleep` would raise at its first step.
SleepStart start_sleep(nb::object seconds);

/// The awaiter behind `co_await sleep_for(...)` (and its `outcome` form).
template <AwaitMode Mode> class SleepAwaiter {
public:
    SleepAwaiter(Promise &promise, SleepStart start)
        : promise_(promise), iterator_(std::move(start.iterator)),
          entry_(std::move(start.entry)) {}
    SleepAwaiter(const SleepAwaiter &) = delete;
    ~SleepAwaiter() { unhold(); }

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept {
        if (entry_.queue().is_valid()) {
            promise_.hold(held_, &entry_.queue());
            holding_ = true;
        }
        promise_.begin_await(std::move(iterator_), Mode);
    }
    auto await_resume() {
        entry_.leave();
        unhold();
        if constexpr (Mode == AwaitMode::outcome)
            return promise_.take_outcome();
        else
            promise_.take_value();
    }

private:
    void unhold() noexcept {
        if (holding_)
            promise_.forget(held_);
        holding_ = false;
    }

    Promise &promise_;
    nb::object iterator_;
    TimerEntry entry_;
    HeldLink held_;
    bool holding_ = false;
};

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
