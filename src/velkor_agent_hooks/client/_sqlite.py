"""SQLite storage (standard library ``sqlite3``): a private in-memory database or a file.

A file is opened in WAL mode with ``synchronous=FULL``: every acknowledged write is one
committed transaction, and readers never wait for writers. Each thread borrows a connection
from a small pool; other processes may open the same file at the same time (writers queue on
the busy timeout). The in-memory database lives in one connection, shared under a lock, since
each connection to ":memory:" would be a database of its own.

Relevance is FTS5's BM25 over the memory texts (``memories_text``) and over the strings of
stored values (``items_text``). Both indexes also hold a token standing for the row's project
(and session), so a query is narrowed by the index itself, not by scanning other rows.
"""

from __future__ import annotations

import os
import sqlite3
import threading
import time
import weakref
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager, nullcontext
from typing import Any

from ._storage import (
    CANDIDATES,
    COMMON_WORD,
    dump_json,
    item_row,
    literal_prefix,
    load_json,
    namespace_key,
    namespace_of,
    prefix_range,
    pushable_filters,
    query_terms,
    ranked_scores,
    scope_token,
    select_namespaces,
    take_page,
    value_text,
)

SCHEMA_VERSION = 1
BUSY_TIMEOUT = 30.0
MAX_IDLE = 8

_SCHEMA = """
CREATE TABLE IF NOT EXISTS memories (
    seq INTEGER PRIMARY KEY,
    project TEXT NOT NULL,
    id TEXT NOT NULL,
    session_id TEXT NOT NULL,
    role TEXT NOT NULL,
    text TEXT NOT NULL,
    user_id TEXT NOT NULL,
    timestamp TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS memories_by_project ON memories (project, seq);
CREATE INDEX IF NOT EXISTS memories_by_session ON memories (project, session_id, seq);
CREATE VIRTUAL TABLE IF NOT EXISTS memories_text USING fts5(
    body, scope, content='', tokenize='unicode61 remove_diacritics 2'
);
CREATE TABLE IF NOT EXISTS events (
    seq INTEGER PRIMARY KEY,
    project TEXT NOT NULL,
    body TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS events_by_project ON events (project, seq);
CREATE TABLE IF NOT EXISTS items (
    seq INTEGER PRIMARY KEY,
    project TEXT NOT NULL,
    namespace TEXT NOT NULL,
    key TEXT NOT NULL,
    value TEXT NOT NULL,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL,
    UNIQUE (project, namespace, key)
);
CREATE INDEX IF NOT EXISTS items_by_project ON items (project, seq);
CREATE VIRTUAL TABLE IF NOT EXISTS items_text USING fts5(
    body, scope, tokenize='unicode61 remove_diacritics 2'
);
"""

_MEMORY_COLUMNS = ("id", "session_id", "role", "text", "user_id", "timestamp")


def _text(data: bytes) -> str:
    # Whatever another program wrote into the file, reading it never raises.
    return data.decode("utf-8", "replace")


def _phrase(term: str) -> str:
    # A quoted FTS5 string is only ever a phrase: user text never becomes query syntax.
    return '"' + term.replace('"', '""') + '"'


def _scored(
    conn: sqlite3.Connection,
    table: str,
    term: str,
    found: list[tuple[int]],
    narrow: str | None = None,
) -> list[tuple[int, float]]:
    """BM25 of ``term`` for the rows found holding it (positive: higher is better).

    BM25 counts every row holding the word first, so a word found in ``CANDIDATES`` rows or
    more is only taken as matched: so common a word adds next to nothing to BM25 anyway.
    """
    rows = [row for (row,) in found]
    if len(rows) >= CANDIDATES:
        return [(row, COMMON_WORD) for row in rows]
    if not rows:
        return []
    wanted = set(rows)
    # ``narrow`` (a session's scope) keeps the rows of other sessions in the range out of
    # the scoring; the scope column weighs nothing, so the scores are the same. A project's
    # scope is left out: it usually holds every row, and matching it only costs.
    match = f"body : {_phrase(term)}" if narrow is None else f"{narrow} AND body : {_phrase(term)}"
    scores = conn.execute(
        f"SELECT rowid, -bm25({table}, 1.0, 0.0) FROM {table}"
        f" WHERE {table} MATCH ? AND rowid BETWEEN ? AND ?",
        (match, rows[-1], rows[0]),
    )
    return [(row, score) for row, score in scores if row in wanted]


_WRITER_LOCKS: dict[str, threading.Lock] = {}
_WRITER_LOCKS_GUARD = threading.Lock()


def _writer_lock(path: str | None) -> AbstractContextManager[object]:
    """One lock per database file in this process.

    Writers of one process queue here in turn; left to SQLite's busy handler, a writer that
    finds the file locked sleeps up to 100 ms at a time, which is what the tail latency of
    concurrent writes was made of. Other processes still meet the busy handler.
    """
    if path is None:
        return nullcontext()  # the one in-memory connection is behind the pool's lock already
    with _WRITER_LOCKS_GUARD:
        return _WRITER_LOCKS.setdefault(path, threading.Lock())


class _Pool:
    """Connections for one database: a pool for a file, one locked connection in memory."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self._lock = threading.Lock()
        self._idle: list[sqlite3.Connection] = []
        self._closed = False
        self._shared = self._connect() if path is None else None

    def _connect(self) -> sqlite3.Connection:
        conn = sqlite3.connect(
            self.path or ":memory:",
            timeout=BUSY_TIMEOUT,
            isolation_level=None,
            check_same_thread=False,
        )
        conn.text_factory = _text
        if self.path is not None:
            conn.execute("PRAGMA synchronous=FULL")
        return conn

    @contextmanager
    def borrow(self) -> Iterator[sqlite3.Connection]:
        if self._shared is not None:
            with self._lock:
                self._check_open()
                yield self._shared
            return
        with self._lock:
            self._check_open()
            conn = self._idle.pop() if self._idle else None
        if conn is None:
            conn = self._connect()
        try:
            yield conn
        finally:
            if conn.in_transaction:
                conn.rollback()
            with self._lock:
                keep = not self._closed and len(self._idle) < MAX_IDLE
                if keep:
                    self._idle.append(conn)
            if not keep:
                conn.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the storage is closed")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
            if self._shared is not None:
                idle.append(self._shared)
        for conn in idle:
            conn.close()


class SQLiteStorage:
    """One project's memories, audit and keyed store in a SQLite database."""

    def __init__(self, path: str | None, project: str) -> None:
        self.kind = "sqlite-memory" if path is None else "sqlite"
        self.project = project
        if path is not None:
            path = os.path.abspath(path)
            os.makedirs(os.path.dirname(path), exist_ok=True)
        self.path = path
        self._scope = scope_token("p", project)
        self._db = _Pool(path)
        # A client dropped without close() must not leave connections for the collector.
        weakref.finalize(self, self._db.close)
        try:
            self._create_schema()
        except BaseException:
            self._db.close()
            raise

    def _create_schema(self) -> None:
        deadline = time.monotonic() + BUSY_TIMEOUT
        with self._db.borrow() as conn:
            while True:
                try:
                    if self.path is not None:
                        conn.execute("PRAGMA journal_mode=WAL")
                    conn.execute("BEGIN IMMEDIATE")
                    if conn.execute("PRAGMA user_version").fetchone()[0] < SCHEMA_VERSION:
                        for statement in _SCHEMA.split(";"):
                            if statement.strip():
                                conn.execute(statement)
                        conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
                    conn.execute("COMMIT")
                    return
                except sqlite3.OperationalError as exc:
                    # Several processes opening a new file at once: one creates, others wait.
                    if conn.in_transaction:
                        conn.rollback()
                    if "locked" not in str(exc) or time.monotonic() > deadline:
                        raise
                    time.sleep(0.01)

    @contextmanager
    def _write(self) -> Iterator[sqlite3.Connection]:
        with _writer_lock(self.path), self._db.borrow() as conn:
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn
            except BaseException:
                if conn.in_transaction:
                    conn.rollback()
                raise
            conn.execute("COMMIT")

    # Memories

    def add_memories(self, rows: list[dict[str, Any]]) -> None:
        with self._write() as conn:
            for row in rows:
                seq = conn.execute(
                    "INSERT INTO memories (project, id, session_id, role, text, user_id, timestamp)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?)",
                    (self.project, *(row[c] for c in _MEMORY_COLUMNS)),
                ).lastrowid
                scope = f"{self._scope} {scope_token('s', row['session_id'])}"
                conn.execute(
                    "INSERT INTO memories_text (rowid, body, scope) VALUES (?, ?, ?)",
                    (seq, row["text"], scope),
                )

    def ranked_texts(self, query: str, session_id: str | None) -> Iterator[str]:
        terms = query_terms(query)
        if not terms:
            return self._recent_texts(session_id)
        scope = f"scope : {self._scope}"
        narrow = None
        if session_id is not None:
            narrow = f"scope : {scope_token('s', session_id)}"
            scope += f" AND {narrow}"
        with self._db.borrow() as conn:
            per_term = [
                _scored(
                    conn,
                    "memories_text",
                    term,
                    conn.execute(
                        "SELECT rowid FROM memories_text"
                        " WHERE memories_text MATCH ? ORDER BY rowid DESC LIMIT ?",
                        (f"{scope} AND body : {_phrase(term)}", CANDIDATES),
                    ).fetchall(),
                    narrow,
                )
                for term in terms
            ]
        order = [seq for seq, _ in ranked_scores(per_term)]
        return self._texts_of(order, session_id)

    def _texts_of(self, order: list[int], session_id: str | None) -> Iterator[str]:
        # Batches: the caller stops reading once its budget is full.
        where, params = self._memory_scope(session_id)
        size, start = 32, 0
        while start < len(order):
            batch = order[start : start + size]
            start, size = start + size, min(size * 2, 128)
            marks = ",".join("?" * len(batch))
            with self._db.borrow() as conn:
                texts = dict(
                    conn.execute(
                        f"SELECT seq, text FROM memories WHERE {where} AND seq IN ({marks})",
                        (*params, *batch),
                    ).fetchall()
                )
            yield from (texts[seq] for seq in batch if seq in texts)

    def _recent_texts(self, session_id: str | None) -> Iterator[str]:
        where, params = self._memory_scope(session_id)
        size, before = 32, 2**63 - 1
        while True:
            with self._db.borrow() as conn:
                rows = conn.execute(
                    f"SELECT seq, text FROM memories WHERE {where} AND seq < ?"
                    " ORDER BY seq DESC LIMIT ?",
                    (*params, before, size),
                ).fetchall()
            yield from (text for _, text in rows)
            if len(rows) < size:
                return
            before, size = rows[-1][0], min(size * 2, 512)

    def _memory_scope(self, session_id: str | None) -> tuple[str, tuple[str, ...]]:
        if session_id is None:
            return "project = ?", (self.project,)
        return "project = ? AND session_id = ?", (self.project, session_id)

    def list_memories(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._db.borrow() as conn:
            rows = conn.execute(
                f"SELECT {', '.join(_MEMORY_COLUMNS)} FROM memories WHERE project = ?"
                " ORDER BY seq LIMIT ? OFFSET ?",
                (self.project, -1 if limit is None else limit, offset),
            ).fetchall()
        return [dict(zip(_MEMORY_COLUMNS, row, strict=True)) for row in rows]

    # Audit

    def add_event(self, row: dict[str, Any]) -> None:
        body = dump_json(row)
        with self._write() as conn:
            conn.execute("INSERT INTO events (project, body) VALUES (?, ?)", (self.project, body))

    def list_events(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._db.borrow() as conn:
            rows = conn.execute(
                "SELECT body FROM events WHERE project = ? ORDER BY seq LIMIT ? OFFSET ?",
                (self.project, -1 if limit is None else limit, offset),
            ).fetchall()
        return [load_json(body) for (body,) in rows]

    def counts(self) -> tuple[int, int]:
        with self._db.borrow() as conn:
            (memories,) = conn.execute(
                "SELECT count(*) FROM memories WHERE project = ?", (self.project,)
            ).fetchone()
            (events,) = conn.execute(
                "SELECT count(*) FROM events WHERE project = ?", (self.project,)
            ).fetchone()
        return memories, events

    # Keyed store

    def put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any], now: str
    ) -> dict[str, Any]:
        ns, body = namespace_key(namespace), dump_json(value)
        with self._write() as conn:
            old = conn.execute(
                "SELECT seq, created_at FROM items WHERE project = ? AND namespace = ? AND key = ?",
                (self.project, ns, key),
            ).fetchone()
            created = now
            if old is not None:
                # Written again, the item moves to the end: row order is update order.
                self._remove(conn, old[0])
                created = old[1]
            seq = conn.execute(
                "INSERT INTO items (project, namespace, key, value, created_at, updated_at)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (self.project, ns, key, body, created, now),
            ).lastrowid
            conn.execute(
                "INSERT INTO items_text (rowid, body, scope) VALUES (?, ?, ?)",
                (seq, value_text(value), self._scope),
            )
        return item_row(ns, key, body, created, now)

    @staticmethod
    def _remove(conn: sqlite3.Connection, seq: int) -> None:
        conn.execute("DELETE FROM items WHERE seq = ?", (seq,))
        conn.execute("DELETE FROM items_text WHERE rowid = ?", (seq,))

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        with self._db.borrow() as conn:
            row = conn.execute(
                "SELECT namespace, key, value, created_at, updated_at FROM items"
                " WHERE project = ? AND namespace = ? AND key = ?",
                (self.project, namespace_key(namespace), key),
            ).fetchone()
        return None if row is None else item_row(*row)

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        with self._write() as conn:
            old = conn.execute(
                "SELECT seq FROM items WHERE project = ? AND namespace = ? AND key = ?",
                (self.project, namespace_key(namespace), key),
            ).fetchone()
            if old is not None:
                self._remove(conn, old[0])
        return old is not None

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        where, params = ["i.project = ?"], [self.project]
        if prefix:
            where.append("i.namespace >= ? AND i.namespace < ?")
            params.extend(prefix_range(prefix))
        for field, wanted in pushable_filters(filter):
            if '"' in field or "\\" in field:
                continue  # not expressible as a JSON path; checked below
            path = f'$."{field}"'
            if wanted is None:
                where.append("json_type(i.value, ?) = 'null'")
                params.append(path)
            else:
                where.append("json_extract(i.value, ?) = ?")
                params.extend((path, wanted))
        condition = " AND ".join(where)
        columns = "i.namespace, i.key, i.value, i.created_at, i.updated_at"
        terms = query_terms(query or "")
        rows = None
        with self._db.borrow() as conn:
            if not terms:
                rows = conn.execute(
                    f"SELECT {columns} FROM items i WHERE {condition} ORDER BY i.seq DESC",
                    params,
                )
                scored: Iterator[tuple[tuple[Any, ...], float | None]] = (
                    (row, None) for row in rows
                )
            else:
                per_term = [
                    _scored(
                        conn,
                        "items_text",
                        term,
                        conn.execute(
                            "SELECT i.seq FROM items_text"
                            " CROSS JOIN items i ON i.seq = items_text.rowid"
                            f" WHERE items_text MATCH ? AND {condition}"
                            " ORDER BY items_text.rowid DESC LIMIT ?",
                            (
                                f"scope : {self._scope} AND body : {_phrase(term)}",
                                *params,
                                CANDIDATES,
                            ),
                        ).fetchall(),
                    )
                    for term in terms
                ]
                ranked = ranked_scores(per_term)
                marks = ",".join("?" * len(ranked))
                by_seq = (
                    {}
                    if not ranked
                    else {
                        row[0]: row[1:]
                        for row in conn.execute(
                            f"SELECT i.seq, {columns} FROM items i WHERE i.seq IN ({marks})",
                            [seq for seq, _ in ranked],
                        )
                    }
                )
                scored = ((by_seq[seq], score) for seq, score in ranked if seq in by_seq)
            try:
                return take_page(scored, filter, limit, offset)
            finally:
                # A statement left open would hold a read snapshot on a pooled connection,
                # and the next writer on it would fail at once with "database is locked".
                if rows is not None:
                    rows.close()

    def list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]:
        where, params = "project = ?", [self.project]
        literal = literal_prefix(prefix)
        if literal:
            where += " AND namespace >= ? AND namespace < ?"
            params.extend(prefix_range(literal))
        with self._db.borrow() as conn:
            rows = conn.execute(f"SELECT DISTINCT namespace FROM items WHERE {where}", params)
            namespaces = [namespace_of(ns) for (ns,) in rows]
        return select_namespaces(namespaces, prefix, suffix, max_depth, limit, offset)

    def close(self) -> None:
        self._db.close()
