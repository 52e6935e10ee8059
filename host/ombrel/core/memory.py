"""The host's conversation store: SQLite, one file under the data directory.

One object plays both parts the gateway asks for: the agent's conversation
store (``start_conversation()``, ``resume_conversation(id)``) and the memory
store (``get_messages(id)``). The database file and its folder are created
on first use. Queries are small and local, so they run on the event loop.
"""

from __future__ import annotations

import sqlite3
import time
import uuid
from pathlib import Path
from typing import Any

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
"""


class ConversationStore:
    """Conversations and their messages; ``current`` is the one the agent
    writes to (None until the first message or ``start_conversation``)."""

    def __init__(self, path: Path) -> None:
        self.path = Path(path)
        self.current: str | None = None
        self._db: sqlite3.Connection | None = None

    def _connection(self) -> sqlite3.Connection:
        if self._db is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._db = sqlite3.connect(self.path)
            self._db.row_factory = sqlite3.Row
            self._db.executescript(SCHEMA)
        return self._db

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None

    # What the gateway calls.

    async def start_conversation(self) -> str:
        conversation_id = "c-" + uuid.uuid4().hex[:12]
        now = time.time()
        with self._connection() as db:
            db.execute("INSERT INTO conversations (id, created, updated) VALUES (?, ?, ?)",
                       (conversation_id, now, now))
        self.current = conversation_id
        return conversation_id

    async def resume_conversation(self, conversation_id: Any) -> None:
        """Switch to a stored conversation; an unknown id changes nothing."""
        if self.exists(conversation_id):
            self.current = conversation_id

    async def get_messages(self, conversation_id: Any) -> list[dict[str, Any]]:
        if not isinstance(conversation_id, str):
            return []
        rows = self._connection().execute(
            "SELECT role, content, created FROM messages WHERE conversation_id = ? ORDER BY id",
            (conversation_id,)).fetchall()
        return [{"role": r["role"], "content": r["content"], "created": r["created"]} for r in rows]

    # What the agent and the page use.

    def exists(self, conversation_id: Any) -> bool:
        if not isinstance(conversation_id, str):
            return False
        row = self._connection().execute(
            "SELECT 1 FROM conversations WHERE id = ?", (conversation_id,)).fetchone()
        return row is not None

    async def add(self, role: str, content: str) -> str:
        """Append a message to the current conversation (started when there
        is none); the first user message names the conversation."""
        if self.current is None or not self.exists(self.current):
            await self.start_conversation()
        now = time.time()
        with self._connection() as db:
            db.execute("INSERT INTO messages (conversation_id, role, content, created) VALUES (?, ?, ?, ?)",
                       (self.current, role, content, now))
            db.execute("UPDATE conversations SET updated = ?, title = CASE WHEN title = '' AND ? = 'user' "
                       "THEN ? ELSE title END WHERE id = ?",
                       (now, role, content[:80], self.current))
        return self.current

    def list(self, limit: int = 50) -> list[dict[str, Any]]:
        """The most recently used conversations first; empty ones are left
        out, except the current one."""
        rows = self._connection().execute(
            "SELECT c.id, c.title, c.created, c.updated, COUNT(m.id) AS count FROM conversations c "
            "LEFT JOIN messages m ON m.conversation_id = c.id GROUP BY c.id "
            "HAVING count > 0 OR c.id = ? ORDER BY c.updated DESC LIMIT ?", (self.current, limit)).fetchall()
        return [dict(row) for row in rows]
