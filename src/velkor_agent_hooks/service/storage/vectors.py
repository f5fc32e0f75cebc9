"""Vectors in the database: the memories' embeddings and the keyed store's item vectors.

The tables of record (schema version 5) are plain: ``memory_vectors`` holds a memory's unit
vector, ``item_vectors`` an item's vectors (one per indexed text), ``embedding_models`` the
model and dimension each project's memories are embedded with (and the dimension of its
items' vectors). Both vector tables hang off their rows by foreign key with ``ON DELETE
CASCADE``, so a row erased by any path takes its vectors along.

Searching needs the database's vector extension, and the index it searches depends on a
dimension only known once a project records one, so each database makes it then, for that
dimension (``_vector_index``):

* SQLite, with sqlite-vec: a ``vec0`` table of the vectors' sign bits per dimension, with
  the project as its partition and the session and user as filterable columns, emptied by a
  trigger as ``memory_vectors`` rows go. A search takes the nearest by Hamming distance
  (``PREFILTER`` times as many as wanted) and ranks those by exact cosine over the vectors
  of record. A database holding such an index erases memories only where sqlite-vec loads
  (SQLite prepares the trigger with every delete): elsewhere an erasure is refused whole.
* PostgreSQL, with pgvector: an HNSW index (cosine) over the vectors of that dimension,
  searched with iterative scans so that scope filters still fill the page.

The keyed store's vectors are searched exactly (they are few per namespace): cosine over
every vector of the items in scope, an item scoring its best.
"""

from __future__ import annotations

import struct
from typing import Any

from .common import namespace_key, prefix_range, pushable_filters, query_terms, ranked_scores

PREFILTER = 2


def blob(vector: list[float]) -> bytes:
    return struct.pack(f"<{len(vector)}f", *vector)


def sign_bits(vector: list[float]) -> bytes:
    """The vector's signs, a bit each, padded with zero bits to whole bytes."""
    out = bytearray((len(vector) + 7) // 8)
    for i, x in enumerate(vector):
        if x > 0:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out)


class VectorStorage:
    """What both databases share of vector storage; a dialect mixes in its part."""

    project: str

    # Each database's own.

    def vector_support(self) -> str | None:
        """None when vectors can be searched here, else why not."""
        raise NotImplementedError

    def _vector_index(self, conn: Any, kind: str, dim: int) -> None:
        """Makes the search index for vectors of ``dim`` (memories), if it is missing."""

    def _insert_memory_vectors(
        self, conn: Any, rows: list[tuple[int, str, str, list[float]]]
    ) -> None:
        """Stores (seq, session_id, user_id, vector) and indexes them."""
        raise NotImplementedError

    def _nearest_memories(
        self,
        conn: Any,
        vector: list[float],
        limit: int,
        scope: tuple[str | None, str | None, str],
    ) -> list[tuple[int, float]]:
        raise NotImplementedError

    def _nearest_items(
        self, conn: Any, vector: list[float], where: str, params: list[Any]
    ) -> dict[int, float]:
        """Each item in ``where`` that has vectors: its best cosine similarity."""
        raise NotImplementedError

    # Shared.

    def _model_row(self, conn: Any, kind: str) -> tuple[str, int] | None:
        row = conn.execute(
            self._q("SELECT model, dim FROM {models} WHERE project = ? AND kind = ?"),  # type: ignore[attr-defined]
            (self.project, kind),
        ).fetchone()
        return None if row is None else (row[0], row[1])

    def embedding_model(self, kind: str = "memories") -> tuple[str, int] | None:
        """(model, dimension) the project's memories ("memories") or items ("items") have."""
        with self._read() as conn:  # type: ignore[attr-defined]
            return self._model_row(conn, kind)

    def check_embedder(self, model: str) -> None:
        """Refuses an embedder other than the one the project's memories were embedded
        with, and one this storage cannot search with."""
        why = self.vector_support()
        if why is not None:
            raise ValueError(f"embeddings need vector search, which {why}")
        found = self.embedding_model("memories")
        if found is not None and found[0] != model:
            raise ValueError(_mismatch(self.project, found[0], model))

    def _claim_model(self, conn: Any, kind: str, model: str, dim: int) -> None:
        """Records (model, dim) for the project, or refuses a write that differs."""
        found = self._model_row(conn, kind)
        if found is None:
            conn.execute(
                self._q(  # type: ignore[attr-defined]
                    "INSERT INTO {models} (project, kind, model, dim) VALUES (?, ?, ?, ?)"
                    " ON CONFLICT (project, kind) DO NOTHING"
                ),
                (self.project, kind, model, dim),
            )
            self._vector_index(conn, kind, dim)
            found = self._model_row(conn, kind)
        if found is not None and found[0] != model:
            raise ValueError(_mismatch(self.project, found[0], model))
        if found is not None and found[1] != dim:
            raise ValueError(
                f"vectors of dimension {dim}, but project {self.project!r}'s {kind} have"
                f" vectors of dimension {found[1]}"
            )

    def _add_memory_vectors(
        self, conn: Any, model: str, rows: list[tuple[int, str, str, list[float]]]
    ) -> None:
        if rows:
            self._claim_model(conn, "memories", model, len(rows[0][3]))
            self._insert_memory_vectors(conn, rows)

    def nearest_memories(
        self,
        model: str,
        vector: list[float],
        limit: int,
        scope: tuple[str | None, str | None, str],
    ) -> list[tuple[int, float]]:
        """The ``limit`` live memories in (session, user, now) scope nearest to ``vector``,
        as (seq, cosine similarity), nearest first."""
        with self._read() as conn:  # type: ignore[attr-defined]
            found = self._model_row(conn, "memories")
            if found is None:
                return []
            if found[0] != model:
                raise ValueError(_mismatch(self.project, found[0], model))
            if found[1] != len(vector):
                raise ValueError(f"a query vector of dimension {len(vector)}, not {found[1]}")
            return self._nearest_memories(conn, vector, limit, scope)

    def memories_to_embed(self, after: int, batch: int) -> list[tuple[int, str]]:
        """(seq, text) of the project's memories past ``after`` that have no vector yet."""
        with self._read() as conn:  # type: ignore[attr-defined]
            return conn.execute(
                self._q(  # type: ignore[attr-defined]
                    "SELECT m.seq, m.text FROM {memories} m LEFT JOIN {memory_vectors} v"
                    " ON v.seq = m.seq WHERE m.project = ? AND m.seq > ? AND v.seq IS NULL"
                    " ORDER BY m.seq LIMIT ?"
                ),
                (self.project, after, batch),
            ).fetchall()

    def add_memory_vectors(self, model: str, vectors: dict[int, list[float]]) -> int:
        """Stores vectors for those memories that still exist and have none; how many."""
        if not vectors:
            return 0
        with self._write() as conn:  # type: ignore[attr-defined]
            rows_in, params = self._in_rows("m.seq", list(vectors))  # type: ignore[attr-defined]
            found = conn.execute(
                self._q(  # type: ignore[attr-defined]
                    "SELECT m.seq, m.session_id, m.user_id FROM {memories} m LEFT JOIN"
                    f" {{memory_vectors}} v ON v.seq = m.seq WHERE m.project = ? AND {rows_in}"
                    " AND v.seq IS NULL"
                ),
                (self.project, *params),
            ).fetchall()
            rows = [(seq, session, user, vectors[seq]) for seq, session, user in found]
            self._add_memory_vectors(conn, model, rows)
        return len(rows)

    def drop_memory_vectors(self) -> int:
        """Erases every memory vector of the project and the model they were made with."""
        with self._write() as conn:  # type: ignore[attr-defined]
            gone = conn.execute(
                self._q("DELETE FROM {memory_vectors} WHERE project = ?"),  # type: ignore[attr-defined]
                (self.project,),
            ).rowcount
            conn.execute(
                self._q("DELETE FROM {models} WHERE project = ? AND kind = 'memories'"),  # type: ignore[attr-defined]
                (self.project,),
            )
        return gone

    # Keyed store

    def _set_item_vectors(
        self, conn: Any, namespace: tuple[str, ...], key: str, vectors: list[list[float]] | None
    ) -> None:
        if not vectors:  # one statement, no reply to wait for
            conn.execute(
                self._q(  # type: ignore[attr-defined]
                    "DELETE FROM {item_vectors} WHERE item IN (SELECT seq FROM {items}"
                    " WHERE project = ? AND namespace = ? AND key = ?)"
                ),
                (self.project, namespace_key(namespace), key),
            )
            return
        row = conn.execute(
            self._q("SELECT seq FROM {items} WHERE project = ? AND namespace = ? AND key = ?"),  # type: ignore[attr-defined]
            (self.project, namespace_key(namespace), key),
        ).fetchone()
        if row is None:
            return
        conn.execute(self._q("DELETE FROM {item_vectors} WHERE item = ?"), (row[0],))  # type: ignore[attr-defined]
        self._claim_model(conn, "items", "", len(vectors[0]))
        self._insert_item_vectors(conn, row[0], vectors)

    def _insert_item_vectors(self, conn: Any, seq: int, vectors: list[list[float]]) -> None:
        raise NotImplementedError

    def _vector_search_items(
        self,
        txn: Any,
        namespace_prefix: tuple[str, ...],
        vector: list[float],
        query: str | None = None,
        filter: dict[str, Any] | None = None,
        limit: int = 10,
        offset: int = 0,
        refresh_ttl: bool = False,
    ) -> list[dict[str, Any]]:
        from .common import take_page
        from .sql import ITEM_COLUMNS, LIVE

        conn = txn.conn
        found = self._model_row(conn, "items")
        if found is not None and found[1] != len(vector):
            raise ValueError(
                f"a query vector of dimension {len(vector)}, but project {self.project!r}'s"
                f" items' vectors are of dimension {found[1]}"
            )
        where, params = ["project = ?", LIVE], [self.project, txn.now]
        if namespace_prefix:
            where.append("namespace >= ? AND namespace < ?")
            params.extend(prefix_range(namespace_prefix))
        for field, op, operand in pushable_filters(filter):
            clause = self._filter_clause(field, op, operand)  # type: ignore[attr-defined]
            if clause is not None:
                where.append(clause[0])
                params.extend(clause[1])
        condition = " AND ".join(where)
        similar = {} if found is None else self._nearest_items(conn, vector, condition, params)
        order = sorted(similar, key=lambda seq: (similar[seq], seq), reverse=True)
        terms = query_terms(query or "")
        if terms:
            words = ranked_scores(self._item_postings(txn, terms, condition, params))  # type: ignore[attr-defined]
            fused: dict[int, float] = {}
            for ranking in (order, [seq for seq, _ in words]):
                for rank, seq in enumerate(ranking, 1):
                    fused[seq] = fused.get(seq, 0.0) + 1.0 / (RRF_K + rank)
            order = sorted(fused, key=lambda seq: (fused[seq], seq), reverse=True)
        rows = {
            row[0]: row
            for row in conn.execute(
                self._q(f"SELECT {ITEM_COLUMNS} FROM {{items}} WHERE {condition}"),  # type: ignore[attr-defined]
                params,
            )
        }
        ranked = set(order)
        rest = sorted((seq for seq in rows if seq not in ranked), reverse=True)
        scored = ((rows[seq], similar.get(seq)) for seq in [*order, *rest] if seq in rows)
        return txn.items(take_page(scored, filter, limit, offset), refresh_ttl)  # type: ignore[no-any-return]


RRF_K = 10


def _mismatch(project: str, recorded: str, model: str) -> str:
    return (
        f"project {project!r}'s memories are embedded with {recorded!r}, not {model!r}:"
        f" keep that embedder, or re-embed them (velkor memories reembed --embedder {model})"
    )


class SQLiteVectors(VectorStorage):
    vectors_loaded: bool

    def vector_support(self) -> str | None:
        if self.vectors_loaded:
            return None
        return (
            "on SQLite needs sqlite-vec and a SQLite that loads extensions:"
            " pip install 'velkor-agent-hooks[embeddings]'"
        )

    def delete_memories(self, *args: Any, **kwargs: Any) -> int:
        try:
            return super().delete_memories(*args, **kwargs)  # type: ignore[misc]
        except Exception as exc:
            if "no such module: vec0" not in str(exc):
                raise
            raise ValueError(
                "this database holds a memory vector index: erasing memories needs sqlite-vec"
                " (pip install 'velkor-agent-hooks[embeddings]'); nothing was erased"
            ) from None

    def _vector_index(self, conn: Any, kind: str, dim: int) -> None:
        if kind != "memories":
            return
        if not self.vectors_loaded:
            raise ValueError(f"storing memory vectors {self.vector_support()}")
        bits = (dim + 7) // 8 * 8
        conn.execute(
            f"CREATE VIRTUAL TABLE IF NOT EXISTS memory_bits_{bits} USING vec0("
            f" project TEXT PARTITION KEY, session_id TEXT, user_id TEXT, bits BIT[{bits}])"
        )
        conn.execute(
            f"CREATE TRIGGER IF NOT EXISTS memory_bits_{bits}_unindex AFTER DELETE ON"
            f" memory_vectors WHEN (length(old.vector) / 4 + 7) / 8 * 8 = {bits}"
            f" BEGIN DELETE FROM memory_bits_{bits} WHERE rowid = old.seq; END"
        )

    def _insert_memory_vectors(
        self, conn: Any, rows: list[tuple[int, str, str, list[float]]]
    ) -> None:
        bits = (len(rows[0][3]) + 7) // 8 * 8
        conn.executemany(
            "INSERT INTO memory_vectors (seq, project, vector) VALUES (?, ?, ?)",
            [(seq, self.project, blob(vector)) for seq, _, _, vector in rows],
        )
        conn.executemany(
            f"INSERT INTO memory_bits_{bits} (rowid, project, session_id, user_id, bits)"
            " VALUES (?, ?, ?, ?, vec_bit(?))",
            [(seq, self.project, s, u, sign_bits(vector)) for seq, s, u, vector in rows],
        )

    def _nearest_memories(
        self,
        conn: Any,
        vector: list[float],
        limit: int,
        scope: tuple[str | None, str | None, str],
    ) -> list[tuple[int, float]]:
        session_id, user_id, now = scope
        bits = (len(vector) + 7) // 8 * 8
        where, params = "", [sign_bits(vector), limit * PREFILTER, self.project]
        for column, value in (("session_id", session_id), ("user_id", user_id)):
            if value is not None:
                where += f" AND {column} = ?"
                params.append(value)
        near = [
            seq
            for (seq,) in conn.execute(
                f"SELECT rowid FROM memory_bits_{bits} WHERE bits MATCH vec_bit(?) AND k = ?"
                f" AND project = ?{where}",
                params,
            )
        ]
        if not near:
            return []
        marks = ",".join("?" * len(near))
        found = conn.execute(
            "SELECT v.seq, 1 - vec_distance_cosine(v.vector, ?) FROM memory_vectors v"
            " JOIN memories m ON m.seq = v.seq"
            f" WHERE v.seq IN ({marks}) AND (m.expires_at IS NULL OR m.expires_at > ?)",
            (blob(vector), *near, now),
        ).fetchall()
        found.sort(key=lambda pair: (pair[1], pair[0]), reverse=True)
        return found[:limit]

    def _nearest_items(
        self, conn: Any, vector: list[float], where: str, params: list[Any]
    ) -> dict[int, float]:
        if not self.vectors_loaded:
            raise ValueError(f"searching by vector {self.vector_support()}")
        return dict(
            conn.execute(
                "SELECT iv.item, max(1 - vec_distance_cosine(iv.vector, ?)) FROM item_vectors iv"
                f" JOIN items ON items.seq = iv.item WHERE {where} GROUP BY iv.item",
                (blob(vector), *params),
            ).fetchall()
        )

    def _insert_item_vectors(self, conn: Any, seq: int, vectors: list[list[float]]) -> None:
        conn.executemany(
            "INSERT INTO item_vectors (item, n, vector) VALUES (?, ?, ?)",
            [(seq, n, blob(v)) for n, v in enumerate(vectors)],
        )


def _literal(vector: list[float]) -> str:
    # pgvector's text form: no adapter needed in psycopg.
    return "[" + ",".join(repr(x) for x in vector) + "]"


class PostgresVectors(VectorStorage):
    _vectors_ok = False

    def vector_support(self) -> str | None:
        if self._vectors_ok:
            return None
        with self._read() as conn:  # type: ignore[attr-defined]
            row = conn.execute(
                "SELECT installed_version FROM pg_available_extensions WHERE name = 'vector'"
            ).fetchone()
            if row is None:
                return "on PostgreSQL needs the pgvector extension on the server"
        if row[0] is None:
            import psycopg

            try:
                with self._write() as conn:  # type: ignore[attr-defined]
                    conn.execute("CREATE EXTENSION IF NOT EXISTS vector")
            except psycopg.Error as exc:
                return f"on PostgreSQL needs the pgvector extension created: {exc}"
        self._vectors_ok = True
        return None

    def _vector_index(self, conn: Any, kind: str, dim: int) -> None:
        if kind != "memories":
            return
        # Servers recording a first dimension together make its index once.
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_INDEX_LOCK,))
        conn.execute(
            f"CREATE INDEX IF NOT EXISTS velkor_memory_vectors_{dim} ON velkor_memory_vectors"
            f" USING hnsw ((vector::vector({dim})) vector_cosine_ops) WHERE dim = {dim}"
        )

    def _insert_memory_vectors(
        self, conn: Any, rows: list[tuple[int, str, str, list[float]]]
    ) -> None:
        with conn.cursor() as cur:
            cur.executemany(
                "INSERT INTO velkor_memory_vectors (seq, project, dim, vector)"
                " VALUES (%s, %s, %s, %s)",
                [(seq, self.project, len(v), v) for seq, _, _, v in rows],
            )

    def _nearest_memories(
        self,
        conn: Any,
        vector: list[float],
        limit: int,
        scope: tuple[str | None, str | None, str],
    ) -> list[tuple[int, float]]:
        dim = len(vector)
        where, params = self._memory_scope(*scope, alias="m")  # type: ignore[attr-defined]
        distance = f"v.vector::vector({dim}) <=> %s::vector({dim})"
        with conn.transaction():
            # Scope filters apply after the index: it is read on until the page is full.
            conn.execute("SET LOCAL hnsw.iterative_scan = relaxed_order")
            found = conn.execute(
                f"SELECT v.seq, 1 - ({distance}) FROM velkor_memory_vectors v"
                f" JOIN velkor_memories m ON m.seq = v.seq WHERE v.dim = {dim}"
                f" AND v.project = %s AND {self._q(where)} ORDER BY {distance} LIMIT %s",  # type: ignore[attr-defined]
                (_literal(vector), self.project, *params, _literal(vector), limit),
            ).fetchall()
        found.sort(key=lambda pair: (pair[1], pair[0]), reverse=True)
        return found

    def _nearest_items(
        self, conn: Any, vector: list[float], where: str, params: list[Any]
    ) -> dict[int, float]:
        why = self.vector_support()
        if why is not None:
            raise ValueError(f"searching by vector {why}")
        return dict(
            conn.execute(
                "SELECT iv.item, max(1 - (iv.vector::vector <=> %s::vector))"
                " FROM velkor_item_vectors iv JOIN velkor_items ON seq = iv.item"
                f" WHERE {self._q(where)} GROUP BY iv.item",  # type: ignore[attr-defined]
                (_literal(vector), *params),
            ).fetchall()
        )

    def _insert_item_vectors(self, conn: Any, seq: int, vectors: list[list[float]]) -> None:
        with conn.cursor() as cur:
            cur.executemany(
                "INSERT INTO velkor_item_vectors (item, n, vector) VALUES (%s, %s, %s)",
                [(seq, n, v) for n, v in enumerate(vectors)],
            )


_INDEX_LOCK = 0x766563746F72
