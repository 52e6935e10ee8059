// The module's logger.
#pragma once

#include "bridge/logging.h"

namespace ombrel::heartbeat {

inline constinit bridge::Logger logger("ombrel.heartbeat");

} // namespace ombrel::heartbeat
