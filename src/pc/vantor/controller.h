// The public operations of `Vantor` and its lazy initialisation.
#pragma once

#include "pc/vantor/vantor.h"

namespace ombrel::vantor {

void ensure_init(nb::object self);

Coro<> snapshot(nb::object self, nb::object window_title, nb::object max_depth,
                nb::object max_elements, nb::object max_chars, nb::object details,
                nb::object root, nb::object diff);
Coro<> click_ref(nb::object self, nb::object ref, nb::object double_click, nb::object verify);
Coro<> type_ref(nb::object self, nb::object ref, nb::object text, nb::object clear_first,
                nb::object press_enter, nb::object verify);
Coro<> select_ref(nb::object self, nb::object ref, nb::object value, nb::object verify);
Coro<> toggle_ref(nb::object self, nb::object ref, nb::object verify);
Coro<> get_focused_window(nb::object self);
Coro<> list_windows(nb::object self);
Coro<> focus_window(nb::object self, nb::object title);
Coro<> scroll_window(nb::object self, nb::object direction, nb::object amount);
Coro<> press_key(nb::object self, nb::object key);

// Finding refs (find.cpp)
Coro<> find(nb::object self, nb::object name, nb::object role);
Coro<> wait_for(nb::object self, nb::object name, nb::object role, nb::object timeout,
                nb::object interval, nb::object window_title, nb::object max_depth);
/// The result of `find` over the latest snapshot; `name` and `role` are
/// checked already.
nb::dict find_in_snapshot(Vantor &controller, nb::handle name, nb::handle role);

} // namespace ombrel::vantor
