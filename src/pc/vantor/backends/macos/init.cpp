#include "macos.h"

namespace ombrel::vantor {

void init_macos(nb::object self) { (void)self; }

} // namespace ombrel::vantor
