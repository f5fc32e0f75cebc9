"""The SQL both databases run, written once.

A database module subclasses :class:`SQLStorage` and says what differs: how connections are
had (``_read``, ``_write``), its placeholder, its table names, how it indexes and matches
words (``_add_memories``, ``_memory_postings``, ``_item_postings``), its upsert
(``put_item``), how a filter reaches into a JSON value (``_filter_clause``) and how a list
of row numbers is passed (``_in_rows``). Statements here are written with ``?`` and table
names in braces; ``_q`` turns them into the database's own, once per statement.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager
from functools import cache
from typing import Any

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
from .migrations import EVENT_COLUMNS, event_columns

MEMORY_COLUMNS = ("id", "session_id", "role", "text", "user_id", "timestamp")
ITEM_COLUMNS = "namespace, key, value, created_at, updated_at"
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
    )
    # Texts are read in batches, the caller stopping once its budget is full: the first
    # batch and the largest (batches double in between).
    TEXT_BATCHES = (32, 128)

    # What each database says for itself.

    def _read(self) -> AbstractContextManager[Any]:
        raise NotImplementedError

    def _write(self) -> AbstractContextManager[Any]:
        raise NotImplementedError

    def add_memories(self, rows: list[dict[str, Any]]) -> None:
        raise NotImplementedError

    def _memory_postings(
        self, conn: Any, terms: list[str], session_id: str | None
    ) -> list[list[tuple[int, float]]]:
        """Per query word, the (seq, score) of its newest matches in scope."""
        raise NotImplementedError

    def _item_postings(
        self, conn: Any, terms: list[str], where: str, params: list[Any]
    ) -> list[list[tuple[int, float]]]:
        raise NotImplementedError

    def _filter_clause(self, field: str, wanted: Any) -> tuple[str, list[Any]] | None:
        """A clause pre-selecting items whose value holds ``field`` equal to ``wanted``, or
        None to leave that field to the exact check after reading."""
        raise NotImplementedError

    def _in_rows(self, column: str, seqs: list[int]) -> tuple[str, list[Any]]:
        marks = ",".join("?" * len(seqs))
        return f"{column} IN ({marks})", list(seqs)

    def put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any], now: str
    ) -> dict[str, Any]:
        raise NotImplementedError

    def _unindex_item(self, conn: Any, seq: int) -> None:
        """Called before an item row is deleted."""

    def close(self) -> None:
        raise NotImplementedError

    # Shared.

    def _q(self, statement: str) -> str:
        return _translate(statement, self.PLACEHOLDER, self.TABLES)

    def _memory_scope(self, session_id: str | None) -> tuple[str, tuple[str, ...]]:
        if session_id is None:
            return "project = ?", (self.project,)
        return "project = ? AND session_id = ?", (self.project, session_id)

    def ranked_texts(self, query: str, session_id: str | None) -> Iterator[str]:
        terms = query_terms(query)
        if not terms:
            return self._recent_texts(session_id)
        with self._read() as conn:
            per_term = self._memory_postings(conn, terms, session_id)
        order = [seq for seq, _ in ranked_scores(per_term)]
        return self._texts_of(order, session_id)

    def _batches(self) -> Iterator[int]:
        size, largest = self.TEXT_BATCHES
        while True:
            yield size
            size = min(size * 2, largest)

    def _texts_of(self, order: list[int], session_id: str | None) -> Iterator[str]:
        where, params = self._memory_scope(session_id)
        start = 0
        for size in self._batches():
            if start >= len(order):
                return
            batch = order[start : start + size]
            start += size
            rows_in, row_params = self._in_rows("seq", batch)
            with self._read() as conn:
                texts = dict(
                    conn.execute(
                        self._q(f"SELECT seq, text FROM {{memories}} WHERE {where} AND {rows_in}"),
                        (*params, *row_params),
                    ).fetchall()
                )
            yield from (texts[seq] for seq in batch if seq in texts)

    def _recent_texts(self, session_id: str | None) -> Iterator[str]:
        where, params = self._memory_scope(session_id)
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

    def list_memories(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._read() as conn:
            rows = conn.execute(
                self._q(
                    f"SELECT {', '.join(MEMORY_COLUMNS)} FROM {{memories}} WHERE project = ?"
                    " ORDER BY seq LIMIT ? OFFSET ?"
                ),
                (self.project, NO_LIMIT if limit is None else limit, offset),
            ).fetchall()
        return [dict(zip(MEMORY_COLUMNS, row, strict=True)) for row in rows]

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

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        with self._read() as conn:
            row = conn.execute(
                self._q(
                    f"SELECT {ITEM_COLUMNS} FROM {{items}}"
                    " WHERE project = ? AND namespace = ? AND key = ?"
                ),
                (self.project, namespace_key(namespace), key),
            ).fetchone()
        return None if row is None else item_row(*row)

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        with self._write() as conn:
            old = conn.execute(
                self._q("SELECT seq FROM {items} WHERE project = ? AND namespace = ? AND key = ?"),
                (self.project, namespace_key(namespace), key),
            ).fetchone()
            if old is not None:
                self._unindex_item(conn, old[0])
                conn.execute(self._q("DELETE FROM {items} WHERE seq = ?"), (old[0],))
        return old is not None

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        where, params = ["project = ?"], [self.project]
        if prefix:
            where.append("namespace >= ? AND namespace < ?")
            params.extend(prefix_range(prefix))
        for field, wanted in pushable_filters(filter):
            clause = self._filter_clause(field, wanted)
            if clause is not None:
                where.append(clause[0])
                params.extend(clause[1])
        condition = " AND ".join(where)
        terms = query_terms(query or "")
        with self._read() as conn:
            if not terms:
                cursor = conn.execute(
                    self._q(f"SELECT {ITEM_COLUMNS} FROM {{items}} WHERE {condition}")
                    + " ORDER BY seq DESC",
                    params,
                )
                try:
                    return take_page(((row, None) for row in cursor), filter, limit, offset)
                finally:
                    # A statement left open would hold a read snapshot on a pooled
                    # connection, and the next writer on it could fail at once.
                    cursor.close()
            ranked = ranked_scores(self._item_postings(conn, terms, condition, params))
            by_seq = {}
            if ranked:
                rows_in, row_params = self._in_rows("seq", [seq for seq, _ in ranked])
                by_seq = {
                    row[0]: row[1:]
                    for row in conn.execute(
                        self._q(
                            f"SELECT seq, {ITEM_COLUMNS} FROM {{items}}"
                            f" WHERE project = ? AND {rows_in}"
                        ),
                        (self.project, *row_params),
                    )
                }
            scored = ((by_seq[seq], score) for seq, score in ranked if seq in by_seq)
            return take_page(scored, filter, limit, offset)

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
        with self._read() as conn:
            rows = conn.execute(
                self._q(f"SELECT DISTINCT namespace FROM {{items}} WHERE {where}"), params
            ).fetchall()
        namespaces = [namespace_of(ns) for (ns,) in rows]
        return select_namespaces(namespaces, prefix, suffix, max_depth, limit, offset)


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
        self, agent_id: str, tool_name: str, session_id: str, since: str
    ) -> tuple[int, int]:
        """This agent's calls of this tool that gates let run: since ``since``, and within
        the session."""
        scope = "project = ? AND kind = 'gate' AND allowed = 1 AND agent_id = ? AND tool_name = ?"
        params = (self._s.project, agent_id, tool_name)
        recent = self._one(
            f"SELECT count(*) FROM {{events}} WHERE {scope} AND recorded_at >= ?", (*params, since)
        )
        session = self._one(
            f"SELECT count(*) FROM {{events}} WHERE {scope} AND session_id = ?",
            (*params, session_id),
        )
        return recent[0], session[0]

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
