"""
Python skills for Ombrel.

A Python skill is one Python source file that defines the coroutine
function

    async def run(ctx: OmbrelContext, params: dict) -> dict

It may use loops, conditionals, LLM calls, browser automation, file
input and output and any Python library through the OmbrelContext it
is given. PythonSkillRunner loads the file and runs it; the result is
a PythonSkillResult.
"""

from collections.abc import Coroutine
from dataclasses import dataclass, field
import logging
import pathlib
from typing import Any


SKILLS_DIR: pathlib.Path

STATE_DIR: pathlib.Path

OUTPUT_DIR: pathlib.Path

logger: logging.Logger = ...

@dataclass
class PythonSkillResult:
    """Result of a Python skill execution."""

    success: bool
    skill_name: str
    result: Any = None
    error: str | None = None
    logs: list[str] = field(default_factory=list)
    duration: float = 0.0
    output_files: list[str] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        """
        The result as a plain dictionary: "success", "skill_name", "result", "error", "logs", "duration_seconds" (the duration rounded to 2 decimals) and "output_files".
        """

class OmbrelContext:
    """Everything a Python skill needs to interact with the world"""

    def __init__(self, skill_name: str, llm_client: Any = None, llm_model: str = 'gpt-4.1-mini') -> None:
        """
        A context for one run of a skill.

        Creates the state directory and the skill's output directory.

        Args:
            skill_name: The skill's name: its state file and output directory.
            llm_client: An OpenAI-compatible client for llm_ask; by default one
                is made on first use.
            llm_model: The model llm_ask names.
        """

    def log(self, message: str) -> None:
        """
        Log a message (visible in skill execution results).

        Args:
            message: The text; the entry is "[HH:MM:SS] message".
        """

    def get_logs(self) -> list[str]:
        """
        Get all log entries.

        Returns:
            A copy of the entries, oldest first.
        """

    def save_state(self, key: str, value: Any) -> None:
        """
        Save a value to persistent state (survives restarts).

        State is stored per skill in ~/.ombrel/skill_state/{skill_name}.json

        Args:
            key: The name to keep the value under.
            value: Any JSON-serialisable value (others are kept as their str()).
        """

    def load_state(self, key: str, default: Any = None) -> Any:
        """
        Load a value from persistent state.

        Args:
            key: The name the value was saved under.
            default: What to return when there is none.

        Returns:
            The saved value, or default.
        """

    def clear_state(self) -> None:
        """Clear all persistent state for this skill."""

    def write_file(self, path: str, content: str) -> str:
        """
        Write content to a file. Creates directories if needed.

        Args:
            path: A relative path is relative to the skill's output directory.
            content: The text, written as UTF-8.

        Returns:
            The absolute path.
        """

    def read_file(self, path: str) -> str:
        """
        Read a file and return its content.

        Args:
            path: A relative path is relative to the skill's output directory.

        Returns:
            The text, read as UTF-8.
        """

    def shell(self, command: str, timeout: float = 30) -> Coroutine[Any, Any, str]:
        """
        Run a shell command and return the output.

        Args:
            command: The command, run by the system shell.
            timeout: Seconds before the command is killed.

        Returns:
            Its standard output and, after a line break, its standard error, both
            decoded as UTF-8 and stripped together (the exit status is not looked
            at); "[TIMEOUT] Command timed out after <timeout>s" when the limit
            expired, "[ERROR] <error>" when the command could not be run.
        """

    def browser_open(self) -> Coroutine[Any, Any, Any]:
        """
        Open a browser and return the Playwright page object.

        The raw Playwright page is returned for full flexibility; the browser is
        headless. Later operations reuse it until browser_close(). Cookies and
        storage saved by browser_save_session() are loaded into it.

        Returns:
            The Playwright page.
        """

    def browser_navigate(self, url: str, wait_until: str = 'domcontentloaded') -> Coroutine[Any, Any, None]:
        """
        Navigate to a URL.

        Args:
            url: The address to load.
            wait_until: The load state to wait for ("domcontentloaded", "load",
                "networkidle" or "commit"), for at most 30 seconds; a further second
                passes before the call returns.
        """

    def browser_click(self, selector: str, timeout: float = 5000) -> Coroutine[Any, Any, None]:
        """
        Click an element by CSS selector.

        Args:
            selector: CSS selector of the element.
            timeout: Milliseconds to wait for the element.
        """

    def browser_type(self, selector: str, text: str, timeout: float = 5000) -> Coroutine[Any, Any, None]:
        """
        Type text into an element.

        The element's value is replaced by `text`; the text is not logged.

        Args:
            selector: CSS selector of an input, text area or editable element.
            text: The text to enter.
            timeout: Milliseconds to wait for the element.
        """

    def browser_evaluate(self, js: str) -> Coroutine[Any, Any, Any]:
        """
        Execute JavaScript in the browser and return the result.

        Args:
            js: A JavaScript expression or function.

        Returns:
            The script's value, converted to Python.
        """

    def browser_get_text(self) -> Coroutine[Any, Any, str]:
        """
        Get all visible text from the current page.

        Returns:
            The page body's rendered text.
        """

    def browser_wait(self, selector: str, timeout: float = 10000) -> Coroutine[Any, Any, None]:
        """
        Wait for an element to appear.

        Args:
            selector: CSS selector of the element.
            timeout: Milliseconds to wait before failing.
        """

    def browser_screenshot(self, name: str = 'screenshot') -> Coroutine[Any, Any, str]:
        """
        Take a screenshot and save it. Returns the file path.

        Args:
            name: File name without the ".png" suffix, in the skill's output
                directory.

        Returns:
            The path of the PNG file.
        """

    def browser_upload(self, selector: str, file_path: str) -> Coroutine[Any, Any, None]:
        """
        Upload a file to a file input element.

        Args:
            selector: CSS selector of the file input.
            file_path: The file, as given (not taken from the output directory).
        """

    def browser_save_session(self) -> Coroutine[Any, Any, None]:
        """
        Save the current browser session (cookies, storage) for reuse.

        Every skill that opens the browser later starts with this session
        (~/.ombrel/browser_session/state.json). Nothing happens when no browser is
        open.
        """

    def browser_close(self) -> Coroutine[Any, Any, None]:
        """
        Close the browser.

        The page, its context, the browser and the Playwright driver are closed in
        that order; the next browser operation opens a new one.
        """

    def llm_ask(self, prompt: str, system: str = '') -> Coroutine[Any, Any, str]:
        """
        Ask the LLM a question and get a text response.

        Args:
            prompt: The user message or question.
            system: Optional system prompt for context.

        Returns:
            The LLM's text response.
        """

    def llm_json(self, prompt: str, system: str = '') -> Coroutine[Any, Any, dict[str, Any] | None]:
        """
        Ask the LLM and parse the response as JSON.

        The prompt should instruct the LLM to respond in JSON format. A reply that
        wraps the JSON in a fenced code block is unwrapped first.

        Args:
            prompt: The user message or question.
            system: Optional system prompt for context.

        Returns:
            The parsed JSON object (None for a JSON null), or {"raw_response":
            <reply>, "parse_error": True} when the reply is not valid JSON. Any other
            JSON value raises TypeError.
        """

    def create_document(self, title: str, content: str, format: str = 'txt', filename: str = '') -> str:
        """
        Create a document file (txt, md, or docx).

        Args:
            title: The document's title.
            content: Its text; for docx, blocks separated by an empty line become
                paragraphs.
            format: "txt", "md" or "docx" (a .txt file when python-docx is not
                installed).
            filename: File name in the skill's output directory; by default the
                title with unsafe characters replaced, plus "." and the format.

        Returns:
            The file path.
        """

    def cleanup(self) -> Coroutine[Any, Any, None]:
        """Clean up resources (called automatically after skill execution)."""

class PythonSkillRunner:
    """Loads and executes Python-based skills."""

    def __init__(self, llm_model: str = 'gpt-4.1-mini', *, time_limit: float | None = None, output_limit: int | None = None) -> None:
        """
        A runner of Python skills.

        Args:
            llm_model: The model that the skills' contexts ask.
            time_limit: Seconds a run may take (None: no limit); a run past it is
                cancelled and comes back as a failed result that says so.
            output_limit: Characters that each ctx.shell answer and each run's log
                keep (None: all); what is cut is read and dropped, and one last
                line says how many characters were cut.
        """

    def run(self, skill_name: str, params: dict[str, Any], script_path: str | None = None, *, time_limit: float | None = None) -> Coroutine[Any, Any, PythonSkillResult]:
        """
        Load a skill and run its ``run(ctx, params)`` coroutine.

        Failures of the skill (a missing or malformed file, an error it raises, a
        result that is not a dict) come back as a failed result, not raised.

        Args:
            skill_name: The skill's name: its file in SKILLS_DIR, its state and its
                output directory.
            params: The parameters handed to the skill.
            script_path: The skill's file, instead of SKILLS_DIR/<skill_name>.py.
            time_limit: Seconds this run may take, instead of the runner's.

        Returns:
            A PythonSkillResult: success, skill_name, result (the skill's dict),
            error (text or None), logs, duration (seconds), output_files.
        """
