"""SQLite storage (standard library ``sqlite3``): a private in-memory database or a file.

A file is opened in WAL mode with ``synchronous=FULL``: every acknowledged write is one
committed transaction, and readers never wait for writers. Each thread borrows a connection
from a small pool; other processes may open the same file at the same time (writers queue on
the busy timeout). The in-memory database lives in one connection, shared under a lock, since
each connection to ":memory:" would be a database of its own.

Memories are found by their analysed terms in ``memories_index`` and ranked in Python
(``memory.recall``); stored values by FTS5's BM25 over their strings (``items_text``). Both
indexes also hold tokens standing for the row's project (and session and user), so a query is
narrowed by the index itself, not by scanning other rows.
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

from . import migrations
from .common import (
    CANDIDATES,
    COMMON_WORD,
    ORDERING,
    dump_json,
    namespace_key,
    scope_token,
    value_text,
)
from .migrations import memory_scope, project_terms
from .sql import WRITE_COLUMNS, ItemTxn, SQLStorage
from .sql import expiry as _expiry
from .vectors import SQLiteVectors

try:
    import sqlite_vec
except ImportError:  # pragma: no cover - depends on the embeddings extra
    sqlite_vec = None
# With the embeddings extra, where the standard library cannot load extensions, every
# connection in the process goes through pysqlite3 (the same DB-API over its own SQLite):
# two SQLite libraries on one file in one process would release each other's locks.
_db: Any = sqlite3
if sqlite_vec is not None and not hasattr(sqlite3.Connection, "enable_load_extension"):
    try:
        from pysqlite3 import dbapi2 as _db
    except ImportError:  # pragma: no cover
        sqlite_vec = None

BUSY_TIMEOUT = 30.0
MAX_IDLE = 8


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
        conn = _db.connect(
            self.path or ":memory:",
            timeout=BUSY_TIMEOUT,
            isolation_level=None,
            check_same_thread=False,
        )
        conn.text_factory = _text
        if sqlite_vec is not None:
            conn.enable_load_extension(True)
            sqlite_vec.load(conn)
            conn.enable_load_extension(False)
        conn.execute("PRAGMA foreign_keys=ON")  # vectors go with their rows
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


class SQLiteStorage(SQLiteVectors, SQLStorage):
    """One project's memories, audit and keyed store in a SQLite database."""

    PUT_ADDS_ROW = True
    vectors_loaded = sqlite_vec is not None

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
            self._migrate()
        except BaseException:
            self._db.close()
            raise

    def _migrate(self) -> None:
        deadline = time.monotonic() + BUSY_TIMEOUT
        with self._db.borrow() as conn:
            while True:
                try:
                    if self.path is not None:
                        conn.execute("PRAGMA journal_mode=WAL")
                    # Taken before the version is read: two processes opening an old file
                    # at once upgrade it once, the second finding it done.
                    conn.execute("BEGIN IMMEDIATE")
                    found = conn.execute("PRAGMA user_version").fetchone()[0]
                    steps = migrations.plan("SQLite", found)
                    migrations.apply(conn, steps)
                    if steps:
                        conn.execute(f"PRAGMA user_version={migrations.LATEST}")
                    conn.execute("COMMIT")
                    self.schema_found = found
                    migrations.report(self.path or ":memory:", found)
                    return
                except _db.OperationalError as exc:
                    if conn.in_transaction:
                        conn.rollback()
                    if "locked" not in str(exc) or time.monotonic() > deadline:
                        raise
                    time.sleep(0.01)
                except BaseException:
                    if conn.in_transaction:
                        conn.rollback()
                    raise

    def _read(self) -> AbstractContextManager[sqlite3.Connection]:
        return self._db.borrow()

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

    def _insert_memories(self, conn: sqlite3.Connection, rows: list[dict[str, Any]]) -> list[int]:
        insert = (
            f"INSERT INTO memories (project, {', '.join(WRITE_COLUMNS)})"
            f" VALUES (?{', ?' * len(WRITE_COLUMNS)})"
        )
        seqs = []
        for row in rows:
            seq = conn.execute(insert, (self.project, *(row[c] for c in WRITE_COLUMNS))).lastrowid
            seqs.append(seq)
            conn.execute(
                "INSERT INTO memories_index (rowid, terms, scope) VALUES (?, ?, ?)",
                (
                    seq,
                    project_terms(self.project, row["terms"]),
                    memory_scope(self.project, row["session_id"], row["user_id"]),
                ),
            )
        return seqs

    def _unindex_memories(
        self, conn: sqlite3.Connection, rows: list[tuple[int, str, str, str]]
    ) -> None:
        for start in range(0, len(rows), 500):
            seqs = [row[0] for row in rows[start : start + 500]]
            marks = ",".join("?" * len(seqs))
            conn.execute(f"DELETE FROM memories_index WHERE rowid IN ({marks})", seqs)

    def _postings(
        self,
        conn: sqlite3.Connection,
        terms: list[str],
        limit: int,
        session_id: str | None,
        user_id: str | None,
    ) -> dict[str, list[int]]:
        narrow = ""
        if session_id is not None:
            narrow += f"scope : {scope_token('s', session_id)} AND "
        if user_id is not None:
            narrow += f"scope : {scope_token('u', user_id)} AND "
        marked = project_terms(self.project, " ".join(terms)).split()
        return {
            term: [
                seq
                for (seq,) in conn.execute(
                    "SELECT rowid FROM memories_index WHERE memories_index MATCH ?"
                    " ORDER BY rowid DESC LIMIT ?",
                    (f"{narrow}terms : {_phrase(mark)}", limit),
                )
            ]
            for term, mark in zip(terms, marked, strict=True)
        }

    def _item_postings(
        self, txn: ItemTxn, terms: list[str], where: str, params: list[Any]
    ) -> list[list[tuple[int, float]]]:
        self._index_texts(txn)  # the batch's earlier writes are found too
        conn = txn.conn
        return [
            _scored(
                conn,
                "items_text",
                term,
                conn.execute(
                    "SELECT seq FROM items_text CROSS JOIN items ON seq = items_text.rowid"
                    f" WHERE items_text MATCH ? AND {where}"
                    " ORDER BY items_text.rowid DESC LIMIT ?",
                    (f"scope : {self._scope} AND body : {_phrase(term)}", *params, CANDIDATES),
                ).fetchall(),
            )
            for term in terms
        ]

    def _filter_clause(self, field: str, op: str, operand: Any) -> tuple[str, list[Any]] | None:
        if '"' in field or "\\" in field:
            return None  # not expressible as a JSON path; checked after reading
        path = f'$."{field}"'
        if op == "$eq":
            return "json_extract(value, ?) = ?", [path, operand]
        return (
            f"json_type(value, ?) IN ('integer', 'real') AND json_extract(value, ?) {ORDERING[op]}",
            [path, path, operand],
        )

    def _put_item(
        self,
        txn: ItemTxn,
        namespace: tuple[str, ...],
        key: str,
        value: dict[str, Any],
        ttl: float | None = None,
    ) -> dict[str, Any]:
        ns, body, conn, now = namespace_key(namespace), dump_json(value), txn.conn, txn.now
        # Written again, the item moves to the end: row order is update order.
        old = conn.execute(
            "DELETE FROM items WHERE project = ? AND namespace = ? AND key = ?"
            " RETURNING seq, created_at, expires_at",
            (self.project, ns, key),
        ).fetchone()
        created = now
        if old is not None:
            self._drop_item_text(txn, old[0])
            if old[2] is None or old[2] > now:
                created = old[1]
        seq = conn.execute(
            "INSERT INTO items (project, namespace, key, value, created_at, updated_at,"
            " expires_at, ttl) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (self.project, ns, key, body, created, now, _expiry(now, ttl), ttl),
        ).lastrowid
        txn.texts[seq] = value_text(value)
        return {
            "namespace": namespace,
            "key": key,
            "value": value,
            "created_at": created,
            "updated_at": now,
        }

    def _unindex_item(self, conn: sqlite3.Connection, seq: int) -> None:
        conn.execute("DELETE FROM items_text WHERE rowid = ?", (seq,))

    # An FTS5 delete between inserts costs about three inserts, so the word index is written
    # once a batch, rows first deleted then added in rowid order; a row written and deleted
    # within one batch never reaches it.
    def _drop_item_text(self, txn: ItemTxn, seq: int) -> None:
        if seq in txn.texts:
            del txn.texts[seq]
        else:
            txn.dropped.append(seq)

    def _index_texts(self, txn: ItemTxn) -> None:
        if txn.dropped:
            txn.conn.executemany(
                "DELETE FROM items_text WHERE rowid = ?", [(seq,) for seq in sorted(txn.dropped)]
            )
            txn.dropped.clear()
        if txn.texts:
            txn.conn.executemany(
                "INSERT INTO items_text (rowid, body, scope) VALUES (?, ?, ?)",
                [(seq, text, self._scope) for seq, text in sorted(txn.texts.items())],
            )
            txn.texts.clear()

    def close(self) -> None:
        self._db.close()
