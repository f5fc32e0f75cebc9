"""What the storages share that is not SQL: words, scores, namespace keys, JSON rows."""

from __future__ import annotations

import hashlib
import json
import re
from collections.abc import Iterable
from typing import Any

_WORD = re.compile(r"\w+")


# Ranking reads at most this many of the newest matches of each query word, so a call costs
# the same at a thousand rows as at millions; the first words of a query count.
CANDIDATES = 300
MAX_TERMS = 16
# What a word found in that many rows or more adds to a row's relevance: it matches, no more.
COMMON_WORD = 1e-6


def words(text: str) -> set[str]:
    return set(_WORD.findall(text.lower()))


def query_terms(query: str) -> list[str]:
    """The distinct words of ``query`` in order, at most ``MAX_TERMS``."""
    return list(dict.fromkeys(_WORD.findall(query.lower())))[:MAX_TERMS]


def ranked_scores(per_term: Iterable[Iterable[tuple[int, float]]]) -> list[tuple[int, float]]:
    """(row, summed score) pairs, higher first, newer (larger row) first on ties."""
    scores: dict[int, float] = {}
    for rows in per_term:
        for row, score in rows:
            scores[row] = scores.get(row, 0.0) + score
    return sorted(scores.items(), key=lambda pair: (pair[1], pair[0]), reverse=True)


def value_text(value: Any) -> str:
    """The words a stored value is found by: its strings, at any depth."""
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        return " ".join(value_text(v) for v in value.values())
    if isinstance(value, list):
        return " ".join(value_text(v) for v in value)
    return ""


def filter_matches(value: dict[str, Any], filter: dict[str, Any] | None) -> bool:
    return all(k in value and value[k] == v for k, v in (filter or {}).items())


def pushable_filters(filter: dict[str, Any] | None) -> list[tuple[str, Any]]:
    """Filter fields a database can pre-select on: scalars whose SQL equality finds every value
    Python's == would (1, 1.0 and True alike). The rest is checked by ``filter_matches``."""
    pushed = []
    for field, wanted in (filter or {}).items():
        if wanted is None or isinstance(wanted, str | bool | float):
            pushed.append((field, wanted))
        elif isinstance(wanted, int) and -(2**63) <= wanted < 2**63:
            pushed.append((field, wanted))
    return pushed


def namespace_key(namespace: tuple[str, ...]) -> str:
    """One string per namespace whose prefixes are its namespace prefixes: labels hold no "."."""
    return "".join(label + "." for label in namespace)


def namespace_of(key: str) -> tuple[str, ...]:
    return tuple(key.split(".")[:-1])


def prefix_range(prefix: tuple[str, ...]) -> tuple[str, str]:
    """[low, high) of the namespace keys under ``prefix`` (binary order)."""
    low = namespace_key(prefix)
    return low, low[:-1] + "/" if low else "\U0010ffff"


def scope_token(kind: str, value: str) -> str:
    """A single-word full-text token standing for a project or session: rows are narrowed by
    the text index itself, whatever other projects hold."""
    return kind + hashlib.sha256(value.encode()).hexdigest()[:24]


def matches_pattern(namespace: tuple[str, ...], pattern: tuple[str, ...], *, suffix: bool) -> bool:
    if len(pattern) > len(namespace):
        return False
    part = namespace[len(namespace) - len(pattern) :] if suffix else namespace[: len(pattern)]
    return all(p == "*" or p == n for p, n in zip(pattern, part, strict=True))


def literal_prefix(pattern: tuple[str, ...] | None) -> tuple[str, ...]:
    """The labels of a listing prefix before its first wildcard."""
    labels = []
    for label in pattern or ():
        if label == "*":
            break
        labels.append(label)
    return tuple(labels)


def select_namespaces(
    namespaces: Iterable[tuple[str, ...]],
    prefix: tuple[str, ...] | None,
    suffix: tuple[str, ...] | None,
    max_depth: int | None,
    limit: int,
    offset: int,
) -> list[tuple[str, ...]]:
    chosen = {
        ns[:max_depth] if max_depth is not None else ns
        for ns in namespaces
        if (prefix is None or matches_pattern(ns, prefix, suffix=False))
        and (suffix is None or matches_pattern(ns, suffix, suffix=True))
    }
    return sorted(chosen)[offset : offset + limit]


def load_json(text: str) -> Any:
    # Only this package writes these columns; a row damaged from outside still reads.
    try:
        return json.loads(text)
    except ValueError:
        return {"unreadable": text}


def item_row(namespace: str, key: str, value: str, created: str, updated: str) -> dict[str, Any]:
    """A stored item as callers see it, from its namespace key and JSON text."""
    loaded = load_json(value)
    return {
        "namespace": namespace_of(namespace),
        "key": key,
        "value": loaded if isinstance(loaded, dict) else {"unreadable": value},
        "created_at": created,
        "updated_at": updated,
    }


def take_page(
    scored: Iterable[tuple[tuple[Any, ...], float | None]],
    filter: dict[str, Any] | None,
    limit: int,
    offset: int,
) -> list[dict[str, Any]]:
    """Items from (row, score) pairs in order, exactly filtered, then offset and limit."""
    found: list[dict[str, Any]] = []
    skip = offset
    for row, score in scored:
        if len(found) >= limit:
            break
        item = item_row(*row)
        if not filter_matches(item["value"], filter):
            continue
        if skip:
            skip -= 1
            continue
        found.append({**item, "score": score})
    return found


def dump_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
