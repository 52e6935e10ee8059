#include "asyncio.h"

#include <cmath>

namespace ombrel::bridge {

nb::module_ asyncio() { return nb::module_::import_("asyncio"); }

nb::object sleep(nb::handle seconds) { return asyncio().attr("sleep")(seconds); }

nb::object sleep(double seconds) { return asyncio().attr("sleep")(seconds); }

/// A time limit as the loop may be handed it: NaN has expired (zero), an
/// infinite limit is no limit at all.
std::optional<double> time_limit(std::optional<double> seconds) {
    if (!seconds || (std::isinf(*seconds) && *seconds > 0))
        return std::nullopt;
    if (std::isnan(*seconds) || *seconds < 0)
        return 0.0;
    return seconds;
}

nb::object wait_for(nb::object awaitable, std::optional<double> seconds) {
    std::optional<double> limit = time_limit(seconds);
    if (!limit)
        return awaitable;
    return asyncio().attr("wait_for")(std::move(awaitable), *limit);
}

} // namespace ombrel::bridge
