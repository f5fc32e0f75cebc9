"""What the storages share that is not SQL: words, scores, namespace keys, JSON rows."""

from __future__ import annotations

import hashlib
import json
import math
import re
from collections.abc import Iterable
from typing import Any

from ...client._checks import COMPACT_JSON

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


OPERATORS = frozenset({"$eq", "$ne", "$gt", "$gte", "$lt", "$lte"})
ORDERING = {"$gt": "> ?", "$gte": ">= ?", "$lt": "< ?", "$lte": "<= ?"}


def field_value(value: dict[str, Any], field: str) -> Any:
    """A filter field of a value: a missing one reads as null, as LangGraph's in-memory store
    reads it; a field absent at the top holding "." is a path into nested objects."""
    if field in value or "." not in field:
        return value.get(field)
    found: Any = value
    for part in field.split("."):
        if not isinstance(found, dict):
            return None
        found = found.get(part)
    return found


def filter_matches(value: dict[str, Any], filter: dict[str, Any] | None) -> bool:
    return all(_matches(field_value(value, f), wanted) for f, wanted in (filter or {}).items())


def _matches(found: Any, wanted: Any) -> bool:
    if isinstance(wanted, dict):
        if wanted and all(key in OPERATORS for key in wanted):
            return all(_compare(found, op, operand) for op, operand in wanted.items())
        # An object matches as part of a document: its fields, at any depth.
        return isinstance(found, dict) and all(_matches(found.get(k), v) for k, v in wanted.items())
    if isinstance(wanted, list):
        return (
            isinstance(found, list)
            and len(found) == len(wanted)
            and all(_matches(f, w) for f, w in zip(found, wanted, strict=True))
        )
    return bool(found == wanted)


def _compare(found: Any, op: str, operand: Any) -> bool:
    if op == "$eq":
        return bool(found == operand)
    if op == "$ne":
        return bool(found != operand)
    # Numbers order with numbers, text with text; anything else never matches.
    if isinstance(found, bool) or isinstance(operand, bool):
        return False
    numbers = isinstance(found, int | float) and isinstance(operand, int | float)
    if not numbers and not (isinstance(found, str) and isinstance(operand, str)):
        return False
    if op == "$gt":
        return bool(found > operand)
    if op == "$gte":
        return bool(found >= operand)
    if op == "$lt":
        return bool(found < operand)
    return bool(found <= operand)


def _pushable_scalar(wanted: Any) -> bool:
    if isinstance(wanted, str | bool):
        return True
    if isinstance(wanted, float):
        return math.isfinite(wanted)
    return isinstance(wanted, int) and -(2**63) <= wanted < 2**63


def pushable_filters(filter: dict[str, Any] | None) -> list[tuple[str, str, Any]]:
    """(field, operator, operand) a database can pre-select on: equality with scalars whose SQL
    equality finds every value Python's == would (1, 1.0 and True alike), and numeric ordering.
    A field holding "." may be a path, so it is left, like the rest, to ``filter_matches``."""
    pushed = []
    for field, wanted in (filter or {}).items():
        if "." in field:
            continue
        conditions = wanted.items() if isinstance(wanted, dict) else [("$eq", wanted)]
        for op, operand in conditions:
            if op == "$eq" and _pushable_scalar(operand):
                pushed.append((field, op, operand))
            elif op in ORDERING and not isinstance(operand, bool) and _pushable_scalar(operand):
                pushed.append((field, op, operand))
    return pushed


def namespace_key(namespace: tuple[str, ...]) -> str:
    """One string per namespace whose prefixes are its namespace prefixes: labels hold no "."."""
    return ".".join(namespace) + "." if namespace else ""


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
) -> list[tuple[dict[str, Any], tuple[Any, ...]]]:
    """From (row, score) pairs in order, exactly filtered, then offset and limit: each item
    with its row. A row is (seq, ttl, namespace, key, value, created_at, updated_at)."""
    found: list[tuple[dict[str, Any], tuple[Any, ...]]] = []
    skip = offset
    for row, score in scored:
        if len(found) >= limit:
            break
        item = item_row(*row[2:])
        if not filter_matches(item["value"], filter):
            continue
        if skip:
            skip -= 1
            continue
        item["score"] = score
        found.append((item, row))
    return found


def dump_json(value: Any) -> str:
    return COMPACT_JSON.encode(value)
