"""
Cross-platform desktop accessibility controller: numbered snapshots of a native window's accessibility tree, and actions on its elements by number.
"""

from collections.abc import Coroutine
import logging
from typing import Any


logger: logging.Logger = ...

SYSTEM: str

INTERACTIVE_TYPES: set[str]

CONTEXT_TYPES: set[str]

class Vantor:
    """
    Cross-platform accessibility controller.

    Provides accessibility tree snapshots and ref-based interaction for native applications on Windows, macOS, and Linux.
    """

    def __init__(self) -> None:
        """
        A controller with an empty ref table; it probes no library until its first operation.
        """

    def snapshot(self, window_title: str | None = None, max_depth: int = 8) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Describe a window as a numbered text of its elements.

        Interactive elements get refs, which the other operations take; the refs
        of the previous snapshot are replaced (a snapshot that fails keeps them).

        Args:
            window_title: Part of the window's title (the foreground window when
                None or empty).
            max_depth: How deep the element tree is walked.

        Returns:
            success, window, snapshot (the text: "Window: ..." then one line per
            element, "[ref] kind "name"" for interactive ones), element_count (the
            number of refs), hint, and platform ("macos", "linux_atspi",
            "linux_xdotool") outside Windows; or success False and error.
        """

    def click_ref(self, ref: int, double_click: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Click (or double-click) the element of a ref from the latest snapshot.

        Args:
            ref: A ref of the latest snapshot.
            double_click: Click twice.

        Returns:
            success, action, ref, element and a hint (coordinates when the click
            fell back to the mouse); or success False, error and ref.
        """

    def type_ref(self, ref: int, text: str, clear_first: bool = True, press_enter: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Type text into the element of a ref.

        Args:
            ref: A ref of the latest snapshot.
            text: What to type.
            clear_first: Replace the element's content (else type after it).
            press_enter: Press Enter after the text.

        Returns:
            success, action, ref, text (and element, pressed_enter); or success
            False, error and ref.
        """

    def select_ref(self, ref: int, value: str) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Select the item matching value in the list or combo box of a ref.

        Args:
            ref: A ref of the latest snapshot.
            value: The item's text.

        Returns:
            success, action "select", ref, element, value; or success False,
            error and ref.
        """

    def toggle_ref(self, ref: int) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Toggle the check box or switch of a ref.

        Args:
            ref: A ref of the latest snapshot.

        Returns:
            success, action "toggle", ref, element; or success False, error and
            ref.
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
