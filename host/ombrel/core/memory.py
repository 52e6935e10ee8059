"""The host's conversation store: SQLite, one file under the data directory.

One object plays both parts the gateway asks for: the agent's conversation
store (``start_conversation()``, ``resume_conversation(id)``) and the memory
store (``get_messages(id)``). The database file and its folder are created
on first use. Queries are small and local, so they run on the event loop.

Each WebSocket connection has a current conversation of its own (see
``ombrel.gateway.connections``): the page that started or resumed a
conversation is the one whose messages go into it, whatever other pages
do. Calls from outside any connection share one more.

A turn is kept as the page was shown it: the user's message, then the
turn's events (thinking, tool calls and results, errors, the answer's text)
in their order, so that a resumed conversation looks as it did live.
Pictures are kept in a table of their own and given to the page as URLs.
A conversation is written when its first message comes: a new one that
stays empty leaves nothing behind.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
import sqlite3
import time
import uuid
from collections import Counter
from pathlib import Path
from typing import Any, Callable
from weakref import WeakKeyDictionary

from ombrel.gateway import connections

SCHEMA = """
CREATE TABLE IF NOT EXISTS conversations (
    id TEXT PRIMARY KEY,
    title TEXT NOT NULL DEFAULT '',
    created REAL NOT NULL,
    updated REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS messages (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    conversation_id TEXT NOT NULL REFERENCES conversations(id),
    role TEXT NOT NULL,
    content TEXT NOT NULL,
    created REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_by_conversation ON messages (conversation_id, id);
CREATE TABLE IF NOT EXISTS pictures (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    conversation_id TEXT NOT NULL REFERENCES conversations(id),
    media_type TEXT NOT NULL,
    data BLOB NOT NULL
);
"""

#: How the store names conversations; a resumed id of this form that is not
#: stored yet names a new conversation (one a page started, not yet written).
CONVERSATION_ID = re.compile(r"c-[0-9a-f]{12}")
MAX_TITLE = 80
PICTURE_TYPES = {b"\x89PNG": "image/png", b"\xff\xd8\xff": "image/jpeg", b"GIF8": "image/gif",
                 b"RIFF": "image/webp"}


class ConversationBusy(Exception):
    """A turn is being written into the conversation."""


class ConversationStore:
    """Conversations and their messages; ``current`` is the one the agent
    writes to for the connection at hand (None until its first message or
    ``start_conversation``).

    ``on_change(event)`` is called with {"type": "conversations_changed",
    "conversation_id", ...} whenever the list of conversations changes (a
    conversation written, a turn stored, a rename, a delete with "deleted":
    True); the reference
    host broadcasts it so that every page refreshes its list.
    ``picture_url`` makes the URL of a stored picture from its number."""

    def __init__(self, path: Path, on_change: Callable[[dict[str, Any]], None] | None = None,
                 picture_url: str = "/api/pictures/{}") -> None:
        self.path = Path(path)
        self.on_change = on_change
        self.picture_url = picture_url
        self._db: sqlite3.Connection | None = None
        self._current: WeakKeyDictionary[connections.Connection, str] = WeakKeyDictionary()
        self._outside: str | None = None  # for calls from no connection
        self._writing: Counter[str] = Counter()  # conversations with a turn being stored

    def _connection(self) -> sqlite3.Connection:
        if self._db is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._db = sqlite3.connect(self.path)
            self._db.row_factory = sqlite3.Row
            self._db.executescript(SCHEMA)
            columns = {row["name"] for row in self._db.execute("PRAGMA table_info(messages)")}
            if "data" not in columns:  # a database of an earlier version
                self._db.execute("ALTER TABLE messages ADD COLUMN data TEXT")
        return self._db

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None

    @property
    def current(self) -> str | None:
        connection = connections.current()
        return self._outside if connection is None else self._current.get(connection)

    @current.setter
    def current(self, conversation_id: str | None) -> None:
        connection = connections.current()
        if connection is None:
            self._outside = conversation_id
        elif conversation_id is None:
            self._current.pop(connection, None)
        else:
            self._current[connection] = conversation_id

    # What the gateway calls.

    async def start_conversation(self) -> str:
        self.current = "c-" + uuid.uuid4().hex[:12]
        return self.current

    async def resume_conversation(self, conversation_id: Any) -> None:
        """Switch to a stored conversation, or to a new one named by a page
        that started it before a restart; any other id changes nothing."""
        if self.exists(conversation_id) or (isinstance(conversation_id, str)
                                            and CONVERSATION_ID.fullmatch(conversation_id)):
            self.current = conversation_id

    async def get_messages(self, conversation_id: Any) -> list[dict[str, Any]]:
        """The conversation's messages: "role", "content", "created", and for
        a turn's events "event" (the event as the page was sent it)."""
        if not isinstance(conversation_id, str):
            return []
        rows = self._connection().execute(
            "SELECT role, content, created, data FROM messages WHERE conversation_id = ? ORDER BY id",
            (conversation_id,)).fetchall()
        messages = []
        for row in rows:
            message = {"role": row["role"], "content": row["content"], "created": row["created"]}
            if row["data"]:
                message.update(json.loads(row["data"]))
            messages.append(message)
        return messages

    # What the agents and the page use.

    def exists(self, conversation_id: Any) -> bool:
        if not isinstance(conversation_id, str):
            return False
        row = self._connection().execute(
            "SELECT 1 FROM conversations WHERE id = ?", (conversation_id,)).fetchone()
        return row is not None

    async def add(self, role: str, content: str) -> str:
        """Append a message to the current conversation (started when there
        is none); the first user message names the conversation."""
        return self.append(self._target(), role, content)

    def _target(self) -> str:
        if self.current is None:
            self.current = "c-" + uuid.uuid4().hex[:12]
        return self.current

    def append(self, conversation_id: str, role: str, content: str,
               data: dict[str, Any] | None = None) -> str:
        """Append a message to ``conversation_id``, writing the conversation
        first when it is new."""
        now = time.time()
        with self._connection() as db:
            created = db.execute("INSERT OR IGNORE INTO conversations (id, created, updated) VALUES (?, ?, ?)",
                                 (conversation_id, now, now)).rowcount
            db.execute("INSERT INTO messages (conversation_id, role, content, created, data) "
                       "VALUES (?, ?, ?, ?, ?)",
                       (conversation_id, role, content, now,
                        json.dumps(data, ensure_ascii=False, default=str) if data else None))
            db.execute("UPDATE conversations SET updated = ?, title = CASE WHEN title = '' AND ? = 'user' "
                       "THEN ? ELSE title END WHERE id = ?",
                       (now, role, _title(content), conversation_id))
        if created:
            self._changed(conversation_id)
        return conversation_id

    def add_picture(self, conversation_id: str, data_base64: str) -> str | None:
        """Keep a picture of the conversation; its URL, or None for what is
        not a picture."""
        try:
            data = base64.b64decode(data_base64, validate=True)
        except (binascii.Error, ValueError, TypeError):
            return None
        media_type = next((t for magic, t in PICTURE_TYPES.items() if data.startswith(magic)), None)
        if media_type is None:
            return None
        now = time.time()
        with self._connection() as db:
            db.execute("INSERT OR IGNORE INTO conversations (id, created, updated) VALUES (?, ?, ?)",
                       (conversation_id, now, now))
            number = db.execute("INSERT INTO pictures (conversation_id, media_type, data) VALUES (?, ?, ?)",
                                (conversation_id, media_type, data)).lastrowid
        return self.picture_url.format(number)

    def picture(self, number: int) -> tuple[bytes, str] | None:
        """A stored picture and its media type."""
        row = self._connection().execute(
            "SELECT data, media_type FROM pictures WHERE id = ?", (number,)).fetchone()
        return (row["data"], row["media_type"]) if row else None

    def transcript(self, text: str, mode: str = "standard") -> Transcript:
        """The recorder of a turn that begins with the user's ``text``, in
        the current conversation."""
        return Transcript(self, self._target(), text, mode)

    def rename(self, conversation_id: str, title: str) -> bool:
        """Give a stored conversation a title of its own; False when there
        is no such conversation."""
        title = _title(title)
        with self._connection() as db:
            changed = db.execute("UPDATE conversations SET title = ? WHERE id = ?",
                                 (title, conversation_id)).rowcount
        if changed:
            self._changed(conversation_id, title=title)
        return bool(changed)

    def delete(self, conversation_id: str) -> bool:
        """Delete a conversation with its messages and pictures; False when
        there is no such conversation, ConversationBusy while a turn is
        being stored in it. The connections that had it as their current
        one have none afterwards."""
        if self._writing[conversation_id]:
            raise ConversationBusy(conversation_id)
        with self._connection() as db:
            db.execute("DELETE FROM messages WHERE conversation_id = ?", (conversation_id,))
            db.execute("DELETE FROM pictures WHERE conversation_id = ?", (conversation_id,))
            deleted = db.execute("DELETE FROM conversations WHERE id = ?", (conversation_id,)).rowcount
        for connection, current in list(self._current.items()):
            if current == conversation_id:
                self._current.pop(connection, None)
        if self._outside == conversation_id:
            self._outside = None
        if deleted:
            self._changed(conversation_id, deleted=True)
        return bool(deleted)

    def list(self, limit: int = 50) -> list[dict[str, Any]]:
        """The conversations with messages, the most recently used first;
        "busy" while a turn is being written into one."""
        rows = self._connection().execute(
            "SELECT c.id, c.title, c.created, c.updated, COUNT(m.id) AS count FROM conversations c "
            "JOIN messages m ON m.conversation_id = c.id GROUP BY c.id "
            "ORDER BY c.updated DESC LIMIT ?", (limit,)).fetchall()
        return [{**row, "busy": bool(self._writing.get(row["id"]))} for row in rows]

    def _changed(self, conversation_id: str, **details: Any) -> None:
        if self.on_change is not None:
            self.on_change({"type": "conversations_changed", "conversation_id": conversation_id, **details})


class Transcript:
    """Records one turn into a conversation as the page is shown it: the
    user's message when made, then each event handed to ``record()`` (the
    event's dictionary, as the page receives it); pieces of text are joined
    into one answer entry up to the next other event. Pictures become URLs.
    A "done" event or ``close()`` ends it. While it is open, the
    conversation cannot be deleted."""

    SKIPPED = {"done", "mode", "tool_approval_needed"}  # transient, or said by the others

    def __init__(self, store: ConversationStore, conversation_id: str, text: str, mode: str) -> None:
        self.store = store
        self.conversation_id = conversation_id
        self._text: list[str] = []
        self._closed = False
        store.append(conversation_id, "user", text, {"mode": mode} if mode != "standard" else None)
        store._writing[conversation_id] += 1

    def record(self, event: dict[str, Any]) -> None:
        kind = event.get("type")
        if kind == "done":  # the page takes the turn as over: so does the record
            self.close()
        if self._closed or kind in self.SKIPPED:
            return
        if kind == "text":
            self._text.append(str(event.get("content") or ""))
            return
        self._flush()
        event = dict(event)
        if event.get("image_base64"):
            url = self.store.add_picture(self.conversation_id, event.pop("image_base64"))
            if url:
                event["image_url"] = url
        content = event.get("message") or event.get("content") or ""
        self.store.append(self.conversation_id, kind or "event",
                          content if isinstance(content, str) else "", {"event": event})

    def close(self) -> None:
        if self._closed:
            return
        self._flush()
        self._closed = True
        store = self.store
        store._writing[self.conversation_id] -= 1
        if store._writing[self.conversation_id] <= 0:
            del store._writing[self.conversation_id]
        store._changed(self.conversation_id)

    def _flush(self) -> None:
        text = "".join(self._text)
        self._text.clear()
        if text:
            self.store.append(self.conversation_id, "assistant", text)

    def __enter__(self) -> Transcript:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _title(text: str) -> str:
    return " ".join(text.split())[:MAX_TITLE]
