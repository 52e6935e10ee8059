#include "core/heartbeat/quiet_hours.h"

#include "common/interned.h"
#include "common/python.h"

namespace ombrel::heartbeat {

nb::str local_time_of_day() {
    // time.strftime goes through the C library's localtime, which follows the
    // process time zone as time.tzset() last set it.
    static const common::Interned strftime("strftime"), format("%H:%M");
    return nb::str(common::call_method(common::import_module("time"), strftime, format));
}

bool in_quiet_period(nb::handle start, nb::handle end, nb::handle now) {
    if (start <= end)
        return start <= now && now < end;
    return now >= start || now < end;
}

} // namespace ombrel::heartbeat
