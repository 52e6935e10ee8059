// ombrel.pc.vantor: what Python sees.
#include "vantor.h"

#include "py.h"

#include <nanobind/stl/string.h>

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace common = ombrel::common;
namespace vt = ombrel::vantor;

namespace ombrel::vantor {

const bridge::Logger logger("ombrel.pc.desktop");

Vantor::Vantor() : ref_map(nb::dict()) {}

Vantor &state(nb::handle self) {
    if (!nb::isinstance<Vantor>(self))
        nb::raise_type_error("expected a Vantor, not %s",
                             common::python_type_name(self).c_str());
    return *nb::inst_ptr<Vantor>(self);
}

} // namespace ombrel::vantor

namespace {

/// The owning Python object of a controller.
nb::object self_of(vt::Vantor &v) { return nb::borrow(nb::find(v)); }

#define RESULT "collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]"

const char *const INTERACTIVE[] = {
    // Windows UI Automation control types
    "Button", "CheckBox", "ComboBox", "Edit", "Hyperlink", "ListItem", "MenuItem", "MenuBar",
    "Menu", "RadioButton", "Slider", "Spinner", "Tab", "TabItem", "TreeItem", "DataItem",
    "Document", "SplitButton", "ToolBar",
    // macOS accessibility roles
    "AXButton", "AXCheckBox", "AXComboBox", "AXTextField", "AXLink", "AXMenuItem", "AXMenuBar",
    "AXRadioButton", "AXSlider", "AXTabGroup", "AXTextArea", "AXPopUpButton",
    // Linux AT-SPI role names
    "push button", "check box", "combo box", "text", "link", "menu item", "menu bar",
    "radio button", "slider", "page tab", "tree item", "list item"};

const char *const CONTEXT[] = {
    "Text", "StatusBar", "Header", "HeaderItem", "Group", "TitleBar", "Window", "Pane",
    "AXStaticText", "AXGroup", "AXWindow", "AXScrollArea",
    "label", "status bar", "panel", "frame", "filler"};

template <std::size_t N> nb::object make_set(const char *const (&names)[N]) {
    nb::list items;
    for (const char *name : names)
        items.append(nb::str(name));
    return nb::steal(PySet_New(items.ptr()));
}

} // namespace

NB_MODULE(vantor, m) {
    bridge::register_coroutine_type(m);
    m.doc() = "Cross-platform desktop accessibility controller: numbered snapshots of a "
              "native window's accessibility tree, and actions on its elements by number.";

    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")("ombrel.pc.desktop");
    m.attr("SYSTEM") = nb::module_::import_("platform").attr("system")();
    m.attr("INTERACTIVE_TYPES") = make_set(INTERACTIVE);
    m.attr("CONTEXT_TYPES") = make_set(CONTEXT);

    m.def(
        "_macos_keycode", [](nb::handle key) { return vt::macos_keycode(common::expect_str(key, "key")); },
        nb::arg("key").none(), nb::sig("def _macos_keycode(key: str) -> int"),
        "The macOS virtual key code of a key name (any letter case); 36, the "
        "Return key, for a name it does not know.");

    nb::class_<vt::Vantor> cls(
        m, "Vantor", nb::type_slots(common::gc_slots<vt::Vantor>()),
        "Cross-platform accessibility controller.\n\n"
        "Provides accessibility tree snapshots and ref-based interaction for native "
        "applications on Windows, macOS, and Linux.");
    cls.def(nb::init<>(), "A controller with an empty ref table; it probes no library until "
                          "its first operation.");

    // Fields
    cls.def_rw("_ref_map", &vt::Vantor::ref_map,
               "The ref table of the latest snapshot: ref -> entry dict.")
        .def_rw("_ref_counter", &vt::Vantor::ref_counter,
                "The last ref handed out; after a snapshot, the number of refs.")
        .def_rw("_uia_available", &vt::Vantor::uia_available,
                "Windows: some UI Automation library can be used.")
        .def_rw("_pywinauto_available", &vt::Vantor::pywinauto_available,
                "Windows: pywinauto imported.")
        .def_rw("_pyautogui_available", &vt::Vantor::pyautogui_available,
                "PyAutoGUI imported.")
        .def_rw("_macos_available", &vt::Vantor::macos_available, "macOS: osascript found.")
        .def_rw("_linux_atspi_available", &vt::Vantor::linux_atspi_available,
                "Linux: AT-SPI usable.")
        .def_rw("_linux_xdotool_available", &vt::Vantor::linux_xdotool_available,
                "Linux: xdotool found.")
        .def_rw("_initialized", &vt::Vantor::initialized, "_ensure_init has run.");

    // Public operations
    cls.def(
           "snapshot",
           [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
               return vt::snapshot(self_of(v), window_title, max_depth).named("Vantor.snapshot");
           },
           nb::arg("window_title").none() = nb::none(), nb::arg("max_depth").none() = 8,
           nb::sig("def snapshot(self, window_title: str | None = None, max_depth: int = 8) "
                   "-> " RESULT),
           "Describe a window (the foreground one when no title is given) as a numbered "
           "text of its elements; interactive elements get refs for the other operations.")
        .def(
            "click_ref",
            [](vt::Vantor &v, nb::object ref, nb::object double_click) {
                return vt::click_ref(self_of(v), ref, double_click).named("Vantor.click_ref");
            },
            nb::arg("ref").none(), nb::arg("double_click").none() = false,
            nb::sig("def click_ref(self, ref: int, double_click: bool = False) -> " RESULT),
            "Click (or double-click) the element of a ref from the latest snapshot.")
        .def(
            "type_ref",
            [](vt::Vantor &v, nb::object ref, nb::object text, nb::object clear_first,
               nb::object press_enter) {
                return vt::type_ref(self_of(v), ref, text, clear_first, press_enter)
                    .named("Vantor.type_ref");
            },
            nb::arg("ref").none(), nb::arg("text").none(), nb::arg("clear_first").none() = true, nb::arg("press_enter").none() = false,
            nb::sig("def type_ref(self, ref: int, text: str, clear_first: bool = True, "
                    "press_enter: bool = False) -> " RESULT),
            "Type text into the element of a ref, replacing its content unless clear_first "
            "is false, and press Enter after it when asked.")
        .def(
            "select_ref",
            [](vt::Vantor &v, nb::object ref, nb::object value) {
                return vt::select_ref(self_of(v), ref, value).named("Vantor.select_ref");
            },
            nb::arg("ref").none(), nb::arg("value").none(),
            nb::sig("def select_ref(self, ref: int, value: str) -> " RESULT),
            "Select the item matching value in the list or combo box of a ref.")
        .def(
            "toggle_ref",
            [](vt::Vantor &v, nb::object ref) {
                return vt::toggle_ref(self_of(v), ref).named("Vantor.toggle_ref");
            },
            nb::arg("ref").none(), nb::sig("def toggle_ref(self, ref: int) -> " RESULT),
            "Toggle the check box or switch of a ref.")
        .def(
            "get_focused_window",
            [](vt::Vantor &v) {
                return vt::get_focused_window(self_of(v)).named("Vantor.get_focused_window");
            },
            nb::sig("def get_focused_window(self) -> " RESULT),
            "Describe the window that has the focus.")
        .def(
            "list_windows",
            [](vt::Vantor &v) {
                return vt::list_windows(self_of(v)).named("Vantor.list_windows");
            },
            nb::sig("def list_windows(self) -> " RESULT), "List the visible windows.")
        .def(
            "focus_window",
            [](vt::Vantor &v, nb::object title) {
                return vt::focus_window(self_of(v), title).named("Vantor.focus_window");
            },
            nb::arg("title").none(), nb::sig("def focus_window(self, title: str) -> " RESULT),
            "Bring the first window whose title contains title to the front.")
        .def(
            "scroll_window",
            [](vt::Vantor &v, nb::object direction, nb::object amount) {
                return vt::scroll_window(self_of(v), direction, amount)
                    .named("Vantor.scroll_window");
            },
            nb::arg("direction").none() = "down", nb::arg("amount").none() = 3,
            nb::sig("def scroll_window(self, direction: str = 'down', amount: int = 3) "
                    "-> " RESULT),
            "Turn the mouse wheel up or down by amount clicks.")
        .def(
            "press_key",
            [](vt::Vantor &v, nb::object key) {
                return vt::press_key(self_of(v), key).named("Vantor.press_key");
            },
            nb::arg("key").none(), nb::sig("def press_key(self, key: str) -> " RESULT),
            "Press a key or a key combination such as ctrl+a.");

    // Initialisation
    cls.def(
           "_ensure_init", [](vt::Vantor &v) { vt::ensure_init(self_of(v)); },
           "Probe the platform's libraries and tools once, on first use.")
        .def("_init_windows", [](vt::Vantor &v) { vt::init_windows(self_of(v)); },
             "Probe pywinauto, then uiautomation when pywinauto is missing.")
        .def("_init_macos", [](vt::Vantor &v) { vt::init_macos(self_of(v)); },
             "Probe the macOS tools (backend not built yet: nothing is probed).")
        .def("_init_linux", [](vt::Vantor &v) { vt::init_linux(self_of(v)); },
             "Probe the Linux tools (backend not built yet: nothing is probed).");

    // Windows snapshot
    cls.def(
           "_snapshot_windows",
           [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
               return vt::snapshot_windows(self_of(v), window_title, max_depth)
                   .named("Vantor._snapshot_windows");
           },
           nb::arg("window_title").none(), nb::arg("max_depth").none(),
           nb::sig("def _snapshot_windows(self, window_title: str | None, max_depth: int) -> " RESULT),
           "Windows snapshot, its library calls on the loop's default executor.")
        .def(
            "_snapshot_sync",
            [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
                return vt::snapshot_sync(self_of(v), window_title, max_depth);
            },
            nb::arg("window_title").none(), nb::arg("max_depth").none(),
            nb::sig("def _snapshot_sync(self, window_title: str | None, max_depth: int) -> dict[str, typing.Any]"),
            "Windows snapshot through pywinauto when it is available, else uiautomation "
            "(blocking).")
        .def(
            "_snapshot_pywinauto",
            [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
                return vt::snapshot_pywinauto(self_of(v), window_title, max_depth);
            },
            nb::arg("window_title").none(), nb::arg("max_depth").none(),
            nb::sig("def _snapshot_pywinauto(self, window_title: str | None, max_depth: int) -> dict[str, typing.Any]"),
            "Windows snapshot through pywinauto (blocking).")
        .def(
            "_snapshot_uiautomation",
            [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
                return vt::snapshot_uiautomation(self_of(v), window_title, max_depth);
            },
            nb::arg("window_title").none(), nb::arg("max_depth").none(),
            nb::sig("def _snapshot_uiautomation(self, window_title: str | None, max_depth: int) -> dict[str, typing.Any]"),
            "Windows snapshot through uiautomation (blocking).")
        .def(
            "_walk_element_pywinauto",
            [](vt::Vantor &v, nb::object element, nb::list lines, nb::object depth,
               nb::object max_depth) {
                vt::walk_element_pywinauto(self_of(v), element, lines, depth, max_depth);
            },
            nb::arg("element").none(), nb::arg("lines").none(), nb::arg("depth").none(), nb::arg("max_depth").none(),
            nb::sig("def _walk_element_pywinauto(self, element: typing.Any, lines: list[str], depth: int, max_depth: int) -> None"),
            "Append the lines of element's descendants (pywinauto) to lines, adding refs.")
        .def(
            "_walk_element_uiautomation",
            [](vt::Vantor &v, nb::object element, nb::list lines, nb::object depth,
               nb::object max_depth) {
                vt::walk_element_uiautomation(self_of(v), element, lines, depth, max_depth);
            },
            nb::arg("element").none(), nb::arg("lines").none(), nb::arg("depth").none(), nb::arg("max_depth").none(),
            nb::sig("def _walk_element_uiautomation(self, element: typing.Any, lines: list[str], depth: int, max_depth: int) -> None"),
            "Append the lines of element's descendants (uiautomation) to lines, adding refs.");

    // Windows element actions
    cls.def(
           "_click_ref_windows",
           [](vt::Vantor &v, nb::object ref, nb::object elem_info, nb::object double_click) {
               return vt::click_ref_windows(self_of(v), ref, elem_info,
                                            common::truth(double_click))
                   .named("Vantor._click_ref_windows");
           },
           nb::arg("ref").none(), nb::arg("elem_info").none(), nb::arg("double_click").none(),
           nb::sig("def _click_ref_windows(self, ref: int, elem_info: dict[str, typing.Any], double_click: bool) -> " RESULT),
           "Click a Windows element, with a coordinate fall-back through PyAutoGUI.")
        .def(
            "_click_element_sync",
            [](vt::Vantor &, nb::object element, nb::object backend, nb::object double_click) {
                vt::click_element_sync(element, backend, common::truth(double_click));
            },
            nb::arg("element").none(), nb::arg("backend").none(), nb::arg("double_click").none(),
            nb::sig("def _click_element_sync(self, element: typing.Any, backend: str, double_click: bool) -> None"),
            "Click an element through its invoke pattern or a synthesized click (blocking).")
        .def(
            "_get_element_center",
            [](vt::Vantor &v, nb::object element, nb::object backend) {
                return vt::get_element_center(self_of(v), element, backend)
                    .named("Vantor._get_element_center");
            },
            nb::arg("element").none(), nb::arg("backend").none(),
            nb::sig("def _get_element_center(self, element: typing.Any, backend: str) -> "
                    "collections.abc.Coroutine[typing.Any, typing.Any, tuple[int, int] | None]"),
            "The centre of an element's rectangle, or None when it cannot be read.")
        .def(
            "_type_ref_windows",
            [](vt::Vantor &v, nb::object ref, nb::object elem_info, nb::object text,
               nb::object clear_first, nb::object press_enter) {
                return vt::type_ref_windows(self_of(v), ref, elem_info, text,
                                            common::truth(clear_first),
                                            common::truth(press_enter))
                    .named("Vantor._type_ref_windows");
            },
            nb::arg("ref").none(), nb::arg("elem_info").none(), nb::arg("text").none(), nb::arg("clear_first").none(), nb::arg("press_enter").none(),
            nb::sig("def _type_ref_windows(self, ref: int, elem_info: dict[str, typing.Any], text: str, clear_first: bool, press_enter: bool) -> " RESULT),
            "Type into a Windows element, with a keyboard fall-back through PyAutoGUI.")
        .def(
            "_type_element_sync",
            [](vt::Vantor &, nb::object element, nb::object backend, nb::object text,
               nb::object clear_first, nb::object press_enter) {
                vt::type_element_sync(element, backend, text, common::truth(clear_first),
                                      common::truth(press_enter));
            },
            nb::arg("element").none(), nb::arg("backend").none(), nb::arg("text").none(), nb::arg("clear_first").none(), nb::arg("press_enter").none(),
            nb::sig("def _type_element_sync(self, element: typing.Any, backend: str, text: str, clear_first: bool, press_enter: bool) -> None"),
            "Type into an element through its value pattern or key presses (blocking).")
        .def(
            "_select_element_sync",
            [](vt::Vantor &, nb::object element, nb::object backend, nb::object value) {
                vt::select_element_sync(element, backend, value);
            },
            nb::arg("element").none(), nb::arg("backend").none(), nb::arg("value").none(),
            nb::sig("def _select_element_sync(self, element: typing.Any, backend: str, value: str) -> None"),
            "Select the item matching value in a list element (blocking).")
        .def(
            "_toggle_element_sync",
            [](vt::Vantor &, nb::object element, nb::object backend) {
                vt::toggle_element_sync(element, backend);
            },
            nb::arg("element").none(), nb::arg("backend").none(),
            nb::sig("def _toggle_element_sync(self, element: typing.Any, backend: str) -> None"),
            "Toggle an element through its toggle pattern or a click (blocking).");

    // Windows window operations
    cls.def(
           "_get_focused_window_windows",
           [](vt::Vantor &v) {
               return vt::get_focused_window_windows(self_of(v))
                   .named("Vantor._get_focused_window_windows");
           },
           nb::sig("def _get_focused_window_windows(self) -> " RESULT),
           "The foreground window, read on the loop's default executor.")
        .def("_get_focused_window_sync",
             [](vt::Vantor &v) { return vt::get_focused_window_sync(self_of(v)); },
             nb::sig("def _get_focused_window_sync(self) -> dict[str, typing.Any]"),
             "The foreground window (blocking).")
        .def(
            "_list_windows_windows",
            [](vt::Vantor &v) {
                return vt::list_windows_windows(self_of(v)).named("Vantor._list_windows_windows");
            },
            nb::sig("def _list_windows_windows(self) -> " RESULT),
            "The visible windows, read on the loop's default executor.")
        .def("_list_windows_sync", [](vt::Vantor &v) { return vt::list_windows_sync(self_of(v)); },
             nb::sig("def _list_windows_sync(self) -> dict[str, typing.Any]"),
             "The visible windows (blocking).")
        .def(
            "_focus_window_windows",
            [](vt::Vantor &v, nb::object title) {
                return vt::focus_window_windows(self_of(v), title)
                    .named("Vantor._focus_window_windows");
            },
            nb::arg("title").none(), nb::sig("def _focus_window_windows(self, title: str) -> " RESULT),
            "Focus a window by title pattern on the loop's default executor.")
        .def(
            "_focus_window_sync",
            [](vt::Vantor &v, nb::object title) { return vt::focus_window_sync(self_of(v), title); },
            nb::arg("title").none(), nb::sig("def _focus_window_sync(self, title: str) -> dict[str, typing.Any]"),
            "Focus a window by title pattern (blocking).");

    // Backends still to come
    cls.def(
           "_snapshot_macos",
           [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
               return vt::snapshot_macos(self_of(v), window_title, max_depth)
                   .named("Vantor._snapshot_macos");
           },
           nb::arg("window_title").none(), nb::arg("max_depth").none(),
           nb::sig("def _snapshot_macos(self, window_title: str | None, max_depth: int) -> " RESULT),
           "macOS snapshot (not built yet).")
        .def(
            "_click_ref_macos",
            [](vt::Vantor &v, nb::object ref, nb::object elem_info, nb::object double_click) {
                return vt::click_ref_macos(self_of(v), ref, elem_info, double_click)
                    .named("Vantor._click_ref_macos");
            },
            nb::arg("ref").none(), nb::arg("elem_info").none(), nb::arg("double_click").none(),
            nb::sig("def _click_ref_macos(self, ref: int, elem_info: dict[str, typing.Any], double_click: bool) -> " RESULT),
            "macOS click by ref (not built yet).")
        .def(
            "_type_ref_macos",
            [](vt::Vantor &v, nb::object ref, nb::object elem_info, nb::object text,
               nb::object clear_first, nb::object press_enter) {
                return vt::type_ref_macos(self_of(v), ref, elem_info, text, clear_first,
                                          press_enter)
                    .named("Vantor._type_ref_macos");
            },
            nb::arg("ref").none(), nb::arg("elem_info").none(), nb::arg("text").none(), nb::arg("clear_first").none(), nb::arg("press_enter").none(),
            nb::sig("def _type_ref_macos(self, ref: int, elem_info: dict[str, typing.Any], text: str, clear_first: bool, press_enter: bool) -> " RESULT),
            "macOS typing by ref (not built yet).")
        .def(
            "_get_focused_window_macos",
            [](vt::Vantor &v) {
                return vt::get_focused_window_macos(self_of(v))
                    .named("Vantor._get_focused_window_macos");
            },
            nb::sig("def _get_focused_window_macos(self) -> " RESULT),
            "macOS focused window (not built yet).")
        .def(
            "_list_windows_macos",
            [](vt::Vantor &v) {
                return vt::list_windows_macos(self_of(v)).named("Vantor._list_windows_macos");
            },
            nb::sig("def _list_windows_macos(self) -> " RESULT),
            "macOS window list (not built yet).")
        .def(
            "_focus_window_macos",
            [](vt::Vantor &v, nb::object title) {
                return vt::focus_window_macos(self_of(v), title).named("Vantor._focus_window_macos");
            },
            nb::arg("title").none(), nb::sig("def _focus_window_macos(self, title: str) -> " RESULT),
            "macOS window focus (not built yet).")
        .def(
            "_snapshot_linux",
            [](vt::Vantor &v, nb::object window_title, nb::object max_depth) {
                return vt::snapshot_linux(self_of(v), window_title, max_depth)
                    .named("Vantor._snapshot_linux");
            },
            nb::arg("window_title").none(), nb::arg("max_depth").none(),
            nb::sig("def _snapshot_linux(self, window_title: str | None, max_depth: int) -> " RESULT),
            "Linux snapshot (not built yet).")
        .def(
            "_click_ref_linux",
            [](vt::Vantor &v, nb::object ref, nb::object elem_info, nb::object double_click) {
                return vt::click_ref_linux(self_of(v), ref, elem_info, double_click)
                    .named("Vantor._click_ref_linux");
            },
            nb::arg("ref").none(), nb::arg("elem_info").none(), nb::arg("double_click").none(),
            nb::sig("def _click_ref_linux(self, ref: int, elem_info: dict[str, typing.Any], double_click: bool) -> " RESULT),
            "Linux click by ref (not built yet).")
        .def(
            "_get_focused_window_linux",
            [](vt::Vantor &v) {
                return vt::get_focused_window_linux(self_of(v))
                    .named("Vantor._get_focused_window_linux");
            },
            nb::sig("def _get_focused_window_linux(self) -> " RESULT),
            "Linux focused window (not built yet).")
        .def(
            "_list_windows_linux",
            [](vt::Vantor &v) {
                return vt::list_windows_linux(self_of(v)).named("Vantor._list_windows_linux");
            },
            nb::sig("def _list_windows_linux(self) -> " RESULT),
            "Linux window list (not built yet).")
        .def(
            "_focus_window_linux",
            [](vt::Vantor &v, nb::object title) {
                return vt::focus_window_linux(self_of(v), title).named("Vantor._focus_window_linux");
            },
            nb::arg("title").none(), nb::sig("def _focus_window_linux(self, title: str) -> " RESULT),
            "Linux window focus (not built yet).");
}
