"""
Cross-platform desktop accessibility controller: numbered snapshots of a native window's accessibility tree, and actions on its elements by number.

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
lacked.
"""

from collections.abc import Coroutine
import logging
from typing import Any


logger: logging.Logger = ...

SYSTEM: str

INTERACTIVE_TYPES: set[str]

CONTEXT_TYPES: set[str]

LINUX_PYTHON: str = 'python3'

LINUX_ACTIONS: bool = False

LINUX_WORKER: bool = False

class Vantor:
    """
    Cross-platform accessibility controller.

    Provides accessibility tree snapshots and ref-based interaction for native applications on Windows, macOS, and Linux.
    """

    def __init__(self) -> None:
        """
        A controller with an empty ref table; it probes no library until its first operation.
        """

    def snapshot(self, window_title: str | None = None, max_depth: int = 8, *, max_elements: int | None = None, max_chars: int | None = None, details: bool = False, root: int | None = None, diff: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Describe a window as a numbered text of its elements.

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
            ValueError: a negative budget.
        """

    def click_ref(self, ref: int, double_click: bool = False, *, verify: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Click (or double-click) the element of a ref from the latest snapshot.

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
            double click) the centre of its extents, coordinates (x, y).
        """

    def type_ref(self, ref: int, text: str, clear_first: bool = True, press_enter: bool = False, *, verify: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Type text into the element of a ref.

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
            is typed.
        """

    def select_ref(self, ref: int, value: str, *, verify: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Select the item matching value in the list or combo box of a ref.

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
            holds too.
        """

    def toggle_ref(self, ref: int, *, verify: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Toggle the check box or switch of a ref.

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
            a second later.
        """

    def find(self, name: str | None = None, role: str | None = None) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        The elements of the latest snapshot that match, with their refs and lines.

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
            TypeError: a name or role that is not a str or None.
        """

    def wait_for(self, name: str | None = None, role: str | None = None, timeout: float = 10, interval: float = 0.5, *, window_title: str | None = None, max_depth: int = 8) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Take snapshots until one has a matching element, or the time is up.

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
            ValueError: timeout or interval zero, negative, NaN or infinite.
        """

    def get_focused_window(self) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Describe the window that has the focus.

        Returns:
            success and title (Windows adds class_name, handle and rect; macOS
            app); or success False and error.
        """

    def list_windows(self) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        List the visible windows.

        Returns:
            success, windows (a dict per window: title, and class_name on Windows,
            app on macOS, id on Linux) and count; or success False and error.
        """

    def focus_window(self, title: str) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Bring the first window whose title contains title to the front.

        Args:
            title: Part of the window's title.

        Returns:
            success and window (with hint on Windows, app on macOS, window_id on
            Linux); or success False and error.
        """

    def scroll_window(self, direction: str = 'down', amount: int = 3) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Turn the mouse wheel where the pointer is, through PyAutoGUI.

        Args:
            direction: "up" scrolls up; any other text scrolls down.
            amount: wheel clicks.

        Returns:
            success, action "scroll", direction, amount, hint; or success False and
            error.
        """

    def press_key(self, key: str) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Press a key or a key combination in whatever has the keyboard focus.

        pywinauto's send_keys on Windows, System Events on macOS, else PyAutoGUI.

        Args:
            key: a key name (enter, tab, escape, space, f1, a, ...) or names joined
                by "+", modifiers first (ctrl+a, cmd+shift+z); any letter case.

        Returns:
            success, action "key_press", key; or success False and error.
        """

    def aclose(self) -> Coroutine[Any, Any, None]:
        """
        End what the controller keeps running: the long-lived Linux walker of LINUX_WORKER, if it has one.

        Its standard input is closed and it has two seconds to end, after which
        it is killed; it is reaped before the coroutine ends. Requests it was
        still answering fail as if it had ended by itself. The controller stays
        usable: a later call starts a new walker when it needs one. A walker
        started on another event loop is killed at once. Without one, nothing is
        done.

        Returns:
            None.
        """
