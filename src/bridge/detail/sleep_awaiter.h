// The awaiter behind `co_await sleep_for(...)` and the place a sleep takes
// in its loop's timer queue.
#pragma once

#include "bridge/coroutine.h"

#include <coroutine>
#include <cstdint>
#include <utility>

namespace ombrel::bridge::detail {

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

} // namespace ombrel::bridge::detail
