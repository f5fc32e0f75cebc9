"""Memory: what is remembered, how it is recalled, and when it is forgotten.

``context`` packs the texts the storage ranks for a query into a token budget: texts that
do not fit are skipped, and after ``MISSES_BEFORE_FULL`` in a row the budget counts as full.
"""

from __future__ import annotations

import hashlib
import math
import uuid
from collections.abc import Iterable
from typing import Any

from ...client._types import ContextResult, estimate_tokens
from ..clock import now
from ..storage import Storage
from ..storage.common import words

SEPARATOR = "\n"
MISSES_BEFORE_FULL = 32


class Memory:
    def __init__(self, storage: Storage) -> None:
        self.storage = storage

    def op_remember(
        self, turns: list[tuple[str, str]], session_id: str, user_id: str, timestamp: str
    ) -> dict[str, Any]:
        stamp = timestamp or now()
        rows = [
            {
                "id": f"mem_{uuid.uuid4().hex}",
                "session_id": session_id,
                "role": role,
                "text": text,
                "user_id": user_id,
                "timestamp": stamp,
            }
            for role, text in turns
        ]
        self.storage.add_memories(rows)
        ids = [row["id"] for row in rows]
        return {"stored": len(ids), "ids": ids, "session_id": session_id}

    def op_context(self, query: str, max_tokens: int, session_id: str | None) -> ContextResult:
        ranked = self.storage.ranked_texts(query, session_id)
        return pack_context(ranked, max_tokens, ranked_by_query=bool(words(query)))

    def op_memories(self, limit: int | None, offset: int) -> list[dict[str, Any]]:
        return self.storage.list_memories(limit, offset)


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
