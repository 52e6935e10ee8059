#include "quiet_hours.h"

#include "common/args.h"

namespace ombrel::heartbeat {

nb::str local_time_of_day() {
    // time.strftime goes through the C library's localtime, which follows the
    // process time zone as time.tzset() last set it.
    return nb::str(nb::module_::import_("time").attr("strftime")("%H:%M"));
}

bool in_quiet_period(nb::handle start, nb::handle end, nb::handle now) {
    if (!common::truth(start) || !common::truth(end))
        return false;
    if (start <= end)
        return start <= now && now < end;
    return now >= start || now < end;
}

} // namespace ombrel::heartbeat
