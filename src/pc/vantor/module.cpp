// ombrel.pc.vantor: what Python sees.
#include "pc/vantor/backends/linux/linux.h"
#include "pc/vantor/backends/macos/macos.h"
#include "pc/vantor/backends/windows/windows.h"
#include "pc/vantor/controller.h"


namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace common = ombrel::common;
namespace vt = ombrel::vantor;
using bridge::def_coroutine;
using bridge::def_function;
using bridge::kw_only;
using bridge::param;
using bridge::returns;

namespace {

#define RESULT "dict[str, typing.Any]"

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
    m.doc() = R"doc(Cross-platform desktop accessibility controller: numbered snapshots of a native window's accessibility tree, and actions on its elements by number.

Settings of the Linux backend, module attributes read at each call:

LINUX_PYTHON: str, default "python3". The interpreter (a path, or a name
    looked up on the search path) that probes AT-SPI, runs the walker that
    reads the tree and, with LINUX_ACTIONS, does the actions. It must be
    able to import gi.repository.Atspi 2.0 (Debian's /usr/bin/python3 with
    python3-gi and gir1.2-atspi-2.0 can; a venv's python3 usually cannot).
LINUX_ACTIONS: bool, default False. True: Linux refs act. click_ref,
    type_ref, select_ref and toggle_ref work on the element through AT-SPI
    (see each), each checking first, in the same walker run, that the
    element at the ref's path is still the one the snapshot saw (its role
    and name, its application and its AT-SPI object); otherwise the answer
    is the stale-ref failure and nothing is done, whatever verify says.
    Each run has ten seconds, after which it is killed and reaped and the
    answer is the failure "AT-SPI2 action timed out". The ref-table
    entries of Linux snapshots then also hold "path" (the element's child
    indices from its window, a tuple), "bus_name" (its application's D-Bus
    name) and "object_path" (its AT-SPI object path), and _ref_window
    holds "bus_name". False: Linux refs are for reading, as before (a
    click or a toggle answers a failure that says what to do instead,
    typing and selecting that they are not supported), and the entries
    hold role, name, value and backend only.
LINUX_WORKER: bool, default False. True: the walker is one long-lived
    LINUX_PYTHON process per controller that has loaded gi once and
    answers one request at a time over its pipes (snapshots, stale checks,
    actions), instead of a new process per call. What it read of an
    application it keeps for the next requests, and follows the signals
    the application sends when its tree, or an element's name,
    description, role or states, change. It is started by the
    first call that needs it, and again after a request overran its time
    or was cancelled (the process is then killed and reaped, and the call
    answers as it would have with a process of its own), after it ended by
    itself (the call it was answering fails with "AT-SPI2 failed: " and
    why), or when LINUX_PYTHON, the event loop, PATH, PYTHONPATH, DISPLAY,
    DBUS_SESSION_BUS_ADDRESS or AT_SPI_BUS_ADDRESS changed. Vantor.aclose()
    ends it; so do the controller's collection and the interpreter's exit.
    False: each call starts a process of its own (an existing long-lived
    walker waits unused until one of those ends it).
With either of the last two set, a window_title that no window's name
contains also finds the first window of an application whose name
contains it, then of the process of a window that xdotool lists under
that title; and when the probe finds that LINUX_PYTHON cannot read AT-SPI,
it logs a warning that names the interpreter by its full path and what it
lacked.)doc";

    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")("ombrel.pc.desktop");
    m.attr("SYSTEM") = nb::module_::import_("platform").attr("system")();
    m.attr("INTERACTIVE_TYPES") = make_set(INTERACTIVE);
    m.attr("CONTEXT_TYPES") = make_set(CONTEXT);
    // The Linux backend's settings (see the module's docstring).
    m.attr("LINUX_PYTHON") = "python3";
    m.attr("LINUX_ACTIONS") = false;
    m.attr("LINUX_WORKER") = false;

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
        .def_rw("_ref_paths", &vt::Vantor::ref_paths,
                "Linux: ref -> the path of its element from its window (a tuple of child "
                "indices), for the refs of the latest AT-SPI snapshot; empty after any other.")
        .def_rw("_ref_window", &vt::Vantor::ref_window,
                "Linux: the window of those paths, {\"app\", \"window\", \"app_index\", "
                "\"window_index\"}; None after any other snapshot.")
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

    // Parameters, as the operations name them.
    auto ref = param("ref", "int");
    auto entry = param("elem_info", "dict[str, typing.Any]");
    auto title = param("title", "str");
    auto window_title = param("window_title", "str | None");
    auto max_depth = param("max_depth", "int");
    auto element = param("element", "typing.Any");
    auto library = param("backend", "str");
    auto text = param("text", "str");
    auto clear_first = param("clear_first", "bool");
    auto press_enter = param("press_enter", "bool");
    auto double_click = param("double_click", "bool");

    auto verify = param("verify", "bool");

    // Public operations
    def_coroutine<&vt::snapshot>(cls, "snapshot", returns(RESULT), window_title = nb::none(),
                                 max_depth = 8, kw_only,
                                 param("max_elements", "int | None") = nb::none(),
                                 param("max_chars", "int | None") = nb::none(),
                                 param("details", "bool") = false,
                                 param("root", "int | None") = nb::none(),
                                 param("diff", "bool") = false,
                                 R"doc(Describe a window as a numbered text of its elements.

Interactive elements get refs, which the other operations take; the refs
of the previous snapshot are replaced (a snapshot that fails keeps them).

Args:
    window_title: Part of the window's title (the foreground window when
        None or empty).
    max_depth: How deep the element tree is walked.
    max_elements: At most this many elements are read (listed or not), so
        that the walk costs what the budget allows and not what the tree
        holds; None for no limit.
    max_chars: At most this many characters of text (the header line is
        always kept); the walk stops at the first line that would not fit.
        None for no limit. A snapshot cut by a budget ends with the line
        "[Cut at max_elements=N: at least M more elements left out. Narrow
        the snapshot: root=REF for one element's subtree, window_title for
        one window, or a smaller max_depth.]" (max_chars=N when that budget
        cut it; "1 more element" for one).
    details: Each line also shows the element's states, each in brackets,
        in this order: [focused] [checked] [selected] [expanded]
        [disabled] [offscreen], then its bounds on the screen as
        " @x,y,w,h" (pixels), from reads the walk makes anyway (UI
        Automation: one cache request per element; AT-SPI: the state set
        and the extents; System Events: the same script). The lines are
        those of the plain snapshot; what a library does not report is
        left out (macOS reports no [offscreen]; UI Automation [checked],
        [selected] and [expanded] for the control types with those
        patterns).
    root: A ref of the last snapshot: only that element (at depth 0, the
        header being its window's) and its subtree, refs numbered from 1 as
        usual. Its window is the window of that snapshot; a window_title
        that does not occur in its name is refused.
    diff: Only what changed since the previous snapshot of the same window
        (of the same root's subtree with root). Lines are compared without
        their refs: an element whose ref moved is unchanged, and the moves
        are listed. The first snapshot of a window has nothing to compare
        with and is answered whole.

Returns:
    success, window, snapshot (the text: "Window: ..." then one line per
    element, "[ref] kind "name"" for interactive ones), element_count (the
    number of refs), hint, and platform ("macos", "linux_atspi",
    "linux_xdotool") outside Windows; or success False and error.
    With a budget, also truncated (bool) and left_out (int: elements left
    out at least, 0 when none). A root that is not a ref of the last
    snapshot, or not of the named window, is a failure saying so; one whose
    element changed is the failure of a stale ref (see click_ref).
    With diff, also previous (bool: there was a snapshot to compare with),
    added (the new lines, with their refs), removed (the old lines without
    their refs), renumbered (a list of {"old", "new", "count"}: refs
    old..old+count-1 are now new..new+count-1), and snapshot becomes the
    header line, "Changes since the previous snapshot of this window: A
    added, R removed." (or "No changes since the previous snapshot of this
    window."), a "- line" per removed and a "+ line" per added line, a
    line "Renumbered: [6]-[9] are now [7]-[10]; [12] is now [14]." when
    refs moved, and the cut line, if any.

Raises:
    TypeError: a budget that is not an int (or None), a root that is not a
        number.
    ValueError: a negative budget.)doc");
    def_coroutine<&vt::click_ref>(cls, "click_ref", returns(RESULT), ref,
                                  double_click = false, kw_only, verify = false,
                                  R"doc(Click (or double-click) the element of a ref from the latest snapshot.

Args:
    ref: A ref of the latest snapshot.
    double_click: Click twice.
    verify: First check that the element is still there and still the one
        the snapshot saw (its kind and name, and on Windows its own UI
        Automation element; on Linux found again by its path from the
        window); if not, nothing is done and the answer is the failure
        "Ref [n] is stale: the element changed since the snapshot. Take a
        new snapshot.", with ref and stale True. An element that cannot be
        checked counts as changed. With LINUX_ACTIONS set, a Linux ref's
        element is checked in the run that acts on it, verify or not.

Returns:
    success, action, ref, element and a hint (coordinates when the click
    fell back to the mouse); or success False, error and ref (and stale
    True for a stale ref). With LINUX_ACTIONS set, the answer for a Linux
    ref has action "click" or "double_click", element as 'role "name"',
    and method: "action" when its AT-SPI action was done (the first of
    "click", "press", "activate" and "toggle" that it offers, else its
    first action; twice for a double click), named by action_name; or
    "mouse" when it offers no action and xdotool clicked (twice for a
    double click) the centre of its extents, coordinates (x, y).)doc");
    def_coroutine<&vt::type_ref>(cls, "type_ref", returns(RESULT), ref, text, clear_first = true,
                                 press_enter = false, kw_only, verify = false,
                                 R"doc(Type text into the element of a ref.

Args:
    ref: A ref of the latest snapshot.
    text: What to type.
    clear_first: Replace the element's content (else type after it).
    press_enter: Press Enter after the text.
    verify: Check the element first, as click_ref does.

Returns:
    success, action, ref, text (and element, pressed_enter); or success
    False, error and ref (and stale True for a stale ref). With
    LINUX_ACTIONS set, the answer for a Linux ref has action "type",
    element, text, pressed_enter and method: "editable_text" when its
    EditableText interface took the text (set as its whole content with
    clear_first, else inserted at the caret when it has the focus and at
    the end when not), value then being its text
    read back (when it can be read); or "keyboard" when it has no such
    interface: it was given the keyboard focus and xdotool typed the text
    (after ctrl+a with clear_first). press_enter gives it the focus and
    presses Return through xdotool after the text. An element that cannot
    take the focus when the keyboard is needed is a failure, and nothing
    is typed.)doc");
    def_coroutine<&vt::select_ref>(cls, "select_ref", returns(RESULT), ref, param("value", "str"),
                                   kw_only, verify = false,
                                   R"doc(Select the item matching value in the list or combo box of a ref.

Args:
    ref: A ref of the latest snapshot.
    value: The item's text.
    verify: Check the element first, as click_ref does.

Returns:
    success, action "select", ref, element, value; or success False,
    error and ref (and stale True for a stale ref). With LINUX_ACTIONS
    set, a Linux ref's item is the child of its element, or of the
    element's list (or menu) child, whose name is value, selected through
    the Selection interface of the element, else of that child; the
    answer has method "selection". When no item has that name, the
    failure's error says so and lists the items' names, which choices
    holds too.)doc");
    def_coroutine<&vt::toggle_ref>(cls, "toggle_ref", returns(RESULT), ref, kw_only,
                                   verify = false,
                                   R"doc(Toggle the check box or switch of a ref.

Args:
    ref: A ref of the latest snapshot.
    verify: Check the element first, as click_ref does.

Returns:
    success, action "toggle", ref, element; or success False, error and
    ref (and stale True for a stale ref). With LINUX_ACTIONS set, the
    answer for a Linux ref also has method ("action": its "toggle" or
    "click" action, else its first, named by action_name; "mouse": it
    offers none and xdotool clicked its centre, coordinates (x, y)) and
    checked: its state afterwards (True or False, None when it could not
    be read), the first that differs from the state before, or the state
    a second later.)doc");
    def_coroutine<&vt::find>(cls, "find", returns(RESULT), param("name", "str | None") = nb::none(),
                             param("role", "str | None") = nb::none(),
                             R"doc(The elements of the latest snapshot that match, with their refs and lines.

Nothing is read from the desktop: the elements are the lines of the last
snapshot (its refs those it handed out).

Args:
    name: Part of the element's name, in any letter case (on macOS its
        title or description; for a line without a ref, the text after its
        kind); None for any.
    role: The element's kind as the snapshot shows it ("button",
        "check box", "AXCheckBox", ...), compared in any letter case and
        without spaces, "_", "-" and a leading "AX"; None for any.

Returns:
    success, matches (a list of {"ref": int or None, "line": str} in the
    order of the snapshot: ref None for an element listed without one, such
    as a label; the line as the snapshot shows it, without its indent) and
    count; or success False and error before any snapshot.

Raises:
    TypeError: a name or role that is not a str or None.)doc");
    def_coroutine<&vt::wait_for>(cls, "wait_for", returns(RESULT),
                                 param("name", "str | None") = nb::none(),
                                 param("role", "str | None") = nb::none(),
                                 param("timeout", "float") = 10, param("interval", "float") = 0.5,
                                 kw_only, window_title = nb::none(), max_depth = 8,
                                 R"doc(Take snapshots until one has a matching element, or the time is up.

Each snapshot replaces the refs, as snapshot() does. One starts every
interval seconds at the most often (the next after the previous one ended
when it took longer); the whole wait, snapshots included, ends at timeout,
a snapshot still running then being stopped. Cancelling the wait stops it
at once.

Args:
    name: As for find.
    role: As for find.
    timeout: Seconds to wait at most: a positive finite number.
    interval: Seconds between the starts of two snapshots at least: a
        positive finite number.
    window_title: The window, as for snapshot.
    max_depth: As for snapshot.

Returns:
    What find answers for the first snapshot with a match, with elapsed
    (seconds) and snapshots (how many were taken); or success False, error
    "No element named 'x' appeared within 10 seconds." (with the last
    snapshot's error, when it failed), matches [], count 0, elapsed and
    snapshots.

Raises:
    TypeError: name, role or window_title not a str or None; timeout or
        interval not a number.
    ValueError: timeout or interval zero, negative, NaN or infinite.)doc");
    def_coroutine<&vt::get_focused_window>(cls, "get_focused_window", returns(RESULT),
                                           R"doc(Describe the window that has the focus.

Returns:
    success and title (Windows adds class_name, handle and rect; macOS
    app); or success False and error.)doc");
    def_coroutine<&vt::list_windows>(cls, "list_windows", returns(RESULT),
                                     R"doc(List the visible windows.

Returns:
    success, windows (a dict per window: title, and class_name on Windows,
    app on macOS, id on Linux) and count; or success False and error.)doc");
    def_coroutine<&vt::focus_window>(cls, "focus_window", returns(RESULT), title,
                                     R"doc(Bring the first window whose title contains title to the front.

Args:
    title: Part of the window's title.

Returns:
    success and window (with hint on Windows, app on macOS, window_id on
    Linux); or success False and error.)doc");
    def_coroutine<&vt::scroll_window>(cls, "scroll_window", returns(RESULT),
                                      param("direction", "str") = "down",
                                      param("amount", "int") = 3,
                                      R"doc(Turn the mouse wheel where the pointer is, through PyAutoGUI.

Args:
    direction: "up" scrolls up; any other text scrolls down.
    amount: wheel clicks.

Returns:
    success, action "scroll", direction, amount, hint; or success False and
    error.)doc");
    def_coroutine<&vt::press_key>(cls, "press_key", returns(RESULT), param("key", "str"),
                                  R"doc(Press a key or a key combination in whatever has the keyboard focus.

pywinauto's send_keys on Windows, System Events on macOS, else PyAutoGUI.

Args:
    key: a key name (enter, tab, escape, space, f1, a, ...) or names joined
        by "+", modifiers first (ctrl+a, cmd+shift+z); any letter case.

Returns:
    success, action "key_press", key; or success False and error.)doc");
    def_coroutine<&vt::aclose>(cls, "aclose", returns("None"),
                               R"doc(End what the controller keeps running: the long-lived Linux walker of LINUX_WORKER, if it has one.

Its standard input is closed and it has two seconds to end, after which
it is killed; it is reaped before the coroutine ends. Requests it was
still answering fail as if it had ended by itself. The controller stays
usable: a later call starts a new walker when it needs one. A walker
started on another event loop is killed at once. Without one, nothing is
done.

Returns:
    None.)doc");

    // Initialisation
    def_function<&vt::ensure_init>(cls, "_ensure_init", returns("None"),
                                   "Probe the platform's libraries and tools once, on first use.");
    def_function<&vt::init_windows>(cls, "_init_windows", returns("None"),
                                    "Probe pywinauto, then uiautomation when pywinauto is missing.");
    def_function<&vt::init_macos>(cls, "_init_macos", returns("None"),
                                  "Look for osascript on the search path; set _macos_available "
                                  "when it is there.");
    def_function<&vt::init_linux>(cls, "_init_linux", returns("None"),
                                  "Probe xdotool on the search path and AT-SPI through LINUX_PYTHON "
                                  "(a blocking run of up to 5 seconds).");

    // Windows
    def_coroutine<&vt::snapshot_windows>(cls, "_snapshot_windows", returns(RESULT), window_title,
                                         max_depth,
                                         "Windows snapshot, its library calls on the loop's "
                                         "default executor.");
    def_function<&vt::snapshot_sync>(cls, "_snapshot_sync", returns(RESULT), window_title,
                                     max_depth,
                                     "Windows snapshot through pywinauto when it is available, "
                                     "else uiautomation (blocking).");
    def_function<&vt::snapshot_pywinauto>(cls, "_snapshot_pywinauto", returns(RESULT),
                                          window_title, max_depth,
                                          "Windows snapshot through pywinauto (blocking).");
    def_function<&vt::snapshot_uiautomation>(cls, "_snapshot_uiautomation", returns(RESULT),
                                             window_title, max_depth,
                                             "Windows snapshot through uiautomation (blocking).");
    def_function<&vt::walk_element_pywinauto>(cls, "_walk_element_pywinauto", returns("None"),
                                              element, param("lines", "list[str]"),
                                              param("depth", "int"), max_depth,
                                              "Append the lines of element's descendants "
                                              "(pywinauto) to lines, adding refs.");
    def_function<&vt::walk_element_uiautomation>(cls, "_walk_element_uiautomation",
                                                 returns("None"), element,
                                                 param("lines", "list[str]"), param("depth", "int"),
                                                 max_depth,
                                                 "Append the lines of element's descendants "
                                                 "(uiautomation) to lines, adding refs.");
    def_coroutine<&vt::click_ref_windows>(cls, "_click_ref_windows", returns(RESULT), ref, entry,
                                          double_click,
                                          "Click a Windows element, with a coordinate fall-back "
                                          "through PyAutoGUI.");
    def_function<&vt::click_element_sync>(cls, "_click_element_sync", returns("None"), element,
                                          library, double_click,
                                          "Click an element through its invoke pattern or a "
                                          "synthesized click (blocking).");
    def_coroutine<&vt::get_element_center>(cls, "_get_element_center",
                                           returns("tuple[int, int] | None"), element, library,
                                           "The centre of an element's rectangle, or None when it "
                                           "cannot be read.");
    def_coroutine<&vt::type_ref_windows>(cls, "_type_ref_windows", returns(RESULT), ref, entry,
                                         text, clear_first, press_enter,
                                         "Type into a Windows element, with a keyboard fall-back "
                                         "through PyAutoGUI.");
    def_function<&vt::type_element_sync>(cls, "_type_element_sync", returns("None"), element,
                                         library, text, clear_first, press_enter,
                                         "Type into an element through its value pattern or key "
                                         "presses (blocking).");
    def_function<&vt::select_element_sync>(cls, "_select_element_sync", returns("None"), element,
                                           library, param("value", "str"),
                                           "Select the item matching value in a list element "
                                           "(blocking).");
    def_function<&vt::toggle_element_sync>(cls, "_toggle_element_sync", returns("None"), element,
                                           library,
                                           "Toggle an element through its toggle pattern or a "
                                           "click (blocking).");
    def_coroutine<&vt::get_focused_window_windows>(cls, "_get_focused_window_windows",
                                                   returns(RESULT),
                                                   "The foreground window, read on the loop's "
                                                   "default executor.");
    def_function<&vt::get_focused_window_sync>(cls, "_get_focused_window_sync", returns(RESULT),
                                               "The foreground window (blocking).");
    def_coroutine<&vt::list_windows_windows>(cls, "_list_windows_windows", returns(RESULT),
                                             "The visible windows, read on the loop's default "
                                             "executor.");
    def_function<&vt::list_windows_sync>(cls, "_list_windows_sync", returns(RESULT),
                                         "The visible windows (blocking).");
    def_coroutine<&vt::focus_window_windows>(cls, "_focus_window_windows", returns(RESULT), title,
                                             "Focus a window by title pattern on the loop's "
                                             "default executor.");
    def_function<&vt::focus_window_sync>(cls, "_focus_window_sync", returns(RESULT), title,
                                         "Focus a window by title pattern (blocking).");

    // macOS
    def_coroutine<&vt::snapshot_macos>(cls, "_snapshot_macos", returns(RESULT), window_title,
                                       max_depth, R"doc(macOS snapshot of window 1 of an application, through System Events.

Args:
    window_title: a text that some window's name contains (the first visible
        application with such a window is described); None or "" for the
        frontmost application.
    max_depth: noted in the script only; the walk reads every level.

Returns:
    success, window (the application's name), snapshot, element_count,
    platform "macos", hint; or success False and error (with a permission
    hint when the script reads nothing).)doc");
    def_coroutine<&vt::click_ref_macos>(cls, "_click_ref_macos", returns(RESULT), ref, entry,
                                        double_click, R"doc(Click the first element of the entry's application window whose title or
description is the entry's title (its description when it has none).

Returns:
    success, action ("click" or "double_click"), ref, element, hint; or
    success False, error and ref.)doc");
    def_coroutine<&vt::type_ref_macos>(cls, "_type_ref_macos", returns(RESULT), ref, entry, text,
                                       clear_first, press_enter, R"doc(Click the element of the entry (found as for clicking) and type text into
it, after Command-A when clear_first, followed by Return when press_enter.

Returns:
    success, action "type", ref, text, pressed_enter; or success False,
    error and ref.)doc");
    def_coroutine<&vt::get_focused_window_macos>(cls, "_get_focused_window_macos",
                                                 returns(RESULT), R"doc(The frontmost application and the name of its window 1.

Returns:
    success, app, title (the application's name when the window has none);
    or success False and error.)doc");
    def_coroutine<&vt::list_windows_macos>(cls, "_list_windows_macos", returns(RESULT), R"doc(The windows of every visible application.

Returns:
    success, windows (dicts with app and title), count; or success False
    and error.)doc");
    def_coroutine<&vt::focus_window_macos>(cls, "_focus_window_macos", returns(RESULT), title,
                                           R"doc(Bring the application of the first window whose name contains title to the
front.

Returns:
    success, window (title), app; or success False and error.)doc");

    // Linux
    def_coroutine<&vt::snapshot_linux>(cls, "_snapshot_linux", returns(RESULT), window_title,
                                       max_depth,
                                       "Linux snapshot: through AT-SPI when the probe found it, "
                                       "else through xdotool alone.");
    def_coroutine<&vt::snapshot_linux_atspi>(cls, "_snapshot_linux_atspi", returns(RESULT),
                                             window_title, max_depth,
                                             "Linux snapshot of the AT-SPI tree, walked by a "
                                             "LINUX_PYTHON child, or by the long-lived walker with "
                                             "LINUX_WORKER (15 seconds at most).");
    def_coroutine<&vt::snapshot_linux_xdotool>(cls, "_snapshot_linux_xdotool", returns(RESULT),
                                               window_title,
                                               "The window's name and id from xdotool; no "
                                               "elements, and no refs left valid.");
    def_coroutine<&vt::click_ref_linux>(cls, "_click_ref_linux", returns(RESULT), ref, entry,
                                        double_click,
                                        "Click a Linux ref: with LINUX_ACTIONS through AT-SPI (see "
                                        "click_ref), else a failure that says what to do instead.");
    def_coroutine<&vt::get_focused_window_linux>(cls, "_get_focused_window_linux",
                                                 returns(RESULT),
                                                 "The active window's title, from xdotool.");
    def_coroutine<&vt::list_windows_linux>(cls, "_list_windows_linux", returns(RESULT),
                                           "The visible windows (id and title; the first 50 ids), "
                                           "from xdotool.");
    def_coroutine<&vt::focus_window_linux>(cls, "_focus_window_linux", returns(RESULT), title,
                                           "Activate the first window whose name matches title, "
                                           "through xdotool.");
}
