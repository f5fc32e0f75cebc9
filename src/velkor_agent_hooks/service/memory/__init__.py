"""Memory: what is remembered, how it is recalled, and when it is forgotten.

A memory is analysed once when written (``text.analyze``); ``recall`` ranks a scope's live
memories for a query (``recall.rank``), and ``context`` packs the same ranking into a token
budget: texts that do not fit are skipped, and after ``MISSES_BEFORE_FULL`` in a row the
budget counts as full. A memory with a time to live is never returned once it has expired,
and is purged. Every erasure, asked for or by expiry, is an audit event.
"""

from __future__ import annotations

import hashlib
import math
import time
import uuid
from collections.abc import Callable, Iterable
from typing import Any

from ...client._types import ContextResult, estimate_tokens
from ..clock import later, now
from ..storage import Storage
from .embeddings import VECTOR_CANDIDATES, Embedder, fuse
from .recall import rank
from .text import analyze

SEPARATOR = "\n"
MISSES_BEFORE_FULL = 32
# How many ranked memories context reads at most before packing: more than any budget takes.
CONTEXT_CANDIDATES = 200
PURGE_EVERY = 1.0
PURGE_BATCH = 500


class Memory:
    def __init__(
        self,
        storage: Storage,
        audit: Callable[[dict[str, Any]], Any],
        default_ttl: float | None = None,
        embedder: Embedder | None = None,
    ) -> None:
        self.storage = storage
        self.default_ttl = default_ttl
        # Memories are embedded before they are stored, and ranked by words and vectors.
        self.embedder = embedder
        if embedder is not None:
            storage.check_embedder(embedder.name)
        self._audit = audit
        self._next_purge = 0.0

    def op_remember(
        self,
        turns: list[tuple[str, str]],
        session_id: str,
        user_id: str,
        timestamp: str,
        ttl: float | None = None,
    ) -> dict[str, Any]:
        self.purge()
        created = now()
        ttl = self.default_ttl if ttl is None else ttl
        rows = [
            {
                "id": f"mem_{uuid.uuid4().hex}",
                "session_id": session_id,
                "role": role,
                "text": text,
                "user_id": user_id,
                "timestamp": timestamp or created,
                "created_at": created,
                "terms": " ".join(analyze(text)),
                "expires_at": None if ttl is None else later(ttl),
            }
            for role, text in turns
        ]
        if self.embedder is None:
            self.storage.add_memories(rows)
        else:
            vectors = self.embedder([text for _, text in turns])
            self.storage.add_memories(rows, vectors, self.embedder.name)
        ids = [row["id"] for row in rows]
        return {"stored": len(ids), "ids": ids, "session_id": session_id}

    def op_context(self, query: str, max_tokens: int, session_id: str | None) -> ContextResult:
        when = now()
        if not analyze(query):
            texts: Iterable[str] = self.storage.recent_texts(session_id, when)
            return pack_context(texts, max_tokens, ranked_by_query=False)
        found = self._ranked(query, CONTEXT_CANDIDATES, session_id, None, when)
        return pack_context((row["text"] for row, _ in found), max_tokens, ranked_by_query=True)

    def op_recall(
        self, query: str, limit: int, session_id: str | None, user_id: str | None
    ) -> list[dict[str, Any]]:
        found = self._ranked(query, limit, session_id, user_id, now())
        return [{**row, "score": score} for row, score in found]

    def _ranked(
        self, query: str, limit: int, session_id: str | None, user_id: str | None, when: str
    ) -> list[tuple[dict[str, Any], float]]:
        if limit == 0:
            return []
        source = self.storage.memory_source(session_id, user_id, when)
        if self.embedder is None:
            ranked = rank(source, query, limit=limit)
        else:
            # Fusion reads both lists deeper than the page.
            lexical = rank(source, query, limit=max(limit, CONTEXT_CANDIDATES))
            near = self.storage.nearest_memories(
                self.embedder.name,
                self.embedder.query(query),
                VECTOR_CANDIDATES,
                (session_id, user_id, when),
            )
            ranked = fuse(lexical, near, limit)
        rows = self.storage.memories_by_seq([seq for seq, _ in ranked], when)
        return [(rows[seq], score) for seq, score in ranked if seq in rows]

    def op_memories(self, limit: int | None, offset: int) -> list[dict[str, Any]]:
        return self.storage.list_memories(limit, offset, now())

    def op_forget(self, memory_id: str | None, session_id: str | None, user_id: str | None) -> int:
        if memory_id is None and session_id is None and user_id is None:
            raise ValueError("forget needs a memory_id, a session_id or a user_id")
        erased = self.storage.delete_memories(memory_id, session_id, user_id)
        scope = {"memory_id": memory_id, "session_id": session_id, "user_id": user_id}
        self._audit(
            {"kind": "forget", "tool_name": "", "reason": "asked", **scope, "erased": erased}
        )
        return erased

    def purge(self) -> int:
        """Erases expired memories, a batch at a time and at most once a second."""
        moment = time.monotonic()
        if moment < self._next_purge:
            return 0
        self._next_purge = moment + PURGE_EVERY
        erased = self.storage.delete_memories(expired_at=now(), batch=PURGE_BATCH)
        if erased:
            self._audit({"kind": "forget", "tool_name": "", "reason": "expired", "erased": erased})
        return erased


def block_hash(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def pack_context(ranked: Iterable[str], max_tokens: int, *, ranked_by_query: bool) -> ContextResult:
    """Joins texts in the order given, skipping those that would overflow ``max_tokens``.

    ``ranked`` is best first; without a query it is newest first and the chosen texts are
    returned oldest first. Stops reading as soon as not even one more character could fit, or
    after ``MISSES_BEFORE_FULL`` texts in a row did not fit: the budget is then as good as
    full, and reading on would only fetch ever less relevant texts to skip them.
    """
    chosen: list[str] = []
    chars = misses = 0
    for text in ranked:
        extra = len(text) + (len(SEPARATOR) if chosen else 0)
        if math.ceil((chars + extra) / 4) <= max_tokens:
            chosen.append(text)
            chars += extra
            misses = 0
        else:
            misses += 1
        if misses >= MISSES_BEFORE_FULL or math.ceil((chars + len(SEPARATOR) + 1) / 4) > max_tokens:
            break
    if not ranked_by_query:
        chosen.reverse()
    text = SEPARATOR.join(chosen)
    return ContextResult(
        text=text,
        block_hash=block_hash(text),
        token_count=estimate_tokens(text),
        status="ok" if chosen else "empty",
        hits=len(chosen),
    )


def reembed(storage: Storage, embedder: Embedder, batch: int = 256) -> dict[str, Any]:
    """Embeds the project's memories with ``embedder``: all of them when their recorded model
    is another (its vectors are erased first), else those without a vector. Resumable: a run
    cut short leaves memories without vectors, which the next run embeds."""
    recorded = storage.embedding_model("memories")
    dropped = 0
    if recorded is not None and recorded[0] != embedder.name:
        dropped = storage.drop_memory_vectors()
    embedded, after = 0, 0
    while rows := storage.memories_to_embed(after, batch):
        vectors = embedder([text for _, text in rows])
        embedded += storage.add_memory_vectors(
            embedder.name, {seq: vector for (seq, _), vector in zip(rows, vectors, strict=True)}
        )
        after = rows[-1][0]
    return {"model": embedder.name, "embedded": embedded, "dropped": dropped}
