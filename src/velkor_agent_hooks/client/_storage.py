"""The storage interface behind the embedded backend and the server, and its in-memory form.

Every method receives validated input. Rows are plain dicts; storage hands out copies, so
callers may keep or change what they get. One storage object serves one project.
"""

from __future__ import annotations

import copy
import os
import re
import threading
from collections.abc import Iterator
from typing import Any, Protocol

_WORD = re.compile(r"\w+")


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


def words(text: str) -> set[str]:
    return set(_WORD.findall(text.lower()))


def value_text(value: Any) -> str:
    """The words a stored value is found by: its strings, at any depth."""
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        return " ".join(value_text(v) for v in value.values())
    if isinstance(value, list):
        return " ".join(value_text(v) for v in value)
    return ""


def _matches(value: dict[str, Any], filter: dict[str, Any] | None) -> bool:
    return all(k in value and value[k] == v for k, v in (filter or {}).items())


def matches_pattern(namespace: tuple[str, ...], pattern: tuple[str, ...], *, suffix: bool) -> bool:
    if len(pattern) > len(namespace):
        return False
    part = namespace[len(namespace) - len(pattern) :] if suffix else namespace[: len(pattern)]
    return all(p == "*" or p == n for p, n in zip(pattern, part, strict=True))


def select_namespaces(
    namespaces: set[tuple[str, ...]],
    prefix: tuple[str, ...] | None,
    suffix: tuple[str, ...] | None,
    max_depth: int | None,
    limit: int,
    offset: int,
) -> list[tuple[str, ...]]:
    chosen = {
        ns[:max_depth] if max_depth is not None else ns
        for ns in namespaces
        if (prefix is None or matches_pattern(ns, prefix, suffix=False))
        and (suffix is None or matches_pattern(ns, suffix, suffix=True))
    }
    return sorted(chosen)[offset : offset + limit]


def _page(rows: list[Any], limit: int | None, offset: int) -> list[Any]:
    return rows[offset:] if limit is None else rows[offset : offset + limit]


class MemoryStorage:
    """Everything in process memory, behind one lock; gone with the object."""

    kind = "memory"

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._memories: list[dict[str, Any]] = []
        self._events: list[dict[str, Any]] = []
        self._items: dict[tuple[tuple[str, ...], str], dict[str, Any]] = {}

    def add_memories(self, rows: list[dict[str, Any]]) -> None:
        with self._lock:
            self._memories.extend(dict(row) for row in rows)

    def ranked_texts(self, query: str, session_id: str | None) -> Iterator[str]:
        with self._lock:
            rows = [
                r for r in self._memories if session_id is None or r["session_id"] == session_id
            ]
        texts = [row["text"] for row in reversed(rows)]
        wanted = words(query)
        if wanted:
            scored = [(len(wanted & words(t)), t) for t in texts]
            # Stable: ties keep newest first.
            scored.sort(key=lambda pair: pair[0], reverse=True)
            texts = [t for score, t in scored if score > 0]
        return iter(texts)

    def add_event(self, row: dict[str, Any]) -> None:
        with self._lock:
            self._events.append(copy.deepcopy(row))

    def list_memories(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(row) for row in _page(self._memories, limit, offset)]

    def list_events(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._lock:
            return copy.deepcopy(_page(self._events, limit, offset))

    def counts(self) -> tuple[int, int]:
        with self._lock:
            return len(self._memories), len(self._events)

    def put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any], now: str
    ) -> dict[str, Any]:
        with self._lock:
            old = self._items.pop((namespace, key), None)
            item = {
                "namespace": namespace,
                "key": key,
                "value": copy.deepcopy(value),
                "created_at": old["created_at"] if old else now,
                "updated_at": now,
            }
            # Re-inserted last: iteration order is least recently written first.
            self._items[(namespace, key)] = item
            return copy.deepcopy(item)

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        with self._lock:
            item = self._items.get((namespace, key))
            return copy.deepcopy(item) if item else None

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        with self._lock:
            return self._items.pop((namespace, key), None) is not None

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        with self._lock:
            items = [
                copy.deepcopy(item)
                for item in reversed(self._items.values())
                if item["namespace"][: len(prefix)] == prefix
                and all(
                    k in item["value"] and item["value"][k] == v for k, v in (filter or {}).items()
                )
            ]
        wanted = words(query or "")
        if wanted:
            scored = [(len(wanted & words(value_text(i["value"]))), i) for i in items]
            scored.sort(key=lambda pair: pair[0], reverse=True)
            items = [{**i, "score": float(s)} for s, i in scored if s > 0]
        else:
            items = [{**i, "score": None} for i in items]
        return items[offset : offset + limit]

    def list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]:
        with self._lock:
            namespaces = {ns for ns, _ in self._items}
        return select_namespaces(namespaces, prefix, suffix, max_depth, limit, offset)

    def close(self) -> None:
        pass


MEMORY = ":memory:"


def default_server_db() -> str:
    """Where ``serve`` keeps its data unless told otherwise."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "share"
    )
    return os.path.join(base, "velkor", "velkor.db")


def open_storage(path: str | None, project: str) -> Storage:
    """The storage that ``path`` names: None or ":memory:" for a private in-memory one."""
    if path is None or path == MEMORY:
        return MemoryStorage()
    raise NotImplementedError("durable storage is not available yet")
