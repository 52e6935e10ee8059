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
        Describe a window (the foreground one when no title is given) as a numbered text of its elements; interactive elements get refs for the other operations.

        Returns: success, window, snapshot, element_count, hint (and platform on macOS and Linux); or success False and error.
        """

    def click_ref(self, ref: int, double_click: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """Click (or double-click) the element of a ref from the latest snapshot."""

    def type_ref(self, ref: int, text: str, clear_first: bool = True, press_enter: bool = False) -> Coroutine[Any, Any, dict[str, Any]]:
        """
        Type text into the element of a ref, replacing its content unless clear_first is false, and press Enter after it when asked.
        """

    def select_ref(self, ref: int, value: str) -> Coroutine[Any, Any, dict[str, Any]]:
        """Select the item matching value in the list or combo box of a ref."""

    def toggle_ref(self, ref: int) -> Coroutine[Any, Any, dict[str, Any]]:
        """Toggle the check box or switch of a ref."""

    def get_focused_window(self) -> Coroutine[Any, Any, dict[str, Any]]:
        """Describe the window that has the focus."""

    def list_windows(self) -> Coroutine[Any, Any, dict[str, Any]]:
        """List the visible windows."""

    def focus_window(self, title: str) -> Coroutine[Any, Any, dict[str, Any]]:
        """Bring the first window whose title contains title to the front."""

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
        Press a key or a key combination in whatever has the keyboard focus:
        pywinauto's send_keys on Windows, System Events on macOS, else PyAutoGUI.

        Args:
            key: a key name (enter, tab, escape, space, f1, a, ...) or names joined
                by "+", modifiers first (ctrl+a, cmd+shift+z); any letter case.

        Returns:
            success, action "key_press", key; or success False and error.
        """
