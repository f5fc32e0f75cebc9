"""A hash chain over audit events, so that an edited, deleted, inserted or reordered event shows.

Each event carries ``seq`` (per project, 1, 2, 3, ... without gaps), ``prev_hash`` (the previous
event's ``hash``, or ``GENESIS`` for seq 1) and ``hash``: the SHA-256 hex digest of
``canonical(event)`` with every field but ``hash`` itself, ``seq``, ``prev_hash`` and the
timestamp included.

The canonical encoding is JSON: keys sorted by code point, separators ``,`` and ``:`` without
spaces, non-ASCII characters as ``\\uXXXX`` escapes (so the bytes are ASCII, and UTF-8), strings
escaped as Python's ``json`` module does, integers in decimal, and floats in Python's shortest
round-trip form, except that a float with an integral value is written as that integer (``500.0``
as ``500``), since a PostgreSQL ``jsonb`` column gives back ``1e16`` as an integer. NaN, the
infinities, non-str keys and values other than dict, list, tuple, str, int, float, bool and None
are refused. Store events as they were hashed (text, numbers and timestamps unchanged); a chain
proves only what it covers, so deleting the newest events shows only against a head hash kept
elsewhere.
"""

from __future__ import annotations

import hashlib
import json
import math
import re
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["GENESIS", "canonical", "chain_event", "event_hash", "verify"]

GENESIS = "0" * 64
_CHAIN_KEYS = ("seq", "prev_hash", "hash")
_HEX64 = re.compile(r"[0-9a-f]{64}")


def _plain(value: Any) -> Any:
    """The value with integral floats as ints; refuses what has no single JSON form."""
    kind = type(value)
    if kind is str or kind is bool or kind is int or value is None:
        return value
    if kind is float:
        if not math.isfinite(value):
            raise ValueError(f"audit events cannot hold {value!r}")
        return int(value) if value.is_integer() else value
    if isinstance(value, Mapping):
        out = {}
        for key, item in value.items():
            if type(key) is not str:
                raise TypeError(f"audit event keys must be str, not {type(key).__name__}")
            out[key] = _plain(item)
        return out
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    for base in (bool, int, float, str):
        if isinstance(value, base):
            return _plain(base(value))
    raise TypeError(f"audit events cannot hold a {kind.__name__}")


def canonical(event: Mapping[str, Any]) -> bytes:
    """The bytes an event is hashed over: every field but ``hash``, in the documented JSON."""
    if not isinstance(event, Mapping):
        raise TypeError(f"an audit event is a mapping, not {type(event).__name__}")
    body = {k: v for k, v in event.items() if k != "hash"}
    text = json.dumps(_plain(body), sort_keys=True, separators=(",", ":"), allow_nan=False)
    return text.encode("ascii")


def event_hash(event: Mapping[str, Any]) -> str:
    """SHA-256 hex of ``canonical(event)``."""
    return hashlib.sha256(canonical(event)).hexdigest()


def chain_event(event: Mapping[str, Any], prev_hash: str, seq: int) -> dict[str, Any]:
    """A copy of ``event`` with ``seq``, ``prev_hash`` and its ``hash``; the input is unchanged.

    Raises ``ValueError`` for a seq below 1, a prev_hash that is not 64 lowercase hex digits,
    an event that already has chain fields, or values the canonical encoding refuses.
    """
    if type(seq) is not int or seq < 1:
        raise ValueError(f"seq must be an int from 1, not {seq!r}")
    if type(prev_hash) is not str or not _HEX64.fullmatch(prev_hash):
        raise ValueError(f"prev_hash must be 64 lowercase hex digits, not {prev_hash!r}")
    if seq == 1 and prev_hash != GENESIS:
        raise ValueError("the first event's prev_hash is GENESIS")
    if not isinstance(event, Mapping):
        raise TypeError(f"an audit event is a mapping, not {type(event).__name__}")
    present = [key for key in _CHAIN_KEYS if key in event]
    if present:
        raise ValueError(f"the event already has {', '.join(present)}")
    chained = {**event, "seq": seq, "prev_hash": prev_hash}
    chained["hash"] = event_hash(chained)
    return chained


def verify(events: Iterable[Mapping[str, Any]]) -> dict[str, Any]:
    """Check a project's events in seq order.

    Returns ``{"ok", "events", "first_bad_seq"}``: ``events`` counts every event read, and
    ``first_bad_seq`` is the seq at which the chain first fails (the position's expected seq:
    an edited event's own, a deleted one's, where an inserted or moved one stands), or None.
    """
    expected, prev, count, bad = 1, GENESIS, 0, None
    for event in events:
        count += 1
        if bad is not None:
            continue
        if not _links(event, expected, prev):
            bad = expected
            continue
        prev = event["hash"]
        expected += 1
    return {"ok": bad is None, "events": count, "first_bad_seq": bad}


def _links(event: Any, seq: int, prev_hash: str) -> bool:
    if not isinstance(event, Mapping):
        return False
    if event.get("seq") != seq or type(event.get("seq")) is not int:
        return False
    if event.get("prev_hash") != prev_hash:
        return False
    try:
        return event.get("hash") == event_hash(event)
    except (TypeError, ValueError):
        return False
