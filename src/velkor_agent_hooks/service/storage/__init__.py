"""The storage interface behind the service, and where a storage is opened.

Every method receives checked input. Rows are plain dicts; storage hands out copies, so
callers may keep or change what they get. One storage object serves one project: every
table is keyed by project, and no other project's rows are ever visible through it.

``sql`` holds what both databases share; ``sqlite`` and ``postgres`` say what differs;
``migrations`` numbers each database's schema versions.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any, Protocol


class Storage(Protocol):
    """What the service asks of a storage; ``sql.SQLStorage`` implements it for both
    databases, and ``tests/test_storage.py`` is the suite every storage passes."""

    kind: str
    schema_found: int  # the schema version the database had when opened

    # Memories
    def add_memories(
        self, rows: list[dict[str, Any]], vectors: list[list[float]] | None = None, model: str = ""
    ) -> None:
        """Stores memory rows (``sql.WRITE_COLUMNS``) atomically, with a vector each made by
        ``model`` when given (refused if the project records another model or dimension)."""

    # Vectors (``vectors.VectorStorage``)
    def vector_support(self) -> str | None:
        """None when vectors can be searched here, else why not."""

    def check_embedder(self, model: str) -> None: ...

    def embedding_model(self, kind: str = "memories") -> tuple[str, int] | None: ...

    def nearest_memories(
        self,
        model: str,
        vector: list[float],
        limit: int,
        scope: tuple[str | None, str | None, str],
    ) -> list[tuple[int, float]]: ...

    def memories_to_embed(self, after: int, batch: int) -> list[tuple[int, str]]: ...

    def add_memory_vectors(self, model: str, vectors: dict[int, list[float]]) -> int: ...

    def drop_memory_vectors(self) -> int: ...

    def memory_source(self, session_id: str | None, user_id: str | None, now: str) -> Any:
        """The ranking's look-ups over one scope's live memories (``memory.recall.Source``)."""

    def memories_by_seq(self, seqs: list[int], now: str) -> dict[int, dict[str, Any]]: ...

    def recent_texts(self, session_id: str | None, now: str) -> Iterator[str]:
        """Live texts, newest first."""

    def list_memories(
        self, limit: int | None = None, offset: int = 0, now: str | None = None
    ) -> list[dict[str, Any]]:
        """Oldest first; ``limit`` None for all; live ones only when ``now`` is given."""

    def delete_memories(
        self,
        memory_id: str | None = None,
        session_id: str | None = None,
        user_id: str | None = None,
        expired_at: str | None = None,
        batch: int | None = None,
    ) -> int: ...

    # Audit and approvals
    def append_events(self, build: Callable[[Any], list[dict[str, Any]]]) -> list[Any]: ...

    def list_events(
        self, limit: int | None = None, offset: int = 0, **filters: str | None
    ) -> list[dict[str, Any]]:
        """Oldest first; ``limit`` None for all."""

    def iter_events(self, batch: int = 1000) -> Iterator[Any]: ...

    def list_approvals(
        self, status: str | None, limit: int | None = None, offset: int = 0
    ) -> list[dict[str, Any]]: ...

    def get_approval(self, approval_id: str) -> dict[str, Any] | None: ...

    def counts(self) -> tuple[int, int]:
        """(memories, audit events)."""

    # Keyed store
    def run_items(self, ops: list[tuple[str, dict[str, Any]]], now: str) -> list[Any]:
        """Runs keyed-store operations in order in one transaction (``sql.SQLStorage``)."""

    def purge_items(self, now: str, batch: int | None = None) -> int:
        """Erases the items expired at ``now``; how many."""

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
