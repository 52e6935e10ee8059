// The heartbeat's opt-in settings beyond the interval, the limit and the
// quiet hours: read from the configuration at each use, each absent (None,
// or no such attribute on the host's record) unless the host sets it.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

namespace ombrel::heartbeat {

namespace nb = nanobind;

struct Options {
    /// `error_backoff`: after a failed beat the next one waits twice as long
    /// as the one before, up to this many seconds.
    std::optional<double> error_backoff;
    /// `jitter_seconds`: up to this many seconds, drawn with `random.uniform`,
    /// are added to each wait.
    std::optional<double> jitter;
    /// `timezone`: the `zoneinfo.ZoneInfo` whose time of day quiet hours are
    /// read in; the process's local time without one.
    nb::object timezone;

    bool any() const { return error_backoff || jitter || timezone.is_valid(); }
};

/// Whether `config` sets any of the options (valid or not).
bool sets_options(nb::handle config);

/// The options of `config`. TypeError for a setting that is not a number
/// (or, for the time zone, not a str); ValueError for a backoff that is not
/// positive and finite, a negative or non-finite jitter, an unknown time
/// zone.
Options read_options(nb::handle config);

} // namespace ombrel::heartbeat
