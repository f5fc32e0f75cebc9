"""The SQL both databases run, written once.

A database module subclasses :class:`SQLStorage` and says what differs: how connections are
had (``_read``, ``_write``), its placeholder, its table names, how it indexes and matches
words (``_add_memories``, ``_memory_postings``, ``_item_postings``), its upsert
(``put_item``), how a filter reaches into a JSON value (``_filter_clause``) and how a list
of row numbers is passed (``_in_rows``). Statements here are written with ``?`` and table
names in braces; ``_q`` turns them into the database's own, once per statement.
"""

from __future__ import annotations

from collections.abc import Iterator
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

    def add_event(self, row: dict[str, Any]) -> None:
        body = dump_json(row)  # NUL leaves json.dumps escaped, as \u0000
        with self._write() as conn:
            conn.execute(
                self._q("INSERT INTO {events} (project, body) VALUES (?, ?)"), (self.project, body)
            )

    def list_events(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._read() as conn:
            rows = conn.execute(
                self._q(
                    "SELECT body FROM {events} WHERE project = ? ORDER BY seq LIMIT ? OFFSET ?"
                ),
                (self.project, NO_LIMIT if limit is None else limit, offset),
            ).fetchall()
        return [load_json(body) for (body,) in rows]

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
