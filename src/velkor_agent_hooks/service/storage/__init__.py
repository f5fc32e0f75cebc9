"""The storage interface behind the service, and where a storage is opened.

Every method receives checked input. Rows are plain dicts; storage hands out copies, so
callers may keep or change what they get. One storage object serves one project: every
table is keyed by project, and no other project's rows are ever visible through it.

``sql`` holds what both databases share; ``sqlite`` and ``postgres`` say what differs;
``migrations`` numbers each database's schema versions.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, Protocol


class Storage(Protocol):
    kind: str

    def add_memories(self, rows: list[dict[str, Any]]) -> None:
        """Stores memory rows (id, session_id, role, text, user_id, timestamp) atomically."""

    def ranked_texts(self, query: str, session_id: str | None) -> Iterator[str]:
        """Texts relevant to ``query``, best first and newest first on ties; every text,
        newest first, when the query has no words. Only ``session_id``'s when given."""

    def add_event(self, row: dict[str, Any]) -> None: ...

    def list_memories(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        """Oldest first; ``limit`` None for all."""

    def list_events(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        """Oldest first; ``limit`` None for all."""

    def counts(self) -> tuple[int, int]:
        """(memories, audit events)."""

    def put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any], now: str
    ) -> dict[str, Any]: ...

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None: ...

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool: ...

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]: ...

    def list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]: ...

    def close(self) -> None: ...


MEMORY = ":memory:"


def default_server_db() -> str:
    """Where ``serve`` keeps its data unless told otherwise."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "share"
    )
    return os.path.join(base, "velkor", "velkor.db")


def open_storage(path: str | None, project: str) -> Storage:
    """The storage that ``path`` names: None or ":memory:" for a private in-memory SQLite
    database, a ``postgresql://`` (or ``postgres://``) URL for PostgreSQL, otherwise a
    SQLite file, created with its directory when missing."""
    if path is not None and path.startswith(("postgresql://", "postgres://")):
        from .postgres import PostgresStorage

        return PostgresStorage(path, project)
    from .sqlite import SQLiteStorage

    return SQLiteStorage(None if path in (None, MEMORY) else path, project)
