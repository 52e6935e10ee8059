#include "core/heartbeat/quiet_hours.h"

#include "common/interned.h"
#include "common/python.h"

namespace ombrel::heartbeat {

nb::str time_of_day(nb::handle zone) {
    static const common::Interned strftime("strftime"), format("%H:%M"), time("time"),
        datetime_module("datetime"), datetime("datetime"), now("now");
    if (zone.is_valid()) {
        nb::object moment =
            common::call_method(common::module_attr(datetime_module, datetime), now, zone);
        return nb::str(common::call_method(moment, strftime, format));
    }
    // time.strftime goes through the C library's localtime, which follows the
    // process time zone as time.tzset() last set it.
    return nb::str(common::call_method(common::import_module(time), strftime, format));
}

bool in_quiet_period(nb::handle start, nb::handle end, nb::handle now) {
    if (start <= end)
        return start <= now && now < end;
    return now >= start || now < end;
}

} // namespace ombrel::heartbeat
