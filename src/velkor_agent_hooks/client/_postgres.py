"""PostgreSQL storage (psycopg 3 with a connection pool): one database for many servers.

Install with the ``postgres`` extra. The tables are created on first use, under an advisory
lock so that servers starting together do not race. Every acknowledged write is one committed
transaction. Relevance is PostgreSQL's own text search: a ``simple`` tsvector per row under a
GIN index, ``ts_rank`` (normalised by the log of the row's length) per query word, weighted by
how rare the word is among the newest matches.

PostgreSQL text cannot hold the NUL character, so text holding one is refused here with
``ValueError`` before anything is written.
"""

from __future__ import annotations

import math
import threading
import unicodedata
import weakref
from collections.abc import Iterator
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
    select_namespaces,
    take_page,
    value_text,
)

try:
    import psycopg
    from psycopg_pool import ConnectionPool
except ImportError:  # pragma: no cover - depends on the installed extra
    psycopg = None  # type: ignore[assignment]

SCHEMA_LOCK = 0x76656C6B6F72  # advisory lock key held while creating the tables
POOL_SIZE = 10

_SCHEMA = """
CREATE TABLE IF NOT EXISTS velkor_memories (
    seq bigserial PRIMARY KEY,
    project text NOT NULL,
    id text NOT NULL,
    session_id text NOT NULL,
    role text NOT NULL,
    text text NOT NULL,
    user_id text NOT NULL,
    timestamp text NOT NULL,
    words tsvector NOT NULL
);
CREATE INDEX IF NOT EXISTS velkor_memories_words ON velkor_memories
    USING gin (words) WITH (fastupdate = off);
CREATE INDEX IF NOT EXISTS velkor_memories_recent ON velkor_memories (project, seq);
CREATE INDEX IF NOT EXISTS velkor_memories_session
    ON velkor_memories (project, session_id, seq);
CREATE TABLE IF NOT EXISTS velkor_events (
    seq bigserial PRIMARY KEY,
    project text NOT NULL,
    body text NOT NULL
);
CREATE INDEX IF NOT EXISTS velkor_events_recent ON velkor_events (project, seq);
CREATE SEQUENCE IF NOT EXISTS velkor_items_seq;
CREATE TABLE IF NOT EXISTS velkor_items (
    project text NOT NULL,
    namespace text COLLATE "C" NOT NULL,
    key text NOT NULL,
    seq bigint NOT NULL,
    value text NOT NULL,
    doc jsonb NOT NULL,
    words tsvector NOT NULL,
    created_at text NOT NULL,
    updated_at text NOT NULL,
    PRIMARY KEY (project, namespace, key)
);
CREATE INDEX IF NOT EXISTS velkor_items_words ON velkor_items
    USING gin (words) WITH (fastupdate = off);
CREATE INDEX IF NOT EXISTS velkor_items_recent ON velkor_items (project, seq);
"""

_MEMORY_COLUMNS = ("id", "session_id", "role", "text", "user_id", "timestamp")
_ITEM_COLUMNS = "namespace, key, value, created_at, updated_at"


def _no_nul(name: str, *values: str) -> None:
    if any("\x00" in value for value in values):
        raise ValueError(f"{name} holds a NUL character, which PostgreSQL cannot store")


def _strings(value: Any) -> Iterator[str]:
    # Keys too: jsonb refuses \u0000 anywhere.
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from _strings(item)
    elif isinstance(value, list):
        for item in value:
            yield from _strings(item)


def _fold(text: str) -> str:
    # Accents do not count, as in the SQLite index; the unaccent extension may not be there.
    return "".join(c for c in unicodedata.normalize("NFKD", text) if not unicodedata.combining(c))


def _per_term(
    conn: Any, table: str, where: str, params: Any, terms: list[str]
) -> list[list[tuple[int, float]]]:
    """The newest matches of each word with their rank, in one round trip."""
    parts, args = [], []
    for index, term in enumerate(terms):
        parts.append(
            f"(SELECT {index} AS term, seq, ts_rank(words, q, 1) FROM {table},"
            " plainto_tsquery('simple', %s) q"
            f" WHERE {where} AND words @@ q ORDER BY seq DESC LIMIT {CANDIDATES})"
        )
        args.extend((_fold(term), *params))
    per_term: list[list[tuple[int, float]]] = [[] for _ in terms]
    for index, seq, rank in conn.execute(" UNION ALL ".join(parts), args):
        per_term[index].append((seq, rank))
    return per_term


def _weights(per_term: list[list[tuple[int, float]]]) -> list[list[tuple[int, float]]]:
    # ts_rank knows nothing of other rows: a word found in fewer of the newest rows counts more.
    # A word found in CANDIDATES rows or more only counts as matched.
    weighted = []
    for rows in per_term:
        if len(rows) >= CANDIDATES:
            weighted.append([(seq, COMMON_WORD) for seq, _ in rows])
        elif rows:
            idf = math.log(1 + CANDIDATES / len(rows))
            weighted.append([(seq, rank * idf) for seq, rank in rows])
    return weighted


# One pool per database URL in a process, shared by every project's storage on it: a server
# serving many projects must not hold POOL_SIZE connections for each of them.
_pools: dict[str, tuple[ConnectionPool, int]] = {}  # url -> (pool, storages using it)
_pools_lock = threading.Lock()


def _acquire_pool(url: str) -> ConnectionPool:
    with _pools_lock:
        if url in _pools:
            pool, users = _pools[url]
            _pools[url] = pool, users + 1
            return pool
        # Reads need no transaction; writes open one each (conn.transaction()).
        pool = ConnectionPool(
            url, min_size=1, max_size=POOL_SIZE, open=False, kwargs={"autocommit": True}
        )
        try:
            pool.open(wait=True, timeout=30)
            with pool.connection() as conn, conn.transaction():
                conn.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))
                conn.execute(_SCHEMA)
        except BaseException:
            pool.close()
            raise
        _pools[url] = pool, 1
        return pool


def _release_pool(url: str) -> None:
    with _pools_lock:
        pool, users = _pools.pop(url)
        if users > 1:
            _pools[url] = pool, users - 1
            return
    pool.close()


class _Closed:
    def connection(self) -> Any:
        raise ValueError("the storage is closed")


_CLOSED: Any = _Closed()


class PostgresStorage:
    """One project's memories, audit and keyed store in a PostgreSQL database."""

    kind = "postgresql"

    def __init__(self, url: str, project: str) -> None:
        if psycopg is None:
            raise ValueError(
                "PostgreSQL storage needs psycopg: pip install 'velkor-agent-hooks[postgres]'"
            )
        self.project = project
        self._pool = _acquire_pool(url)
        self._release = weakref.finalize(self, _release_pool, url)

    # Memories

    def add_memories(self, rows: list[dict[str, Any]]) -> None:
        for row in rows:
            _no_nul("memory", *(row[c] for c in _MEMORY_COLUMNS))
        with self._pool.connection() as conn, conn.transaction(), conn.cursor() as cur:
            cur.executemany(
                "INSERT INTO velkor_memories"
                " (project, id, session_id, role, text, user_id, timestamp, words)"
                " VALUES (%s, %s, %s, %s, %s, %s, %s, to_tsvector('simple', %s))",
                [
                    (self.project, *(row[c] for c in _MEMORY_COLUMNS), _fold(row["text"]))
                    for row in rows
                ],
            )

    def ranked_texts(self, query: str, session_id: str | None) -> Iterator[str]:
        terms = query_terms(query)
        where, params = self._memory_scope(session_id)
        if not terms:
            return self._recent_texts(where, params)
        with self._pool.connection() as conn:
            per_term = _per_term(conn, "velkor_memories", where, params, terms)
        order = [seq for seq, _ in ranked_scores(_weights(per_term))]
        return self._texts_of(order, where, params)

    def _memory_scope(self, session_id: str | None) -> tuple[str, tuple[str, ...]]:
        if session_id is None:
            return "project = %s", (self.project,)
        return "project = %s AND session_id = %s", (self.project, session_id)

    def _texts_of(self, order: list[int], where: str, params: tuple[str, ...]) -> Iterator[str]:
        # Round trips cost more than rows here: a first batch, then the rest at once.
        size, start = 256, 0
        while start < len(order):
            batch = order[start : start + size]
            start, size = start + size, len(order)
            with self._pool.connection() as conn:
                texts = dict(
                    conn.execute(
                        f"SELECT seq, text FROM velkor_memories WHERE {where}"
                        " AND seq = ANY(%s::bigint[])",
                        (*params, batch),
                    ).fetchall()
                )
            yield from (texts[seq] for seq in batch if seq in texts)

    def _recent_texts(self, where: str, params: tuple[str, ...]) -> Iterator[str]:
        size, before = 32, 2**63 - 1
        while True:
            with self._pool.connection() as conn:
                rows = conn.execute(
                    f"SELECT seq, text FROM velkor_memories WHERE {where} AND seq < %s"
                    " ORDER BY seq DESC LIMIT %s",
                    (*params, before, size),
                ).fetchall()
            yield from (text for _, text in rows)
            if len(rows) < size:
                return
            before, size = rows[-1][0], min(size * 2, 512)

    def list_memories(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._pool.connection() as conn:
            rows = conn.execute(
                f"SELECT {', '.join(_MEMORY_COLUMNS)} FROM velkor_memories WHERE project = %s"
                " ORDER BY seq LIMIT %s OFFSET %s",
                (self.project, limit, offset),
            ).fetchall()
        return [dict(zip(_MEMORY_COLUMNS, row, strict=True)) for row in rows]

    # Audit

    def add_event(self, row: dict[str, Any]) -> None:
        body = dump_json(row)  # NUL leaves json.dumps escaped, as \u0000
        with self._pool.connection() as conn, conn.transaction():
            conn.execute(
                "INSERT INTO velkor_events (project, body) VALUES (%s, %s)", (self.project, body)
            )

    def list_events(self, limit: int | None = None, offset: int = 0) -> list[dict[str, Any]]:
        with self._pool.connection() as conn:
            rows = conn.execute(
                "SELECT body FROM velkor_events WHERE project = %s ORDER BY seq LIMIT %s OFFSET %s",
                (self.project, limit, offset),
            ).fetchall()
        return [load_json(body) for (body,) in rows]

    def counts(self) -> tuple[int, int]:
        with self._pool.connection() as conn:
            row = conn.execute(
                "SELECT (SELECT count(*) FROM velkor_memories WHERE project = %s),"
                " (SELECT count(*) FROM velkor_events WHERE project = %s)",
                (self.project, self.project),
            ).fetchone()
        assert row is not None
        return row[0], row[1]

    # Keyed store

    def put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any], now: str
    ) -> dict[str, Any]:
        ns, body = namespace_key(namespace), dump_json(value)
        # jsonb refuses \u0000 as PostgreSQL text refuses NUL.
        _no_nul("item", ns, key, *_strings(value))
        with self._pool.connection() as conn, conn.transaction():
            row = conn.execute(
                "INSERT INTO velkor_items AS i (project, namespace, key, seq, value, doc, words,"
                " created_at, updated_at) VALUES (%s, %s, %s, nextval('velkor_items_seq'), %s,"
                " %s::jsonb, to_tsvector('simple', %s), %s, %s)"
                " ON CONFLICT (project, namespace, key) DO UPDATE SET seq = excluded.seq,"
                " value = excluded.value, doc = excluded.doc, words = excluded.words,"
                " updated_at = excluded.updated_at RETURNING i.created_at",
                (self.project, ns, key, body, body, _fold(value_text(value)), now, now),
            ).fetchone()
        assert row is not None
        return item_row(ns, key, body, row[0], now)

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        with self._pool.connection() as conn:
            row = conn.execute(
                f"SELECT {_ITEM_COLUMNS} FROM velkor_items"
                " WHERE project = %s AND namespace = %s AND key = %s",
                (self.project, namespace_key(namespace), key),
            ).fetchone()
        return None if row is None else item_row(*row)

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        with self._pool.connection() as conn, conn.transaction():
            cur = conn.execute(
                "DELETE FROM velkor_items WHERE project = %s AND namespace = %s AND key = %s",
                (self.project, namespace_key(namespace), key),
            )
            return cur.rowcount > 0

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        where, params = ["project = %s"], [self.project]
        if prefix:
            where.append("namespace >= %s AND namespace < %s")
            params.extend(prefix_range(prefix))
        for field, wanted in pushable_filters(filter):
            where.append("doc -> %s = ANY(%s::jsonb[])")
            params.extend((field, _json_equals(wanted)))
        condition = " AND ".join(where)
        terms = query_terms(query or "")
        with self._pool.connection() as conn:
            if not terms:
                rows = conn.execute(
                    f"SELECT {_ITEM_COLUMNS} FROM velkor_items WHERE {condition} ORDER BY seq DESC",
                    params,
                )
                scored: Iterator[tuple[tuple[Any, ...], float | None]] = (
                    (row, None) for row in rows
                )
            else:
                per_term = _per_term(conn, "velkor_items", condition, params, terms)
                ranked = ranked_scores(_weights(per_term))
                by_seq = (
                    {}
                    if not ranked
                    else {
                        row[0]: row[1:]
                        for row in conn.execute(
                            f"SELECT seq, {_ITEM_COLUMNS} FROM velkor_items"
                            " WHERE project = %s AND seq = ANY(%s::bigint[])",
                            (self.project, [seq for seq, _ in ranked]),
                        )
                    }
                )
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
        where, params = "project = %s", [self.project]
        literal = literal_prefix(prefix)
        if literal:
            where += " AND namespace >= %s AND namespace < %s"
            params.extend(prefix_range(literal))
        with self._pool.connection() as conn:
            rows = conn.execute(
                f"SELECT DISTINCT namespace FROM velkor_items WHERE {where}", params
            )
            namespaces = [namespace_of(ns) for (ns,) in rows]
        return select_namespaces(namespaces, prefix, suffix, max_depth, limit, offset)

    def close(self) -> None:
        self._pool = _CLOSED
        self._release()


def _json_equals(wanted: Any) -> list[str]:
    """The JSON texts whose jsonb equals what Python's == would take for ``wanted``."""
    texts = [dump_json(wanted)]
    if not isinstance(wanted, str | None):
        if wanted == 1:
            texts += ["true", "1"]
        elif wanted == 0:
            texts += ["false", "0"]
    return texts
