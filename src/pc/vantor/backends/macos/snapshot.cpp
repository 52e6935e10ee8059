// The macOS snapshot.
#include "macos.h"

#include "../../results.h"
#include "pending.h"

namespace ombrel::vantor {

Coro<> snapshot_macos(nb::object, nb::object, nb::object) { co_return failure(MACOS_PENDING); }

} // namespace ombrel::vantor
