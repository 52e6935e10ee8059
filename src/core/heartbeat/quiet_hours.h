// The daily quiet period, compared as "%H:%M" texts.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::heartbeat {

namespace nb = nanobind;

/// The current time of day as "%H:%M": in the `zoneinfo.ZoneInfo` `zone`
/// when one is given, else the local time from the C library's clock and
/// time zone, read at every call (so a changed TZ applies after
/// `time.tzset()`).
nb::str time_of_day(nb::handle zone);

/// Whether `now` lies in the period from `start` (included) to `end`
/// (excluded); a period whose start sorts after its end wraps past
/// midnight. Both bounds are set (the caller decides that an empty or
/// missing bound means no quiet period, before reading the clock). The bounds
/// are compared with `now` as Python values, character by character for texts.
bool in_quiet_period(nb::handle start, nb::handle end, nb::handle now);

} // namespace ombrel::heartbeat
