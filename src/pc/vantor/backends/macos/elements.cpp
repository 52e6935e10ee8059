// Clicking and typing into the element of a macOS ref.
#include "macos.h"

#include "../../results.h"
#include "pending.h"

namespace ombrel::vantor {

Coro<> click_ref_macos(nb::object, nb::object ref, nb::object, nb::object) {
    co_return failure(MACOS_PENDING, ref);
}

Coro<> type_ref_macos(nb::object, nb::object ref, nb::object, nb::object, nb::object,
                      nb::object) {
    co_return failure(MACOS_PENDING, ref);
}

} // namespace ombrel::vantor
