"""Ranked recall with no model.

A memory's text is analysed once, when it is written (``text.analyze``: folded, stemmed, no
stopwords); the storage indexes those terms and answers the few batched look-ups of ``Source``.
A query is ranked in four steps, each bounded whatever the number of memories:

1. Candidates: the newest ``CANDIDATES`` memories holding each of the first ``MAX_TERMS`` query
   terms, plus, when the query names a time, the newest memories written then. Never a scan.
2. BM25 over the best ``Weights.rerank`` of them, each term weighted by how rare it is, plus a
   bonus where two neighbouring query terms stand side by side in the memory ("heart
   palpitations", "pride parade").
3. Time: a memory of the time the query names (written then, or telling of then: "last month"
   in a memory written in August is July) counts more; so, for a question asking "when", does a
   memory that says when.
4. Conversation: a turn takes a share of the score of the turns just before it (an answer
   follows its question) and, less, just after it, within its own session.
"""

from __future__ import annotations

import heapq
import itertools
import math
import re
from bisect import bisect_left, insort
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from datetime import UTC, date, datetime, timedelta
from typing import NamedTuple, Protocol

from .text import TIME_TERMS, Mention, analyze, asks_when, terms_mention, time_mention

CANDIDATES = 300
MAX_TERMS = 16
_YEAR = re.compile(r"(?:19|20)\d\d")


class Row(NamedTuple):
    seq: int
    terms: str  # the memory's index terms in text order, joined by spaces
    timestamp: str  # ISO 8601: the caller's, else when it was stored
    session_id: str


class Source(Protocol):
    """The memories of one scope (a project, narrowed to a session or user where asked).

    ``seq`` is the scope's insertion order: consecutive turns of a session are increasing
    seqs. Each method is one round trip.
    """

    def size(self) -> int:
        """How many memories the scope holds."""
        ...

    def postings(self, terms: Sequence[str], limit: int) -> dict[str, list[int]]:
        """For each term, the newest ``limit`` seqs holding it, newest first (fewer: all)."""
        ...

    def rows(self, seqs: Iterable[int]) -> dict[int, Row]:
        """The rows of those seqs."""
        ...

    def neighbours(self, seqs: Iterable[int], radius: int) -> dict[int, list[Row]]:
        """For each seq, the ``radius`` rows before it and after it in its own session, in
        seq order, itself left out."""
        ...

    def between(self, start: str, end: str, limit: int) -> list[int]:
        """Up to ``limit`` seqs whose timestamp t has ``start <= t < end`` as strings (ISO
        dates, so by date), latest timestamps first."""
        ...


@dataclass(frozen=True)
class Weights:
    """The ranking's constants, measured on conversations (bench/recall.py)."""

    k1: float = 1.2
    b: float = 0.3
    rerank: int = 100
    pairs: float = 0.6
    window: float = 2.0
    slack: int = 7  # days before a named time whose memories may tell of it
    when: float = 0.3
    before: float = 0.7
    after: float = 0.25
    radius: int = 2
    decay: float = 0.5
    neighbour_of: int = 50


DEFAULT = Weights()


def idf(size: int, df: float) -> float:
    return math.log(1 + (size - df + 0.5) / (df + 0.5))


def document_frequency(seqs: list[int], limit: int, size: int) -> float:
    """How many memories hold a term, from its bounded postings.

    Fewer than ``limit`` postings are all of them. A full list spans a range of seqs; where
    the scope's seqs are dense, the term's share of that range is its share of the scope, and
    where they are not, this errs low but never below ``limit``.
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
    """The ``limit`` best memories for ``query`` as (seq, score), best first, newest first
    on ties. ``now`` (default: the current time) dates "last month" and the like."""
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
    chosen = [seq for seq, _ in heapq.nlargest(weights.rerank, first.items(), key=_order)]

    window = time_mention(query, (now or datetime.now(UTC)).date()) if weights.window else None
    if window is not None:
        # Memories written a little after the time may tell of it ("yesterday").
        slack = timedelta(days=weights.slack)
        span = (window.start - slack).isoformat(), (window.end + slack).isoformat()
        chosen += source.between(*span, weights.rerank)
    rows = source.rows(chosen)
    if not rows:
        return []
    # Candidates run longer than the average memory; BM25 only needs a scale.
    average = sum(len(row.terms.split()) for row in rows.values()) / len(rows) or 1.0
    pairs = [(a, b) for a, b in itertools.pairwise(terms) if a in weight and b in weight]
    timed = weights.when > 0 and asks_when(query)

    def score(row: Row) -> float:
        found = row.terms.split()
        counts: dict[str, int] = {}
        for term in found:
            if term in weight:
                counts[term] = counts.get(term, 0) + 1
        if not counts:
            return 0.0
        value = _bm25(counts, len(found), weight, average, weights)
        if len(counts) > 1 and pairs:
            value += weights.pairs * _pairs(found, pairs, weight)
        if window is not None and _during(row, found, window, weights.slack):
            value *= 1 + weights.window
        if timed and any(t in TIME_TERMS or _YEAR.fullmatch(t) for t in found):
            value *= 1 + weights.when
        return value

    scores = {seq: score(row) for seq, row in rows.items()}
    if weights.before or weights.after:
        scores = _with_neighbours(source, scores, score, weights)
    return [pair for pair in heapq.nlargest(limit, scores.items(), key=_order) if pair[1] > 0]


def _bm25(
    counts: dict[str, int], length: int, weight: dict[str, float], average: float, w: Weights
) -> float:
    norm = w.k1 * (1 - w.b + w.b * length / average)
    return sum(weight[t] * c * (w.k1 + 1) / (c + norm) for t, c in counts.items())


def _pairs(terms: list[str], pairs: list[tuple[str, str]], weight: dict[str, float]) -> float:
    """The weight of the query's neighbouring term pairs that stand side by side here."""
    adjacent = set(itertools.pairwise(terms))
    return sum(
        min(weight[a], weight[b]) for a, b in pairs if (a, b) in adjacent or (b, a) in adjacent
    )


def _during(row: Row, terms: list[str], window: Mention, slack: int) -> bool:
    """Whether a memory is of the time a query names: written then (or up to ``slack`` days
    before) or telling of then ("last month")."""
    try:
        written = date.fromisoformat(row.timestamp[:10])
    except ValueError:
        return False
    early = timedelta(days=slack)
    if any(w.start - early <= written < w.end for w in _years(window, written, written)):
        return True
    told = terms_mention(terms, written)
    return told is not None and any(
        told.start < w.end and w.start < told.end
        for w in _years(window, told.start, told.end - timedelta(days=1))
    )


def _years(window: Mention, first: date, last: date) -> list[Mention]:
    """The window, or for a month named without its year, that month around those dates."""
    if not window.yearly:
        return [window]
    return [window.shifted(year) for year in range(first.year, last.year + 2)]


def _with_neighbours(source: Source, scores: dict[int, float], score, w: Weights):
    best = heapq.nlargest(w.neighbour_of, scores.items(), key=_order)
    near = source.neighbours([seq for seq, _ in best], w.radius)
    own = dict(scores)
    gaps: dict[tuple[int, int], int] = {}  # (earlier, later) -> turns apart
    for seq, around in near.items():
        earlier = [row for row in around if row.seq < seq]
        later = [row for row in around if row.seq > seq]
        for gap, row in enumerate(reversed(earlier), 1):
            gaps[row.seq, seq] = gap
        for gap, row in enumerate(later, 1):
            gaps[seq, row.seq] = gap
        for row in around:
            if row.seq not in own:
                own[row.seq] = score(row)
    final = dict(own)
    for (earlier_seq, later_seq), gap in gaps.items():
        share = w.decay ** (gap - 1)
        final[later_seq] += share * w.before * own[earlier_seq]
        final[earlier_seq] += share * w.after * own[later_seq]
    return final


def _order(pair: tuple[int, float]) -> tuple[float, int]:
    return pair[1], pair[0]


class MemorySource:
    """``Source`` over lists in memory: the reference the storages are held to, and the
    benchmark's."""

    def __init__(self) -> None:
        self._rows: dict[int, Row] = {}
        self._index: dict[str, list[int]] = {}
        self._sessions: dict[str, list[int]] = {}
        self._times: list[tuple[str, int]] = []

    def add(self, text: str, timestamp: str, session_id: str) -> int:
        seq = len(self._rows) + 1
        terms = analyze(text)
        self._rows[seq] = Row(seq, " ".join(terms), timestamp, session_id)
        for term in dict.fromkeys(terms):
            self._index.setdefault(term, []).append(seq)
        self._sessions.setdefault(session_id, []).append(seq)
        insort(self._times, (timestamp, seq))
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
            if seq not in self._rows:
                continue
            session = self._sessions[self._rows[seq].session_id]
            at = bisect_left(session, seq)
            around = session[max(0, at - radius) : at] + session[at + 1 : at + radius + 1]
            found[seq] = [self._rows[other] for other in around]
        return found

    def between(self, start: str, end: str, limit: int) -> list[int]:
        low = bisect_left(self._times, (start,))
        high = bisect_left(self._times, (end,))
        return [seq for _, seq in reversed(self._times[max(low, high - limit) : high])]
