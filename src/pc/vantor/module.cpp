// ombrel.pc.vantor: what Python sees.
#include "pc/vantor/backends/linux/linux.h"
#include "pc/vantor/backends/macos/macos.h"
#include "pc/vantor/backends/windows/windows.h"
#include "pc/vantor/controller.h"

#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace common = ombrel::common;
namespace vt = ombrel::vantor;

namespace {

#define RESULT "dict[str, typing.Any]"
#define COROUTINE(T) "collections.abc.Coroutine[typing.Any, typing.Any, " T "]"

/// Texts that the bindings keep for the module's life (argument names,
/// signatures, qualified names).
const char *keep(std::string text) {
    static std::deque<std::string> kept;
    return kept.emplace_back(std::move(text)).c_str();
}

/// The names of a parameter list written as in Python ("ref: int,
/// elem_info: dict[str, typing.Any]" gives ref and elem_info).
std::vector<const char *> parameter_names(std::string_view params) {
    std::vector<const char *> names;
    int nesting = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= params.size(); ++i) {
        char c = i < params.size() ? params[i] : ',';
        if (c == '[')
            ++nesting;
        else if (c == ']')
            --nesting;
        else if (c == ',' && nesting == 0) {
            std::string_view part = params.substr(start, i - start);
            part.remove_prefix(std::min(part.find_first_not_of(' '), part.size()));
            if (!part.empty())
                names.push_back(keep(std::string(part.substr(0, part.find(':')))));
            start = i + 1;
        }
    }
    return names;
}

/// The owning Python object of a controller.
nb::object self_of(vt::Vantor &v) { return nb::borrow(nb::find(v)); }

template <auto Fn, typename = decltype(Fn)> struct Method;

/// Binds `Fn(self, args...)` as a method of `Vantor`: a coroutine is named
/// "Vantor.<name>" and typed as a coroutine of `returns`.
template <auto Fn, typename R, typename... P> struct Method<Fn, R (*)(nb::object, P...)> {
    static constexpr bool coroutine = std::is_same_v<R, vt::Coro<>>;

    /// The arguments (nb::arg, with their defaults) given by the caller.
    template <typename... Args>
    static void def(nb::class_<vt::Vantor> &cls, const char *name, const char *params,
                    const char *returns, const char *doc, Args &&...args) {
        const char *qualname = keep(std::string("Vantor.") + name);
        std::string sig = std::string("def ") + name + "(self" + (*params ? ", " : "") +
                          params + ") -> " +
                          (coroutine ? COROUTINE("") : "");
        if (coroutine)
            sig.insert(sig.size() - 1, returns);
        else
            sig += returns;
        cls.def(
            name,
            [qualname](vt::Vantor &v, P... passed) {
                if constexpr (coroutine)
                    return Fn(self_of(v), std::move(passed)...).named(qualname);
                else
                    return Fn(self_of(v), std::move(passed)...);
            },
            std::forward<Args>(args)..., nb::sig(keep(std::move(sig))), doc);
    }

    /// The arguments named by `params` ("name: type, ..."), none with a
    /// default, each accepting None like any other object.
    static void bind(nb::class_<vt::Vantor> &cls, const char *name, const char *params,
                     const char *returns, const char *doc) {
        std::vector<const char *> names = parameter_names(params);
        if (names.size() != sizeof...(P))
            throw std::logic_error(std::string("parameters of ") + name + " do not match");
        bind_with(cls, name, params, returns, doc, names, std::index_sequence_for<P...>{});
    }

    template <std::size_t... I>
    static void bind_with(nb::class_<vt::Vantor> &cls, const char *name, const char *params,
                          const char *returns, const char *doc,
                          const std::vector<const char *> &names, std::index_sequence<I...>) {
        def(cls, name, params, returns, doc, nb::arg(names[I]).none()...);
    }
};

/// A private method from one row: its function, name, parameters as Python
/// writes them, result type (of the coroutine, for coroutines) and docstring.
template <auto Fn>
void bind(nb::class_<vt::Vantor> &cls, const char *name, const char *params,
          const char *returns, const char *doc) {
    Method<Fn>::bind(cls, name, params, returns, doc);
}

auto arg(const char *name) { return nb::arg(name).none(); }

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
    Method<&vt::snapshot>::def(
        cls, "snapshot", "window_title: str | None = None, max_depth: int = 8", RESULT,
        "Describe a window (the foreground one when no title is given) as a numbered text of "
        "its elements; interactive elements get refs for the other operations.\n\n"
        "Returns: success, window, snapshot, element_count, hint (and platform on macOS "
        "and Linux); or success False and error.",
        arg("window_title") = nb::none(), arg("max_depth") = 8);
    Method<&vt::click_ref>::def(
        cls, "click_ref", "ref: int, double_click: bool = False", RESULT,
        "Click (or double-click) the element of a ref from the latest snapshot.",
        arg("ref"), arg("double_click") = false);
    Method<&vt::type_ref>::def(
        cls, "type_ref", "ref: int, text: str, clear_first: bool = True, press_enter: bool = False",
        RESULT,
        "Type text into the element of a ref, replacing its content unless clear_first is "
        "false, and press Enter after it when asked.",
        arg("ref"), arg("text"), arg("clear_first") = true, arg("press_enter") = false);
    Method<&vt::select_ref>::def(cls, "select_ref", "ref: int, value: str", RESULT,
                                 "Select the item matching value in the list or combo box of "
                                 "a ref.",
                                 arg("ref"), arg("value"));
    Method<&vt::toggle_ref>::def(cls, "toggle_ref", "ref: int", RESULT,
                                 "Toggle the check box or switch of a ref.", arg("ref"));
    Method<&vt::get_focused_window>::def(cls, "get_focused_window", "", RESULT,
                                         "Describe the window that has the focus.");
    Method<&vt::list_windows>::def(cls, "list_windows", "", RESULT, "List the visible windows.");
    Method<&vt::focus_window>::def(
        cls, "focus_window", "title: str", RESULT,
        "Bring the first window whose title contains title to the front.", arg("title"));
    Method<&vt::scroll_window>::def(
        cls, "scroll_window", "direction: str = 'down', amount: int = 3", RESULT,
        R"(Turn the mouse wheel where the pointer is, through PyAutoGUI.

Args:
    direction: "up" scrolls up; any other text scrolls down.
    amount: wheel clicks.

Returns:
    success, action "scroll", direction, amount, hint; or success False and
    error.)",
        arg("direction") = "down", arg("amount") = 3);
    Method<&vt::press_key>::def(
        cls, "press_key", "key: str", RESULT,
        R"(Press a key or a key combination in whatever has the keyboard focus:
pywinauto's send_keys on Windows, System Events on macOS, else PyAutoGUI.

Args:
    key: a key name (enter, tab, escape, space, f1, a, ...) or names joined
        by "+", modifiers first (ctrl+a, cmd+shift+z); any letter case.

Returns:
    success, action "key_press", key; or success False and error.)",
        arg("key"));

    // Initialisation
    bind<&vt::ensure_init>(cls, "_ensure_init", "", "None",
                           "Probe the platform's libraries and tools once, on first use.");
    bind<&vt::init_windows>(cls, "_init_windows", "", "None",
                            "Probe pywinauto, then uiautomation when pywinauto is missing.");
    bind<&vt::init_macos>(cls, "_init_macos", "", "None",
                          "Look for osascript on the search path; set _macos_available when "
                          "it is there.");
    bind<&vt::init_linux>(cls, "_init_linux", "", "None",
                          "Probe xdotool on the search path and AT-SPI through the python3 "
                          "there (a blocking run of up to 5 seconds).");

#define TITLE_DEPTH "window_title: str | None, max_depth: int"
#define ENTRY "ref: int, elem_info: dict[str, typing.Any]"
#define WALK "element: typing.Any, lines: list[str], depth: int, max_depth: int"

    // Windows
    bind<&vt::snapshot_windows>(cls, "_snapshot_windows", TITLE_DEPTH, RESULT,
                                "Windows snapshot, its library calls on the loop's default "
                                "executor.");
    bind<&vt::snapshot_sync>(cls, "_snapshot_sync", TITLE_DEPTH, RESULT,
                             "Windows snapshot through pywinauto when it is available, else "
                             "uiautomation (blocking).");
    bind<&vt::snapshot_pywinauto>(cls, "_snapshot_pywinauto", TITLE_DEPTH, RESULT,
                                  "Windows snapshot through pywinauto (blocking).");
    bind<&vt::snapshot_uiautomation>(cls, "_snapshot_uiautomation", TITLE_DEPTH, RESULT,
                                     "Windows snapshot through uiautomation (blocking).");
    bind<&vt::walk_element_pywinauto>(cls, "_walk_element_pywinauto", WALK, "None",
                                      "Append the lines of element's descendants (pywinauto) "
                                      "to lines, adding refs.");
    bind<&vt::walk_element_uiautomation>(cls, "_walk_element_uiautomation", WALK, "None",
                                         "Append the lines of element's descendants "
                                         "(uiautomation) to lines, adding refs.");
    bind<&vt::click_ref_windows>(cls, "_click_ref_windows", ENTRY ", double_click: bool", RESULT,
                                 "Click a Windows element, with a coordinate fall-back "
                                 "through PyAutoGUI.");
    bind<&vt::click_element_sync>(cls, "_click_element_sync",
                                  "element: typing.Any, backend: str, double_click: bool", "None",
                                  "Click an element through its invoke pattern or a "
                                  "synthesized click (blocking).");
    bind<&vt::get_element_center>(cls, "_get_element_center", "element: typing.Any, backend: str",
                                  "tuple[int, int] | None",
                                  "The centre of an element's rectangle, or None when it "
                                  "cannot be read.");
    bind<&vt::type_ref_windows>(cls, "_type_ref_windows",
                                ENTRY ", text: str, clear_first: bool, press_enter: bool", RESULT,
                                "Type into a Windows element, with a keyboard fall-back "
                                "through PyAutoGUI.");
    bind<&vt::type_element_sync>(cls, "_type_element_sync",
                                 "element: typing.Any, backend: str, text: str, "
                                 "clear_first: bool, press_enter: bool",
                                 "None",
                                 "Type into an element through its value pattern or key "
                                 "presses (blocking).");
    bind<&vt::select_element_sync>(cls, "_select_element_sync",
                                   "element: typing.Any, backend: str, value: str", "None",
                                   "Select the item matching value in a list element "
                                   "(blocking).");
    bind<&vt::toggle_element_sync>(cls, "_toggle_element_sync",
                                   "element: typing.Any, backend: str", "None",
                                   "Toggle an element through its toggle pattern or a click "
                                   "(blocking).");
    bind<&vt::get_focused_window_windows>(cls, "_get_focused_window_windows", "", RESULT,
                                          "The foreground window, read on the loop's default "
                                          "executor.");
    bind<&vt::get_focused_window_sync>(cls, "_get_focused_window_sync", "", RESULT,
                                       "The foreground window (blocking).");
    bind<&vt::list_windows_windows>(cls, "_list_windows_windows", "", RESULT,
                                    "The visible windows, read on the loop's default executor.");
    bind<&vt::list_windows_sync>(cls, "_list_windows_sync", "", RESULT,
                                 "The visible windows (blocking).");
    bind<&vt::focus_window_windows>(cls, "_focus_window_windows", "title: str", RESULT,
                                    "Focus a window by title pattern on the loop's default "
                                    "executor.");
    bind<&vt::focus_window_sync>(cls, "_focus_window_sync", "title: str", RESULT,
                                 "Focus a window by title pattern (blocking).");

    // macOS
    bind<&vt::snapshot_macos>(
        cls, "_snapshot_macos", TITLE_DEPTH, RESULT,
        R"(macOS snapshot of window 1 of an application, through System Events.

Args:
    window_title: a text that some window's name contains (the first visible
        application with such a window is described); None or "" for the
        frontmost application.
    max_depth: noted in the script only; the walk reads every level.

Returns:
    success, window (the application's name), snapshot, element_count,
    platform "macos", hint; or success False and error (with a permission
    hint when the script reads nothing).)");
    bind<&vt::click_ref_macos>(
        cls, "_click_ref_macos", ENTRY ", double_click: bool", RESULT,
        R"(Click the first element of the entry's application window whose title or
description is the entry's title (its description when it has none).

Returns:
    success, action ("click" or "double_click"), ref, element, hint; or
    success False, error and ref.)");
    bind<&vt::type_ref_macos>(
        cls, "_type_ref_macos", ENTRY ", text: str, clear_first: bool, press_enter: bool",
        RESULT,
        R"(Click the element of the entry (found as for clicking) and type text into
it, after Command-A when clear_first, followed by Return when press_enter.

Returns:
    success, action "type", ref, text, pressed_enter; or success False,
    error and ref.)");
    bind<&vt::get_focused_window_macos>(
        cls, "_get_focused_window_macos", "", RESULT,
        R"(The frontmost application and the name of its window 1.

Returns:
    success, app, title (the application's name when the window has none);
    or success False and error.)");
    bind<&vt::list_windows_macos>(
        cls, "_list_windows_macos", "", RESULT,
        R"(The windows of every visible application.

Returns:
    success, windows (dicts with app and title), count; or success False
    and error.)");
    bind<&vt::focus_window_macos>(
        cls, "_focus_window_macos", "title: str", RESULT,
        R"(Bring the application of the first window whose name contains title to the
front.

Returns:
    success, window (title), app; or success False and error.)");

    // Linux
    bind<&vt::snapshot_linux>(cls, "_snapshot_linux", TITLE_DEPTH, RESULT,
                              "Linux snapshot: through AT-SPI when the probe found it, else "
                              "through xdotool alone.");
    bind<&vt::snapshot_linux_atspi>(cls, "_snapshot_linux_atspi", TITLE_DEPTH, RESULT,
                                    "Linux snapshot of the AT-SPI tree, walked by a python3 "
                                    "child (15 seconds at most).");
    bind<&vt::snapshot_linux_xdotool>(cls, "_snapshot_linux_xdotool",
                                      "window_title: str | None", RESULT,
                                      "The window's name and id from xdotool; no elements, "
                                      "and no refs left valid.");
    bind<&vt::click_ref_linux>(cls, "_click_ref_linux", ENTRY ", double_click: bool", RESULT,
                               "Linux refs cannot be clicked: always a failure that says "
                               "what to do instead.");
    bind<&vt::get_focused_window_linux>(cls, "_get_focused_window_linux", "", RESULT,
                                        "The active window's title, from xdotool.");
    bind<&vt::list_windows_linux>(cls, "_list_windows_linux", "", RESULT,
                                  "The visible windows (id and title; the first 50 ids), "
                                  "from xdotool.");
    bind<&vt::focus_window_linux>(cls, "_focus_window_linux", "title: str", RESULT,
                                  "Activate the first window whose name matches title, "
                                  "through xdotool.");
}
