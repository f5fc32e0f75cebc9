"""The SQL both databases run, written once.

A database module subclasses :class:`SQLStorage` and says what differs: how connections are
had (``_read``, ``_write``), its placeholder, its table names, how it indexes and matches
words (``_insert_memories``, ``_postings``, ``_item_postings``), its upsert
(``put_item``), how a filter reaches into a JSON value (``_filter_clause``) and how a list
of row numbers is passed (``_in_rows``). Statements here are written with ``?`` and table
names in braces; ``_q`` turns them into the database's own, once per statement.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, nullcontext
from datetime import datetime, timedelta
from functools import cache
from typing import Any

from ..clock import stamp
from .common import (
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
    select_namespaces,
    take_page,
)
from .migrations import EVENT_COLUMNS, event_columns, scope_keys

MEMORY_COLUMNS = ("id", "session_id", "role", "text", "user_id", "timestamp", "created_at")
# What a write stores besides: the analysed terms, and when it expires (None: never).
WRITE_COLUMNS = (*MEMORY_COLUMNS, "terms", "expires_at")
ITEM_COLUMNS = "seq, ttl, namespace, key, value, created_at, updated_at"
NO_LIMIT = 2**62


@cache
def _translate(statement: str, placeholder: str, tables: tuple[tuple[str, str], ...]) -> str:
    text = statement.format(**dict(tables))
    return text if placeholder == "?" else text.replace("?", placeholder)


class SQLStorage:
    kind: str
    project: str
    PLACEHOLDER = "?"
    TABLES: tuple[tuple[str, str], ...] = (
        ("memories", "memories"),
        ("events", "events"),
        ("items", "items"),
        ("approvals", "approvals"),
        ("scopes", "memory_scopes"),
        ("models", "embedding_models"),
        ("memory_vectors", "memory_vectors"),
        ("item_vectors", "item_vectors"),
    )
    # Whether a put replaces an item's row with a new one, whose vectors start empty.
    PUT_ADDS_ROW = False
    # Texts are read in batches, the caller stopping once its budget is full: the first
    # batch and the largest (batches double in between).
    TEXT_BATCHES = (32, 128)

    # What each database says for itself.

    def _read(self) -> AbstractContextManager[Any]:
        raise NotImplementedError

    def _write(self) -> AbstractContextManager[Any]:
        raise NotImplementedError

    def _insert_memories(self, conn: Any, rows: list[dict[str, Any]]) -> list[int]:
        """Adds memory rows (``WRITE_COLUMNS``) with their full-text index entries; their
        seqs, in order."""
        raise NotImplementedError

    def _unindex_memories(self, conn: Any, rows: list[tuple[int, str, str, str]]) -> None:
        """Called with (seq, session_id, user_id, terms) of rows about to be deleted."""

    def _postings(
        self, conn: Any, terms: list[str], limit: int, session_id: str | None, user_id: str | None
    ) -> dict[str, list[int]]:
        """Per term, the newest ``limit`` seqs in scope holding it, newest first."""
        raise NotImplementedError

    def _neighbours(
        self,
        conn: Any,
        centres: list[tuple[int, str]],
        radius: int,
        scope: tuple[str | None, str | None, str],
    ) -> dict[int, list[tuple[Any, ...]]]:
        """Per (seq, session) given, the rows (seq, terms, timestamp, session_id) up to
        ``radius`` before and after it in its session, within the (session, user, now) scope."""
        where, params = self._memory_scope(*scope)
        found: dict[int, list[tuple[Any, ...]]] = {}
        before = self._q(
            f"SELECT seq, terms, timestamp, session_id FROM {{memories}} WHERE {where}"
            " AND session_id = ? AND seq < ? ORDER BY seq DESC LIMIT ?"
        )
        after = before.replace("seq < ", "seq > ").replace("seq DESC", "seq")
        for seq, session in centres:
            early = conn.execute(before, (*params, session, seq, radius)).fetchall()
            late = conn.execute(after, (*params, session, seq, radius)).fetchall()
            found[seq] = [*reversed(early), *late]
        return found

    def _item_postings(
        self, txn: ItemTxn, terms: list[str], where: str, params: list[Any]
    ) -> list[list[tuple[int, float]]]:
        raise NotImplementedError

    def _filter_clause(self, field: str, op: str, operand: Any) -> tuple[str, list[Any]] | None:
        """A clause pre-selecting items whose value's top-level ``field`` compares by ``op``
        ("$eq" or an ordering) to ``operand``, or None to leave it to the check after reading."""
        raise NotImplementedError

    def _in_rows(self, column: str, seqs: list[int]) -> tuple[str, list[Any]]:
        marks = ",".join("?" * len(seqs))
        return f"{column} IN ({marks})", list(seqs)

    def _unindex_item(self, conn: Any, seq: int) -> None:
        """Called before an item row is deleted."""

    def _drop_item_text(self, txn: ItemTxn, seq: int) -> None:
        """Called before an item row is deleted by an operation of a batch."""
        self._unindex_item(txn.conn, seq)

    def _index_texts(self, txn: ItemTxn) -> None:
        """Writes the word index work the batch's operations left waiting (``txn.texts``)."""

    def close(self) -> None:
        raise NotImplementedError

    # Shared.

    def _q(self, statement: str) -> str:
        return _translate(statement, self.PLACEHOLDER, self.TABLES)

    def _memory_scope(
        self,
        session_id: str | None,
        user_id: str | None = None,
        now: str | None = None,
        alias: str = "",
    ) -> tuple[str, list[Any]]:
        a = alias + "." if alias else ""
        where, params = [f"{a}project = ?"], [self.project]
        if session_id is not None:
            where.append(f"{a}session_id = ?")
            params.append(session_id)
        if user_id is not None:
            where.append(f"{a}user_id = ?")
            params.append(user_id)
        if now is not None:
            where.append(f"({a}expires_at IS NULL OR {a}expires_at > ?)")
            params.append(now)
        return " AND ".join(where), params

    def add_memories(
        self, rows: list[dict[str, Any]], vectors: list[list[float]] | None = None, model: str = ""
    ) -> None:
        """Stores memory rows, with a vector each made by ``model`` when given."""
        with self._write() as conn:
            seqs = self._insert_memories(conn, rows)
            if vectors:
                self._add_memory_vectors(  # type: ignore[attr-defined]
                    conn,
                    model,
                    [
                        (seq, row["session_id"], row["user_id"], vector)
                        for seq, row, vector in zip(seqs, rows, vectors, strict=True)
                    ],
                )
            sizes: dict[str, int] = {}
            for row in rows:
                for key in scope_keys(row["session_id"], row["user_id"]):
                    sizes[key] = sizes.get(key, 0) + 1
            self._resize(conn, sizes)

    def _resize(self, conn: Any, sizes: dict[str, int]) -> None:
        statement = self._q(
            "INSERT INTO {scopes} (project, scope, size) VALUES (?, ?, ?)"
            " ON CONFLICT (project, scope) DO UPDATE SET size = {scopes}.size + excluded.size"
        )
        for key, change in sizes.items():
            conn.execute(statement, (self.project, key, change))

    def memory_source(self, session_id: str | None, user_id: str | None, now: str) -> MemorySource:
        return MemorySource(self, session_id, user_id, now)

    def memories_by_seq(self, seqs: list[int], now: str) -> dict[int, dict[str, Any]]:
        if not seqs:
            return {}
        where, params = self._memory_scope(None, None, now)
        rows_in, row_params = self._in_rows("seq", seqs)
        with self._read() as conn:
            rows = conn.execute(
                self._q(
                    f"SELECT seq, {', '.join(MEMORY_COLUMNS)} FROM {{memories}}"
                    f" WHERE {where} AND {rows_in}"
                ),
                (*params, *row_params),
            ).fetchall()
        return {row[0]: dict(zip(MEMORY_COLUMNS, row[1:], strict=True)) for row in rows}

    def _batches(self) -> Iterator[int]:
        size, largest = self.TEXT_BATCHES
        while True:
            yield size
            size = min(size * 2, largest)

    def recent_texts(self, session_id: str | None, now: str) -> Iterator[str]:
        where, params = self._memory_scope(session_id, None, now)
        before = 2**63 - 1
        for size in self._batches():
            with self._read() as conn:
                rows = conn.execute(
                    self._q(
                        f"SELECT seq, text FROM {{memories}} WHERE {where} AND seq < ?"
                        " ORDER BY seq DESC LIMIT ?"
                    ),
                    (*params, before, size),
                ).fetchall()
            yield from (text for _, text in rows)
            if len(rows) < size:
                return
            before = rows[-1][0]

    def list_memories(
        self, limit: int | None = None, offset: int = 0, now: str | None = None
    ) -> list[dict[str, Any]]:
        where, params = self._memory_scope(None, None, now)
        with self._read() as conn:
            rows = conn.execute(
                self._q(
                    f"SELECT {', '.join(MEMORY_COLUMNS)} FROM {{memories}} WHERE {where}"
                    " ORDER BY seq LIMIT ? OFFSET ?"
                ),
                (*params, NO_LIMIT if limit is None else limit, offset),
            ).fetchall()
        return [dict(zip(MEMORY_COLUMNS, row, strict=True)) for row in rows]

    def delete_memories(
        self,
        memory_id: str | None = None,
        session_id: str | None = None,
        user_id: str | None = None,
        expired_at: str | None = None,
        batch: int | None = None,
    ) -> int:
        """Erases the memories matching every criterion given, from the table, the
        full-text index and the scope counts; how many. ``expired_at``: those expired then."""
        where, params = self._memory_scope(session_id, user_id)
        if memory_id is not None:
            where += " AND id = ?"
            params.append(memory_id)
        if expired_at is not None:
            where += " AND expires_at IS NOT NULL AND expires_at <= ?"
            params.append(expired_at)
        limit = "" if batch is None else f" LIMIT {int(batch)}"
        with self._write() as conn:
            rows = conn.execute(
                self._q(f"SELECT seq, session_id, user_id, terms FROM {{memories}} WHERE {where}")
                + limit,
                params,
            ).fetchall()
            if not rows:
                return 0
            self._unindex_memories(conn, rows)
            sizes: dict[str, int] = {}
            for _, session, user, _ in rows:
                for key in scope_keys(session, user):
                    sizes[key] = sizes.get(key, 0) - 1
            self._resize(conn, sizes)
            for start in range(0, len(rows), 500):
                rows_in, row_params = self._in_rows(
                    "seq", [r[0] for r in rows[start : start + 500]]
                )
                conn.execute(
                    self._q(f"DELETE FROM {{memories}} WHERE project = ? AND {rows_in}"),
                    (self.project, *row_params),
                )
        return len(rows)

    # Audit

    def _lock_audit(self, conn: Any) -> None:
        """Called first in an append: appends of one project take turns from here on."""

    def append_events(self, build: Callable[[AuditTxn], list[dict[str, Any]]]) -> list[Any]:
        """Runs ``build`` in one write transaction holding the project's audit lock and
        appends the events it returns (chained by it from ``txn.head()``); what ``build``
        reads through ``txn`` (counts, approvals) cannot change before the events land."""
        with self._write() as conn:
            self._lock_audit(conn)
            txn = AuditTxn(self, conn)
            events = build(txn)
            for event in events:
                conn.execute(
                    self._q(
                        f"INSERT INTO {{events}} (project, body, chain, hash, {_EVENT_FIELDS})"
                        f" VALUES (?, ?, ?, ?{', ?' * (len(EVENT_COLUMNS) + 1)})"
                    ),
                    (
                        self.project,
                        dump_json(event),
                        event["seq"],
                        event["hash"],
                        *event_columns(event),
                    ),
                )
        return events

    def list_events(
        self, limit: int | None = None, offset: int = 0, **filters: str | None
    ) -> list[dict[str, Any]]:
        where, params = ["project = ?"], [self.project]
        for name, value in filters.items():
            if value is None:
                continue
            if name == "since":
                where.append("recorded_at >= ?")
            elif name == "until":
                where.append("recorded_at < ?")
            elif name in EVENT_COLUMNS:
                where.append(f"{name} = ?")
            else:
                raise ValueError(f"unknown audit filter {name!r}")
            params.append(value)
        with self._read() as conn:
            rows = conn.execute(
                self._q(f"SELECT body FROM {{events}} WHERE {' AND '.join(where)}")
                + self._q(" ORDER BY seq LIMIT ? OFFSET ?"),
                (*params, NO_LIMIT if limit is None else limit, offset),
            ).fetchall()
        return [load_json(body) for (body,) in rows]

    def iter_events(self, batch: int = 1000) -> Iterator[Any]:
        """Every event of the project in the order written, read in batches."""
        after = 0
        while True:
            with self._read() as conn:
                rows = conn.execute(
                    self._q(
                        "SELECT seq, body FROM {events} WHERE project = ? AND seq > ?"
                        " ORDER BY seq LIMIT ?"
                    ),
                    (self.project, after, batch),
                ).fetchall()
            yield from (load_json(body) for _, body in rows)
            if len(rows) < batch:
                return
            after = rows[-1][0]

    def list_approvals(
        self, status: str | None, limit: int | None = None, offset: int = 0
    ) -> list[dict[str, Any]]:
        """Pending first, then the rest; newest first within each."""
        where, params = "project = ?", [self.project]
        if status is not None:
            where += " AND status = ?"
            params.append(status)
        with self._read() as conn:
            rows = conn.execute(
                self._q(
                    f"SELECT body, status FROM {{approvals}} WHERE {where}"
                    " ORDER BY CASE WHEN status = 'pending' THEN 0 ELSE 1 END, seq DESC"
                    " LIMIT ? OFFSET ?"
                ),
                (*params, NO_LIMIT if limit is None else limit, offset),
            ).fetchall()
        return [{**load_json(body), "status": state} for body, state in rows]

    def get_approval(self, approval_id: str) -> dict[str, Any] | None:
        with self._read() as conn:
            return AuditTxn(self, conn).approval(approval_id)

    def counts(self) -> tuple[int, int]:
        with self._read() as conn:
            row = conn.execute(
                self._q(
                    "SELECT (SELECT count(*) FROM {memories} WHERE project = ?),"
                    " (SELECT count(*) FROM {events} WHERE project = ?)"
                ),
                (self.project, self.project),
            ).fetchone()
        return row[0], row[1]

    # Keyed store

    def run_items(self, ops: list[tuple[str, dict[str, Any]]], now: str) -> list[Any]:
        """Runs keyed-store operations (``put_item``, ``get_item``, ``delete_item``,
        ``search_items``, ``list_namespaces`` with their checked arguments) in order, each
        seeing those before it, and returns their results. A batch that writes is one
        transaction: all of it lands or none. Expired items are never read; a read with
        ``refresh_ttl`` renews the expiry of the items it returns."""
        if any(name in _ITEM_WRITES for name, _ in ops):
            with self._write() as conn:
                txn = ItemTxn(conn, now)
                with self._pipelined(txn, len(ops)):
                    results = self._item_ops(txn, ops)
                    self._index_texts(txn)
                    self._renew(txn)
            return results
        with self._read() as conn:
            txn = ItemTxn(conn, now)
            with self._pipelined(txn, len(ops)):
                results = self._item_ops(txn, ops)
        if txn.renewed:
            with self._write() as conn:
                txn.conn = conn
                self._renew(txn)
        return results

    def _pipelined(self, txn: ItemTxn, count: int) -> AbstractContextManager[object]:
        """Where the database can take a batch's statements without waiting for each reply,
        sets ``txn.deferred`` for the batch's ``count`` operations."""
        return nullcontext()

    def _item_ops(self, txn: ItemTxn, ops: list[tuple[str, dict[str, Any]]]) -> list[Any]:
        results = [self._item_op(txn, name, args) for name, args in ops]
        if txn.deferred:  # every statement sent: the replies are read, in order
            results = [r.finish() if type(r) is Later else r for r in results]
        return results

    def _item_op(self, txn: ItemTxn, name: str, args: dict[str, Any]) -> Any:
        # Spelled out, not dispatched by name: it runs for every operation of every batch.
        a = args.get
        if name == "put_item":
            result = self._put_item(txn, a("namespace"), a("key"), a("value"), a("ttl"))
            vectors = a("vectors")
            if vectors or not self.PUT_ADDS_ROW:
                self._set_item_vectors(  # type: ignore[attr-defined]
                    txn.conn, args["namespace"], args["key"], vectors
                )
            return result
        if name == "get_item":
            return self._get_item(txn, a("namespace"), a("key"), a("refresh_ttl", False))
        if name == "delete_item":
            return self._delete_item(txn, a("namespace"), a("key"))
        if name == "search_items":
            if a("vector") is not None:
                return self._vector_search_items(txn, **args)  # type: ignore[attr-defined]
            return self._search_items(
                txn,
                a("namespace_prefix"),
                a("query"),
                a("filter"),
                a("limit", 10),
                a("offset", 0),
                a("refresh_ttl", False),
            )
        if name == "list_namespaces":
            return self._list_namespaces(txn, **args)
        raise ValueError(f"not a keyed-store operation: {name!r}")

    def _renew(self, txn: ItemTxn) -> None:
        statement = self._q("UPDATE {items} SET expires_at = ? WHERE project = ? AND seq = ?")
        for seq, ttl in txn.renewed:
            txn.conn.execute(statement, (expiry(txn.now, ttl), self.project, seq))

    def _get_item(
        self, txn: ItemTxn, namespace: tuple[str, ...], key: str, refresh_ttl: bool = False
    ) -> dict[str, Any] | None:
        cursor = txn.conn.execute(
            self._q(_GET_ITEM), (self.project, namespace_key(namespace), key, txn.now)
        )

        def finish() -> dict[str, Any] | None:
            row = cursor.fetchone()
            if row is None:
                return None
            if refresh_ttl:
                txn.renew(row)
            return item_row(*row[2:])

        return txn.settle(finish)  # type: ignore[no-any-return]

    def _delete_item(self, txn: ItemTxn, namespace: tuple[str, ...], key: str) -> bool:
        cursor = txn.conn.execute(
            self._q(_DELETE_ITEM), (self.project, namespace_key(namespace), key)
        )

        def finish() -> bool:
            old = cursor.fetchone()
            if old is None:
                return False
            self._drop_item_text(txn, old[0])
            return old[1] is None or old[1] > txn.now

        return txn.settle(finish)  # type: ignore[no-any-return]

    def _put_item(
        self,
        txn: ItemTxn,
        namespace: tuple[str, ...],
        key: str,
        value: dict[str, Any],
        ttl: float | None = None,
    ) -> dict[str, Any]:
        raise NotImplementedError

    def _search_items(
        self,
        txn: ItemTxn,
        namespace_prefix: tuple[str, ...],
        query: str | None = None,
        filter: dict[str, Any] | None = None,
        limit: int = 10,
        offset: int = 0,
        refresh_ttl: bool = False,
    ) -> list[dict[str, Any]]:
        conn = txn.conn
        where, params = ["project = ?", LIVE], [self.project, txn.now]
        if namespace_prefix:
            where.append("namespace >= ? AND namespace < ?")
            params.extend(prefix_range(namespace_prefix))
        for field, op, operand in pushable_filters(filter):
            clause = self._filter_clause(field, op, operand)
            if clause is not None:
                where.append(clause[0])
                params.extend(clause[1])
        condition = " AND ".join(where)
        terms = query_terms(query or "")
        if not terms:
            statement = self._q(f"SELECT {ITEM_COLUMNS} FROM {{items}} WHERE {condition}")
            statement += " ORDER BY seq DESC"
            if not filter:  # else rows are filtered after reading, as many as it takes
                statement += f" LIMIT {min(int(limit) + int(offset), NO_LIMIT)}"
            cursor = conn.execute(statement, params)

            def finish() -> list[dict[str, Any]]:
                try:
                    found = take_page(((row, None) for row in cursor), filter, limit, offset)
                finally:
                    # A statement left open would hold a read snapshot on a pooled
                    # connection, and the next writer on it could fail at once.
                    cursor.close()
                return txn.items(found, refresh_ttl)

            return txn.settle(finish)  # type: ignore[no-any-return]
        ranked = ranked_scores(self._item_postings(txn, terms, condition, params))
        by_seq = {}
        if ranked:
            rows_in, row_params = self._in_rows("seq", [seq for seq, _ in ranked])
            by_seq = {
                row[0]: row
                for row in conn.execute(
                    self._q(
                        f"SELECT {ITEM_COLUMNS} FROM {{items}} WHERE project = ? AND {rows_in}"
                    ),
                    (self.project, *row_params),
                )
            }
        scored = ((by_seq[seq], score) for seq, score in ranked if seq in by_seq)
        return txn.items(take_page(scored, filter, limit, offset), refresh_ttl)

    def _list_namespaces(
        self,
        txn: ItemTxn,
        prefix: tuple[str, ...] | None = None,
        suffix: tuple[str, ...] | None = None,
        max_depth: int | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> list[tuple[str, ...]]:
        low, high = prefix_range(literal_prefix(prefix))
        cursor = txn.conn.execute(
            self._q(_LIST_NAMESPACES),
            (self.project, low, high, txn.now, self.project, high, txn.now),
        )

        def finish() -> list[tuple[str, ...]]:
            namespaces = [namespace_of(ns) for (ns,) in cursor.fetchall()]
            return select_namespaces(namespaces, prefix, suffix, max_depth, limit, offset)

        return txn.settle(finish)  # type: ignore[no-any-return]

    def purge_items(self, now: str, batch: int | None = None) -> int:
        """Erases items expired at ``now`` (at most ``batch`` of them); how many."""
        limit = "" if batch is None else f" LIMIT {int(batch)}"
        with self._write() as conn:
            rows = conn.execute(
                self._q(
                    "SELECT seq FROM {items} WHERE project = ?"
                    " AND expires_at IS NOT NULL AND expires_at <= ?"
                )
                + limit,
                (self.project, now),
            ).fetchall()
            for (seq,) in rows:
                self._unindex_item(conn, seq)
            for start in range(0, len(rows), 500):
                seqs = [r[0] for r in rows[start : start + 500]]
                rows_in, row_params = self._in_rows("seq", seqs)
                conn.execute(
                    self._q(f"DELETE FROM {{items}} WHERE project = ? AND {rows_in}"),
                    (self.project, *row_params),
                )
        return len(rows)


_ITEM_WRITES = frozenset({"put_item", "delete_item"})
LIVE = "(expires_at IS NULL OR expires_at > ?)"
_GET_ITEM = (
    f"SELECT {ITEM_COLUMNS} FROM {{items}}"
    f" WHERE project = ? AND namespace = ? AND key = ? AND {LIVE}"
)
_DELETE_ITEM = (
    "DELETE FROM {items} WHERE project = ? AND namespace = ? AND key = ? RETURNING seq, expires_at"
)
# Namespace by namespace along the index: a step per namespace, not per item.
_NEXT_NAMESPACE = (
    "SELECT namespace FROM {{items}} WHERE project = ? AND namespace {op} AND namespace < ?"
    f" AND {LIVE} ORDER BY namespace LIMIT 1"
)
_LIST_NAMESPACES = (
    "WITH RECURSIVE found(ns) AS ("
    f" SELECT ({_NEXT_NAMESPACE.format(op='>= ?')})"
    f" UNION ALL SELECT ({_NEXT_NAMESPACE.format(op='> found.ns')})"
    " FROM found WHERE found.ns IS NOT NULL"
    ") SELECT ns FROM found WHERE ns IS NOT NULL"
)
_FAR = "9999-12-31T23:59:59.999999+00:00"


def expiry(now: str, ttl: float | None) -> str | None:
    """When an item written or read at ``now`` with ``ttl`` seconds to live expires."""
    if ttl is None:
        return None
    try:
        return stamp(datetime.fromisoformat(now) + timedelta(seconds=ttl))
    except OverflowError:
        return _FAR


class ItemTxn:
    """What the keyed-store operations of one batch share: the connection, the time, the
    (seq, ttl) of the rows whose expiry the reads renew, and word index work left for the end
    of the batch: the text of rows written (by seq), the rows whose text goes."""

    __slots__ = ("conn", "deferred", "dropped", "now", "renewed", "texts")

    def __init__(self, conn: Any, now: str) -> None:
        self.conn = conn
        self.now = now
        # Replies read once the batch is sent (see ``SQLStorage._pipelined``): what an
        # operation does on reading its reply may then only renew expiry, read at the end.
        self.deferred = False
        self.texts: dict[int, str] = {}
        self.dropped: list[int] = []
        self.renewed: list[tuple[int, float]] = []

    def settle(self, finish: Callable[[], Any]) -> Any:
        """An operation's result from its reply, read by ``finish`` now or, deferred, later."""
        return Later(finish) if self.deferred else finish()

    def renew(self, row: tuple[Any, ...]) -> None:
        if row[1] is not None:
            self.renewed.append((row[0], row[1]))

    def items(
        self, page: list[tuple[dict[str, Any], tuple[Any, ...]]], refresh_ttl: bool
    ) -> list[dict[str, Any]]:
        """The items of a page (``take_page``), their expiry renewed if asked."""
        if refresh_ttl:
            for _, row in page:
                self.renew(row)
        return [item for item, _ in page]


class Later:
    """An operation's result still to be read from its reply."""

    __slots__ = ("finish",)

    def __init__(self, finish: Callable[[], Any]) -> None:
        self.finish = finish


_EVENT_FIELDS = ", ".join((*EVENT_COLUMNS, "allowed"))


class AuditTxn:
    """What an audit append may read and change, inside its transaction."""

    def __init__(self, storage: SQLStorage, conn: Any) -> None:
        self._s = storage
        self._conn = conn

    def _one(self, statement: str, params: tuple[Any, ...]) -> Any:
        return self._conn.execute(self._s._q(statement), params).fetchone()

    def head(self) -> tuple[int, str | None]:
        """The last event's chain number and hash; (0, None) before the first."""
        row = self._one(
            "SELECT chain, hash FROM {events} WHERE project = ? ORDER BY chain DESC LIMIT 1",
            (self._s.project,),
        )
        return (0, None) if row is None or row[0] is None else (row[0], row[1])

    def recent_calls(
        self, agent_id: str, tool_name: str, session_id: str, since: str, wanted: frozenset[str]
    ) -> dict[str, int]:
        """This agent's calls of this tool that gates let run, as the counts ``wanted`` name:
        ``tool_calls_last_minute`` (since ``since``), ``tool_calls_in_session``."""
        scope = "project = ? AND kind = 'gate' AND allowed = 1 AND agent_id = ? AND tool_name = ?"
        params = (self._s.project, agent_id, tool_name)
        counts = {}
        if "tool_calls_last_minute" in wanted:
            counts["tool_calls_last_minute"] = self._one(
                f"SELECT count(*) FROM {{events}} WHERE {scope} AND recorded_at >= ?",
                (*params, since),
            )[0]
        if "tool_calls_in_session" in wanted:
            counts["tool_calls_in_session"] = self._one(
                f"SELECT count(*) FROM {{events}} WHERE {scope} AND session_id = ?",
                (*params, session_id),
            )[0]
        return counts

    def approval(self, approval_id: str) -> dict[str, Any] | None:
        row = self._one(
            "SELECT body, status FROM {approvals} WHERE project = ? AND id = ?",
            (self._s.project, approval_id),
        )
        return None if row is None else {**load_json(row[0]), "status": row[1]}

    def put_approval(self, approval: dict[str, Any]) -> None:
        """Adds an approval, or replaces the one with its id."""
        body = dump_json({k: v for k, v in approval.items() if k != "status"})
        args = (body, approval["status"], approval["expires_at"], self._s.project, approval["id"])
        cursor = self._conn.execute(
            self._s._q(
                "UPDATE {approvals} SET body = ?, status = ?, expires_at = ?"
                " WHERE project = ? AND id = ?"
            ),
            args,
        )
        if cursor.rowcount == 0:
            self._conn.execute(
                self._s._q(
                    "INSERT INTO {approvals} (body, status, expires_at, project, id)"
                    " VALUES (?, ?, ?, ?, ?)"
                ),
                args,
            )


class MemorySource:
    """The ranking's look-ups over one scope's live memories (see ``memory.recall.Source``)."""

    def __init__(
        self, storage: SQLStorage, session_id: str | None, user_id: str | None, now: str
    ) -> None:
        self._s = storage
        self._session = session_id
        self._user = user_id
        self._scope = (session_id, user_id, now)
        self._where, self._params = storage._memory_scope(session_id, user_id, now)

    def size(self) -> int:
        key = (
            "s:" + self._session
            if self._session is not None
            else "u:" + self._user
            if self._user is not None
            else ""
        )
        with self._s._read() as conn:
            row = conn.execute(
                self._s._q("SELECT size FROM {scopes} WHERE project = ? AND scope = ?"),
                (self._s.project, key),
            ).fetchone()
        return row[0] if row else 0

    def postings(self, terms: Any, limit: int) -> dict[str, list[int]]:
        with self._s._read() as conn:
            return self._s._postings(conn, list(terms), limit, self._session, self._user)

    def rows(self, seqs: Any) -> dict[int, Any]:
        from ..memory.recall import Row

        wanted = list(dict.fromkeys(seqs))
        if not wanted:
            return {}
        rows_in, row_params = self._s._in_rows("seq", wanted)
        with self._s._read() as conn:
            found = conn.execute(
                self._s._q(
                    "SELECT seq, terms, timestamp, session_id FROM {memories}"
                    f" WHERE {self._where} AND {rows_in}"
                ),
                (*self._params, *row_params),
            ).fetchall()
        return {row[0]: Row(*row) for row in found}

    def neighbours(self, seqs: Any, radius: int) -> dict[int, list[Any]]:
        from ..memory.recall import Row

        wanted = list(dict.fromkeys(seqs))
        if not wanted:
            return {}
        rows_in, row_params = self._s._in_rows("seq", wanted)
        with self._s._read() as conn:
            centres = conn.execute(
                self._s._q(f"SELECT seq, session_id FROM {{memories}} WHERE {self._where}")
                + self._s._q(f" AND {rows_in}"),
                (*self._params, *row_params),
            ).fetchall()
            near = self._s._neighbours(conn, centres, radius, self._scope)
        return {seq: [Row(*row) for row in rows] for seq, rows in near.items()}

    def between(self, start: str, end: str, limit: int) -> list[int]:
        with self._s._read() as conn:
            rows = conn.execute(
                self._s._q(
                    f"SELECT seq FROM {{memories}} WHERE {self._where}"
                    " AND timestamp >= ? AND timestamp < ? ORDER BY timestamp DESC LIMIT ?"
                ),
                (*self._params, start, end, limit),
            ).fetchall()
        return [seq for (seq,) in rows]
