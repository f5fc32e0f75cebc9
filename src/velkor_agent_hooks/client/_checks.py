"""Argument checks shared by the client and the server: bad input never reaches storage."""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any


def check_str(name: str, value: object, *, optional: bool = False) -> None:
    if value is None and optional:
        return
    if not isinstance(value, str):
        expected = "str or None" if optional else "str"
        raise TypeError(f"{name} must be {expected}, got {type(value).__name__}")
    check_encodable(name, value)


def check_encodable(name: str, value: str) -> None:
    # A lone surrogate cannot be written as UTF-8: stored, it would break every later read.
    if value.isascii():
        return
    try:
        value.encode()
    except UnicodeEncodeError:
        raise ValueError(f"{name} holds a lone surrogate and cannot be stored") from None


def check_strs(**values: object) -> None:
    for name, value in values.items():
        check_str(name, value)


def check_optional_strs(**values: object) -> None:
    for name, value in values.items():
        check_str(name, value, optional=True)


def check_nonempty(name: str, value: object) -> None:
    check_str(name, value)
    assert isinstance(value, str)
    if not value.strip():
        raise ValueError(f"{name} must not be empty")


def check_int(name: str, value: object, *, minimum: int = 0, optional: bool = False) -> None:
    if value is None and optional:
        return
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int, got {type(value).__name__}")
    if value < minimum:
        rule = "must not be negative" if minimum == 0 else f"must be at least {minimum}"
        raise ValueError(f"{name} {rule}, got {value}")


def copy_json_mapping(
    name: str, value: object, *, optional: bool = True, exact: bool = False
) -> dict[str, Any] | None:
    """A shallow copy of a mapping that JSON can carry; None passes when optional.

    ``exact`` also refuses what JSON would change on the way (tuples, non-str keys), so a
    stored value reads back equal to what was given; the copy is then a deep one.
    """
    if value is None and optional:
        return None
    if not isinstance(value, Mapping):
        expected = "a mapping or None" if optional else "a mapping"
        raise TypeError(f"{name} must be {expected}, got {type(value).__name__}")
    if exact and type(value) is dict:
        try:
            return _plain_copy(value, [_PLAIN_BUDGET])  # type: ignore[no-any-return]
        except _NotPlain:
            pass  # the JSON round trip below decides, and says what is wrong
    copy = dict(value)
    text = to_json(name, copy)
    if not exact:
        return copy
    read_back: dict[str, Any] = json.loads(text)
    if read_back != copy:
        raise TypeError(
            f"{name} must hold only JSON types (dicts with str keys, lists, str, numbers, "
            "bool, None); tuples and other keys would not read back as given"
        )
    return read_back


class _NotPlain(Exception):
    pass


# Small values of JSON's own types are copied by a walk, cheaper than the JSON round trip for
# them; anything else, or more nodes than this, takes the round trip.
_PLAIN_BUDGET = 64
_INT_RANGE = 2**63


def _plain_copy(value: Any, budget: list[int]) -> Any:
    budget[0] -= 1
    if budget[0] < 0:
        raise _NotPlain
    kind = type(value)
    if kind is str:
        if not value.isascii():
            _storable(value)
        return value
    if kind is dict:
        out = {}
        for key, item in value.items():
            if type(key) is not str:
                raise _NotPlain
            if not key.isascii():
                _storable(key)
            out[key] = _plain_copy(item, budget)
        return out
    if kind is list:
        return [_plain_copy(item, budget) for item in value]
    if kind is bool or value is None:
        return value
    if kind is int:
        if -_INT_RANGE < value < _INT_RANGE:
            return value
    elif kind is float and math.isfinite(value):
        return value
    raise _NotPlain


def _storable(text: str) -> None:
    try:
        text.encode()
    except UnicodeEncodeError:  # a lone surrogate
        raise _NotPlain from None


# The JSON text values are stored as, built once: json.dumps with options builds an
# encoder at every call.
COMPACT_JSON = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def to_json(name: str, value: object) -> str:
    """Compact JSON text of ``value``, or TypeError/ValueError saying why it cannot be stored."""
    try:
        text = COMPACT_JSON.encode(value)
    except (TypeError, ValueError, RecursionError) as exc:
        kind = TypeError if isinstance(exc, TypeError) else ValueError
        raise kind(f"{name} is not JSON-serialisable: {exc}") from None
    check_encodable(name, text)
    return text


def check_namespace(name: str, value: object, *, allow_empty: bool = False) -> tuple[str, ...]:
    """Namespaces are tuples of non-empty labels without "."; the empty tuple only as a prefix."""
    if not isinstance(value, tuple):
        raise TypeError(f"{name} must be a tuple of str, got {type(value).__name__}")
    if not value and not allow_empty:
        raise ValueError(f"{name} must not be empty")
    if plain_labels(value) is not None:
        return value
    for label in value:
        if not isinstance(label, str):
            raise TypeError(f"{name} labels must be str, got {type(label).__name__}")
        if not label:
            raise ValueError(f"{name} labels must not be empty: {value!r}")
        if "." in label:
            raise ValueError(f"{name} labels must not contain '.': {label!r}")
        check_encodable(name, label)
    return value


def plain_labels(labels: tuple[Any, ...]) -> str | None:
    """The labels joined when all are non-empty ASCII str without "." (the common case, passed
    without a look at each label), else None."""
    try:
        joined = "".join(labels)
    except TypeError:
        return None
    return joined if joined.isascii() and "." not in joined and "" not in labels else None


def check_pattern(name: str, value: object) -> tuple[str, ...] | None:
    """A namespace prefix or suffix for listing: labels may also be the wildcard "*"."""
    if value is None:
        return None
    return check_namespace(name, value, allow_empty=True)


FILTER_OPERATORS = ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte")


def check_filter(value: object) -> dict[str, Any] | None:
    """A shallow copy of a filter: field -> a value to match, or an object of operators
    (``FILTER_OPERATORS``). Comparison values may be infinite or NaN: they then only compare."""
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"filter must be a mapping or None, got {type(value).__name__}")
    filters = dict(value)
    for field, wanted in filters.items():
        if not isinstance(field, str):
            raise TypeError(f"filter keys must be str, got {type(field).__name__}")
        check_encodable("filter key", field)
        if isinstance(wanted, Mapping) and any(str(k).startswith("$") for k in wanted):
            unknown = sorted(str(k) for k in wanted if k not in FILTER_OPERATORS)
            if unknown:
                raise ValueError(
                    f"filter on {field!r}: unknown operator {', '.join(unknown)}"
                    f" (known: {', '.join(FILTER_OPERATORS)})"
                )
    try:
        text = json.dumps(filters, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError) as exc:
        kind = TypeError if isinstance(exc, TypeError) else ValueError
        raise kind(f"filter is not JSON-serialisable: {exc}") from None
    check_encodable("filter", text)
    return filters


def check_turns(turns: object) -> list[tuple[str, str]]:
    if not isinstance(turns, list | tuple):
        raise TypeError(f"turns must be a list or tuple, got {type(turns).__name__}")
    items = []
    for index, turn in enumerate(turns):
        if not isinstance(turn, Mapping):
            raise TypeError(f"turns[{index}] must be a mapping, got {type(turn).__name__}")
        role = turn.get("role") or "user"
        text = turn.get("text") or turn.get("content") or ""
        check_str(f"turns[{index}] role", role)
        check_nonempty(f"turns[{index}] text", text)
        items.append((role, text))
    return items


def check_timeout(value: object, name: str = "timeout") -> float:
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive finite number of seconds, got {value!r}")
    return float(value)
