#include "pc/vantor/py.h"

namespace ombrel::vantor::py {

void blocking_sleep(double seconds) {
    common::import_module("time").attr("sleep")(seconds);
}

} // namespace ombrel::vantor::py
