#include "pc/vantor/vantor.h"

namespace ombrel::vantor {

const bridge::Logger logger("ombrel.pc.desktop");

Vantor::Vantor()
    : ref_map(nb::dict()), ref_paths(nb::dict()), ref_window(nb::none()),
      last_window(nb::none()), last_text(nb::none()), previous_texts(nb::dict()) {}

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
    controller.ref_paths = nb::dict();
    controller.ref_window = nb::none();
    return table;
}

void remember_snapshot(Vantor &controller, nb::handle window, nb::handle text) {
    controller.last_window = nb::borrow(window);
    controller.last_text = nb::borrow(text);
}

} // namespace ombrel::vantor
