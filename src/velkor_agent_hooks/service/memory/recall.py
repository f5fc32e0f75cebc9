"""Ranked recall with no model: BM25 over stemmed terms, the memories' own time, and the
neighbouring turns of a conversation.

A storage answers through ``Source``, a few batched look-ups bounded in size: candidates come
only from the newest ``CANDIDATES`` postings of each of the first ``MAX_TERMS`` query terms
(and, for a question naming a time, the newest memories of that time), never from a scan, so
a query costs the same at a thousand memories as at millions.
"""

from __future__ import annotations

import heapq
import math
import re
from bisect import bisect_left
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from typing import NamedTuple, Protocol

from .text import TIME_TERMS, analyze, asks_when, time_window

CANDIDATES = 300
MAX_TERMS = 16
_YEAR = re.compile(r"(?:19|20)\d\d")


class Row(NamedTuple):
    seq: int
    terms: str  # the memory's index terms, joined by spaces
    timestamp: str  # ISO 8601
    session_id: str


class Source(Protocol):
    """The memories of one scope (a project, optionally one session or user)."""

    def size(self) -> int:
        """How many memories the scope holds."""

    def postings(self, terms: Sequence[str], limit: int) -> dict[str, list[int]]:
        """For each term, the newest ``limit`` seqs holding it, newest first."""

    def rows(self, seqs: Iterable[int]) -> dict[int, Row]:
        """The rows of those seqs that are in scope."""

    def neighbours(self, seqs: Iterable[int], radius: int) -> dict[int, list[Row]]:
        """For each seq, the ``radius`` rows before it and after it in its own session, in
        seq order."""

    def between(self, start: str, end: str, limit: int) -> list[int]:
        """The newest ``limit`` seqs whose timestamp t has ``start <= t < end``, newest first."""


@dataclass(frozen=True)
class Weights:
    k1: float = 1.2
    b: float = 0.75
    rerank: int = 200
    before: float = 0.0
    after: float = 0.0
    neighbour_of: int = 30
    radius: int = 1
    decay: float = 0.5
    when: float = 0.0
    window: float = 0.0
    slack_before: int = 0
    slack_after: int = 0


DEFAULT = Weights()


def idf(size: int, df: float) -> float:
    return math.log(1 + (size - df + 0.5) / (df + 0.5))


def document_frequency(seqs: list[int], limit: int, size: int) -> float:
    """The number of memories holding a term, from its bounded postings.

    Fewer than ``limit`` postings are all of them. A full list covers a span of seqs; in a
    scope whose seqs are dense, the term's share of that span is its share of the scope.
    """
    if len(seqs) < limit:
        return len(seqs)
    span = seqs[0] - seqs[-1] + 1
    return min(size, max(limit, limit * size / span))


def rank(
    source: Source,
    query: str,
    *,
    limit: int = 10,
    now: datetime | None = None,
    weights: Weights = DEFAULT,
) -> list[tuple[int, float]]:
    """The ``limit`` best memories for ``query`` as (seq, score), best first, newest on ties."""
    terms = list(dict.fromkeys(analyze(query)))[:MAX_TERMS]
    if not terms:
        return []
    postings = source.postings(terms, CANDIDATES)
    size = max(source.size(), 1)
    weight = {
        term: idf(size, document_frequency(seqs, CANDIDATES, size))
        for term, seqs in postings.items()
        if seqs
    }
    first: dict[int, float] = {}
    for term, seqs in postings.items():
        for seq in seqs:
            first[seq] = first.get(seq, 0.0) + weight[term]
    top = [seq for seq, _ in heapq.nlargest(weights.rerank, first.items(), key=_order)]
    today = (now or datetime.now(UTC)).date()
    window = time_window(query, today) if weights.window else None
    if window is not None:
        start = (window[0] - timedelta(days=weights.slack_before)).isoformat()
        end = (window[1] + timedelta(days=weights.slack_after)).isoformat()
        top += source.between(start, end, CANDIDATES)
    timed = weights.when and asks_when(query)
    rows = source.rows(top)
    if not rows:
        return []
    average = sum(len(row.terms.split()) for row in rows.values()) / len(rows)

    def score(row: Row) -> float:
        terms = row.terms.split()
        value = _bm25(terms, weight, average, weights)
        if window is not None and start <= row.timestamp[:10] < end:
            value *= 1 + weights.window
        if timed and any(t in TIME_TERMS or _YEAR.fullmatch(t) for t in terms):
            value *= 1 + weights.when
        return value

    scores = {seq: score(row) for seq, row in rows.items()}
    if weights.before or weights.after:
        best = heapq.nlargest(weights.neighbour_of, scores.items(), key=_order)
        near = source.neighbours([seq for seq, _ in best], weights.radius)
        own = dict(scores)
        gaps: dict[tuple[int, int], int] = {}
        for seq, around in near.items():
            earlier = [row for row in around if row.seq < seq][::-1]
            later = [row for row in around if row.seq > seq]
            for gap, row in enumerate(earlier, 1):
                gaps[row.seq, seq] = gap
            for gap, row in enumerate(later, 1):
                gaps[seq, row.seq] = gap
            for row in around:
                if row.seq not in own:
                    own[row.seq] = score(row)
        scores = dict(own)
        for (first_seq, then_seq), gap in gaps.items():
            decay = weights.decay ** (gap - 1)
            scores[then_seq] += decay * weights.before * own[first_seq]
            scores[first_seq] += decay * weights.after * own[then_seq]
    return heapq.nlargest(limit, scores.items(), key=_order)


def _order(pair: tuple[int, float]) -> tuple[float, int]:
    return pair[1], pair[0]


def _bm25(terms: list[str], weight: dict[str, float], average: float, w: Weights) -> float:
    counts: dict[str, int] = {}
    for term in terms:
        if term in weight:
            counts[term] = counts.get(term, 0) + 1
    norm = w.k1 * (1 - w.b + w.b * len(terms) / average) if average else w.k1
    return sum(weight[t] * c * (w.k1 + 1) / (c + norm) for t, c in counts.items())


class MemorySource:
    """``Source`` over lists in memory: the reference for the storages, and the benchmark's."""

    def __init__(self) -> None:
        self._rows: dict[int, Row] = {}
        self._index: dict[str, list[int]] = {}
        self._sessions: dict[str, list[int]] = {}

    def add(self, text: str, timestamp: str, session_id: str) -> int:
        seq = len(self._rows) + 1
        terms = analyze(text)
        self._rows[seq] = Row(seq, " ".join(terms), timestamp, session_id)
        for term in dict.fromkeys(terms):
            self._index.setdefault(term, []).append(seq)
        self._sessions.setdefault(session_id, []).append(seq)
        return seq

    def size(self) -> int:
        return len(self._rows)

    def postings(self, terms: Sequence[str], limit: int) -> dict[str, list[int]]:
        return {term: self._index.get(term, [])[-limit:][::-1] for term in terms}

    def rows(self, seqs: Iterable[int]) -> dict[int, Row]:
        return {seq: self._rows[seq] for seq in seqs if seq in self._rows}

    def neighbours(self, seqs: Iterable[int], radius: int) -> dict[int, list[Row]]:
        found = {}
        for seq in seqs:
            row = self._rows.get(seq)
            if row is None:
                continue
            session = self._sessions[row.session_id]
            at = bisect_left(session, seq)
            around = session[max(0, at - radius) : at] + session[at + 1 : at + radius + 1]
            found[seq] = [self._rows[other] for other in around]
        return found

    def between(self, start: str, end: str, limit: int) -> list[int]:
        found = [seq for seq, row in self._rows.items() if start <= row.timestamp < end]
        return found[::-1][:limit]
