"""PostgreSQL storage (psycopg 3 with a connection pool): one database for many servers.

Install with the ``postgres`` extra. The schema is migrated on first use, under an advisory
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
from contextlib import AbstractContextManager, contextmanager
from typing import Any
from urllib.parse import urlsplit

from . import migrations
from .common import (
    CANDIDATES,
    COMMON_WORD,
    ORDERING,
    dump_json,
    item_row,
    namespace_key,
    value_text,
)
from .sql import MEMORY_COLUMNS, WRITE_COLUMNS, ItemTxn, SQLStorage, expiry
from .vectors import PostgresVectors

try:
    import psycopg
    from psycopg_pool import ConnectionPool
except ImportError:  # pragma: no cover - depends on the installed extra
    psycopg = None  # type: ignore[assignment]

SCHEMA_LOCK = 0x76656C6B6F72  # advisory lock key held while migrating
AUDIT_LOCK = 0x766C6B  # with the project's hash: the lock of its audit appends
POOL_SIZE = 10


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
_schema_found: dict[str, int] = {}  # url -> the version its first opening found


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
            _schema_found[url] = _migrate(pool, url)
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


def _migrate(pool: ConnectionPool, url: str) -> int:
    with pool.connection() as conn, conn.transaction():
        # Servers starting together queue here; the first upgrades, the rest find it done.
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))
        conn.execute("CREATE TABLE IF NOT EXISTS velkor_schema (version integer NOT NULL)")
        row = conn.execute("SELECT max(version) FROM velkor_schema").fetchone()
        found = row[0] if row and row[0] is not None else None
        if found is None:
            # The first release made its tables without recording a version.
            legacy = conn.execute("SELECT to_regclass('velkor_memories')").fetchone()
            found = 1 if legacy and legacy[0] is not None else 0
        steps = migrations.plan("PostgreSQL", found)
        migrations.apply(conn, steps)
        conn.execute("DELETE FROM velkor_schema")
        conn.execute("INSERT INTO velkor_schema (version) VALUES (%s)", (migrations.LATEST,))
    migrations.report(_shown(url), found)
    return found


def _shown(url: str) -> str:
    # Where, without the password a URL may carry.
    parts = urlsplit(url)
    host = parts.hostname or "localhost"
    port = f":{parts.port}" if parts.port else ""
    return f"postgresql://{host}{port}{parts.path}"


class _Closed:
    def connection(self) -> Any:
        raise ValueError("the storage is closed")


_CLOSED: Any = _Closed()


class PostgresStorage(PostgresVectors, SQLStorage):
    """One project's memories, audit and keyed store in a PostgreSQL database."""

    kind = "postgresql"
    PLACEHOLDER = "%s"
    TABLES = (
        ("memories", "velkor_memories"),
        ("events", "velkor_events"),
        ("items", "velkor_items"),
        ("approvals", "velkor_approvals"),
        ("scopes", "velkor_memory_scopes"),
        ("models", "velkor_embedding_models"),
        ("memory_vectors", "velkor_memory_vectors"),
        ("item_vectors", "velkor_item_vectors"),
    )
    # Round trips cost more than rows here: a large first batch.
    TEXT_BATCHES = (256, 1 << 20)

    def __init__(self, url: str, project: str) -> None:
        if psycopg is None:
            raise ValueError(
                "PostgreSQL storage needs psycopg: pip install 'velkor-agent-hooks[postgres]'"
            )
        self.project = project
        self._pool = _acquire_pool(url)
        self._release = weakref.finalize(self, _release_pool, url)
        self.schema_found = _schema_found[url]

    def _read(self) -> AbstractContextManager[Any]:
        return self._pool.connection()

    @contextmanager
    def _write(self) -> Iterator[Any]:
        with self._pool.connection() as conn, conn.transaction():
            yield conn

    @contextmanager
    def _pipelined(self, txn: ItemTxn, count: int) -> Iterator[None]:
        # A batch's statements go out together (psycopg's pipeline mode): a round trip a
        # batch, not one a statement. A reply read early (a word search's postings) costs
        # one round trip for what was sent before it.
        if count < 2:
            yield
            return
        with txn.conn.pipeline():
            txn.deferred = True
            try:
                yield
            finally:
                txn.deferred = False

    def _lock_audit(self, conn: Any) -> None:
        # Every server on the database appends a project's events in turn, so each reads
        # the head of the chain, and the rate counts, as the last append left them.
        conn.execute("SELECT pg_advisory_xact_lock(%s, hashtext(%s))", (AUDIT_LOCK, self.project))

    def _in_rows(self, column: str, seqs: list[int]) -> tuple[str, list[Any]]:
        return f"{column} = ANY(?::bigint[])", [list(seqs)]

    def _insert_memories(self, conn: Any, rows: list[dict[str, Any]]) -> list[int]:
        for row in rows:
            _no_nul("memory", *(row[c] for c in MEMORY_COLUMNS))
        with conn.cursor() as cur:
            cur.executemany(
                f"INSERT INTO velkor_memories (project, {', '.join(WRITE_COLUMNS)}, words)"
                f" VALUES (%s{', %s' * len(WRITE_COLUMNS)}, to_tsvector('simple', %s))"
                " RETURNING seq",
                [(self.project, *(row[c] for c in WRITE_COLUMNS), row["terms"]) for row in rows],
                returning=True,
            )
            seqs = []
            while True:
                seqs.extend(seq for (seq,) in cur.fetchall())
                if not cur.nextset():
                    return seqs

    def _postings(
        self, conn: Any, terms: list[str], limit: int, session_id: str | None, user_id: str | None
    ) -> dict[str, list[int]]:
        # One round trip for every term; terms are letters and digits, one lexeme each.
        where, params = self._memory_scope(session_id, user_id)
        parts, args = [], []
        for index, term in enumerate(terms):
            parts.append(
                f"(SELECT {index} AS term, seq FROM velkor_memories"
                f" WHERE {self._q(where)} AND words @@ to_tsquery('simple', %s)"
                " ORDER BY seq DESC LIMIT %s)"
            )
            args.extend((*params, term, limit))
        found: dict[str, list[int]] = {term: [] for term in terms}
        for index, seq in conn.execute(" UNION ALL ".join(parts), args):
            found[terms[index]].append(seq)
        for seqs in found.values():
            seqs.sort(reverse=True)
        return found

    def _neighbours(
        self,
        conn: Any,
        centres: list[tuple[int, str]],
        radius: int,
        scope_of: tuple[str | None, str | None, str],
    ) -> dict[int, list[tuple[Any, ...]]]:
        # Every centre's neighbours in one round trip.
        found: dict[int, list[tuple[Any, ...]]] = {seq: [] for seq, _ in centres}
        if not centres:
            return found
        where, params = self._memory_scope(*scope_of, alias="m")
        scope = self._q(where)
        rows = conn.execute(
            "SELECT c.seq, n.seq, n.terms, n.timestamp, n.session_id"
            " FROM unnest(%s::bigint[], %s::text[]) AS c(seq, session_id), LATERAL ("
            f"  (SELECT m.seq, m.terms, m.timestamp, m.session_id FROM velkor_memories m"
            f"   WHERE {scope} AND m.session_id = c.session_id AND m.seq < c.seq"
            "   ORDER BY m.seq DESC LIMIT %s)"
            "  UNION ALL"
            f"  (SELECT m.seq, m.terms, m.timestamp, m.session_id FROM velkor_memories m"
            f"   WHERE {scope} AND m.session_id = c.session_id AND m.seq > c.seq"
            "   ORDER BY m.seq LIMIT %s)) AS n",
            (
                [seq for seq, _ in centres],
                [session for _, session in centres],
                *params,
                radius,
                *params,
                radius,
            ),
        ).fetchall()
        for centre, *row in rows:
            found[centre].append(tuple(row))
        for near in found.values():
            near.sort()
        return found

    def _item_postings(
        self, txn: ItemTxn, terms: list[str], where: str, params: list[Any]
    ) -> list[list[tuple[int, float]]]:
        return _weights(_per_term(txn.conn, "velkor_items", self._q(where), params, terms))

    def _filter_clause(self, field: str, op: str, operand: Any) -> tuple[str, list[Any]] | None:
        if "\x00" in field or (isinstance(operand, str) and "\x00" in operand):
            return "FALSE", []  # nothing stored here holds NUL
        if op == "$eq":
            return "doc -> ? = ANY(?::jsonb[])", [field, _json_equals(operand)]
        return (
            f"jsonb_typeof(doc -> ?) = 'number' AND (doc -> ?)::numeric {ORDERING[op]}::numeric",
            [field, field, operand],
        )

    def _put_item(
        self,
        txn: ItemTxn,
        namespace: tuple[str, ...],
        key: str,
        value: dict[str, Any],
        ttl: float | None = None,
    ) -> dict[str, Any]:
        ns, body, now = namespace_key(namespace), dump_json(value), txn.now
        # jsonb refuses \u0000 as PostgreSQL text refuses NUL.
        _no_nul("item", ns, key, *_strings(value))
        cursor = txn.conn.execute(
            "INSERT INTO velkor_items AS i (project, namespace, key, seq, value, doc, words,"
            " created_at, updated_at, expires_at, ttl) VALUES (%s, %s, %s,"
            " nextval('velkor_items_seq'), %s, %s::jsonb, to_tsvector('simple', %s), %s, %s,"
            " %s, %s) ON CONFLICT (project, namespace, key) DO UPDATE SET seq = excluded.seq,"
            " value = excluded.value, doc = excluded.doc, words = excluded.words,"
            " updated_at = excluded.updated_at, expires_at = excluded.expires_at,"
            " ttl = excluded.ttl, created_at = CASE WHEN i.expires_at <= excluded.updated_at"
            " THEN excluded.created_at ELSE i.created_at END RETURNING i.created_at",
            (
                self.project,
                ns,
                key,
                body,
                body,
                _fold(value_text(value)),
                now,
                now,
                expiry(now, ttl),
                ttl,
            ),
        )

        def finish() -> dict[str, Any]:
            row = cursor.fetchone()
            assert row is not None
            return item_row(ns, key, body, row[0], now)

        return txn.settle(finish)  # type: ignore[no-any-return]

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
