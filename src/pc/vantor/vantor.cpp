#include "pc/vantor/vantor.h"

namespace ombrel::vantor {

const bridge::Logger logger("ombrel.pc.desktop");

Vantor::Vantor() : ref_map(nb::dict()) {}

Vantor &state(nb::handle self) {
    if (!nb::isinstance<Vantor>(self))
        nb::raise_type_error("expected a Vantor, not %s",
                             common::python_type_name(self).c_str());
    return *nb::inst_ptr<Vantor>(self);
}

nb::dict reset_ref_table(Vantor &controller) {
    nb::dict table;
    controller.ref_map = table;
    controller.ref_counter = 0;
    return table;
}

} // namespace ombrel::vantor
