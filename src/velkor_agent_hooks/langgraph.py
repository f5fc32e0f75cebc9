"""LangGraph's own store interface over the Velkor keyed store.

``VelkorStore(client)`` is a ``langgraph.store.base.BaseStore``: pass it wherever LangGraph
takes a store (``StateGraph(...).compile(store=...)``, ``create_agent(store=...)``) and nodes
reach it as ``runtime.store`` or through a ``store`` keyword. It implements ``batch`` and
``abatch``; every other method (``get``, ``put``, ``delete``, ``search``,
``list_namespaces`` and their ``a*`` twins) is LangGraph's, built on those two.

Behaviour, as ``langgraph.store.memory.InMemoryStore`` has it unless said otherwise:

* Items are kept by the service under (namespace, key); writing a key again replaces the
  value, ``created_at`` kept and ``updated_at`` renewed. A put whose value is None deletes.
* ``search`` with a query ranks by the service's word relevance (the same as
  ``VelkorClient.context``): only items whose strings share words with the query come back,
  best first, with ``score`` set. Without a query items come most recently updated first,
  ``score`` None. ``filter`` matches top-level fields by equality (``{"$eq": v}`` too).
* Within one batch, reads see the store as it was before the batch's writes, and writes
  apply in order, the last one for a key winning (LangGraph's own stores do the same).
* Every operation of a batch is checked before any runs: one bad operation raises and the
  batch changes nothing. A connection lost halfway through the writes can still leave the
  earlier ones applied: each write is its own request.
* ``abatch`` checks the operations on the calling thread, then runs the client calls in a
  worker thread (``asyncio.to_thread``), so the event loop is never blocked.

Errors:

* A namespace that is not a tuple of non-empty ``str`` labels without "." or NUL, or an empty
  namespace where an item lives, raises LangGraph's ``InvalidNamespaceError`` (a
  ``ValueError``); so does a write under the reserved root label "langgraph".
* Values must be mappings that JSON carries exactly: ``str`` keys, and ``dict``, ``list``,
  ``str``, ``int``, finite ``float``, ``bool`` or None inside (``TypeError`` / ``ValueError``).
* Negative ``limit``/``offset``, ``max_depth`` below 1, empty keys: ``ValueError``.

Not supported (``NotImplementedError``, never a silently different answer):

* TTL: ``supports_ttl`` is False, so ``put(..., ttl=...)`` is refused by LangGraph itself and
  a ``PutOp`` with a ``ttl`` here. ``refresh_ttl`` on reads is accepted: nothing expires.
* ``index``: there is no embedding index; the word ranking covers every string in a value.
  ``index=None`` and ``index=False`` are accepted (an item put with ``index=False`` stays
  findable by its words); a list of fields to index is refused.
* Filter operators other than ``$eq`` (``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``), and
  filter values holding objects (InMemoryStore matches those as partial documents).
"""

from __future__ import annotations

import asyncio
import copy
from collections.abc import Callable, Iterable, Mapping
from datetime import datetime
from typing import Any

try:
    from langgraph.store.base import (
        NOT_PROVIDED,
        BaseStore,
        GetOp,
        InvalidNamespaceError,
        Item,
        ListNamespacesOp,
        Op,
        PutOp,
        Result,
        SearchItem,
        SearchOp,
    )
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "velkor_agent_hooks.langgraph needs LangGraph; install it with "
        'pip install "velkor-agent-hooks[langgraph]"'
    ) from exc

from .client import VelkorClient
from .client import _checks as check

__all__ = ["VelkorStore"]

_Call = Callable[[VelkorClient], Result]


class VelkorStore(BaseStore):
    """A LangGraph ``BaseStore`` kept by the Velkor service; see the module docstring."""

    __slots__ = ("client",)

    def __init__(self, client: VelkorClient) -> None:
        if not isinstance(client, VelkorClient):
            raise TypeError(f"client must be a VelkorClient, got {type(client).__name__}")
        self.client = client

    def __repr__(self) -> str:
        return f"VelkorStore({self.client!r})"

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        return self._run(_plan(ops))

    async def abatch(self, ops: Iterable[Op]) -> list[Result]:
        plan = _plan(ops)
        return await asyncio.to_thread(self._run, plan)

    def _run(self, plan: list[tuple[bool, _Call]]) -> list[Result]:
        results: list[Result] = [None] * len(plan)
        for writing in (False, True):
            for index, (is_write, call) in enumerate(plan):
                if is_write is writing:
                    results[index] = call(self.client)
        return results


def _plan(ops: Iterable[Op]) -> list[tuple[bool, _Call]]:
    """Checks every operation and returns (is_write, call) for each, in order."""
    if isinstance(ops, str | bytes | Mapping) or not isinstance(ops, Iterable):
        raise TypeError(f"ops must be an iterable of operations, got {type(ops).__name__}")
    plan = []
    for op in list(ops):
        if isinstance(op, GetOp):
            plan.append((False, _get(op)))
        elif isinstance(op, SearchOp):
            plan.append((False, _search(op)))
        elif isinstance(op, ListNamespacesOp):
            plan.append((False, _list(op)))
        elif isinstance(op, PutOp):
            plan.append((True, _put(op)))
        else:
            raise TypeError(f"unknown store operation: {type(op).__name__}")
    return plan


def _get(op: GetOp) -> _Call:
    namespace = _namespace("namespace", op.namespace)
    check.check_nonempty("key", op.key)
    key = op.key

    def call(client: VelkorClient) -> Item | None:
        raw = client.get_item(namespace, key)
        return None if raw is None else _item(raw)

    return call


def _put(op: PutOp) -> _Call:
    namespace = _namespace("namespace", op.namespace, writing=op.value is not None)
    check.check_nonempty("key", op.key)
    key = op.key
    if op.value is None:

        def delete(client: VelkorClient) -> None:
            client.delete_item(namespace, key)

        return delete
    ttl: object = op.ttl  # NOT_PROVIDED arrives when an op is built by hand
    if ttl is not None and ttl is not NOT_PROVIDED:
        raise NotImplementedError("the Velkor store does not expire items: ttl must be None")
    if op.index is not None and op.index is not False:
        raise NotImplementedError(
            "the Velkor store ranks by every string in a value; indexing chosen fields "
            f"(index={op.index!r}) is not supported: pass index=None"
        )
    value = _value(op.value)

    def put(client: VelkorClient) -> None:
        client.put_item(namespace, key, value)

    return put


def _search(op: SearchOp) -> _Call:
    prefix = _namespace("namespace_prefix", op.namespace_prefix, allow_empty=True)
    check.check_str("query", op.query, optional=True)
    filters = _filter(op.filter)
    check.check_int("limit", op.limit)
    check.check_int("offset", op.offset)
    query, limit, offset = op.query, op.limit, op.offset

    def call(client: VelkorClient) -> list[SearchItem]:
        found = client.search_items(prefix, query=query, filter=filters, limit=limit, offset=offset)
        return [_search_item(raw) for raw in found]

    return call


def _list(op: ListNamespacesOp) -> _Call:
    patterns: dict[str, tuple[str, ...] | None] = {"prefix": None, "suffix": None}
    for condition in op.match_conditions or ():
        kind = condition.match_type
        if kind not in patterns:
            raise ValueError(f"match_type must be 'prefix' or 'suffix', got {kind!r}")
        path = _namespace(kind, condition.path, allow_empty=True)
        patterns[kind] = _merge(patterns[kind], path, from_end=kind == "suffix")
    check.check_int("max_depth", op.max_depth, minimum=1, optional=True)
    check.check_int("limit", op.limit)
    check.check_int("offset", op.offset)
    prefix, suffix = patterns["prefix"], patterns["suffix"]
    if _CONFLICT in (prefix, suffix):
        return lambda client: []

    def call(client: VelkorClient) -> list[tuple[str, ...]]:
        found = client.list_namespaces(
            prefix=prefix, suffix=suffix, max_depth=op.max_depth, limit=op.limit, offset=op.offset
        )
        return [tuple(ns) for ns in found]

    return call


_CONFLICT = ("\x00",)  # two patterns no namespace can match at once


def _merge(old: tuple[str, ...] | None, new: tuple[str, ...], *, from_end: bool) -> tuple[str, ...]:
    """One pattern matching exactly the namespaces both match ("*" matches any label)."""
    if old is None or old == _CONFLICT:
        return new if old is None else old
    size = max(len(old), len(new))
    if from_end:
        a, b = ("*",) * (size - len(old)) + old, ("*",) * (size - len(new)) + new
    else:
        a, b = old + ("*",) * (size - len(old)), new + ("*",) * (size - len(new))
    merged = []
    for x, y in zip(a, b, strict=True):
        if x != y and "*" not in (x, y):
            return _CONFLICT
        merged.append(y if x == "*" else x)
    return tuple(merged)


def _namespace(
    name: str, value: object, *, allow_empty: bool = False, writing: bool = False
) -> tuple[str, ...]:
    try:
        namespace = check.check_namespace(name, value, allow_empty=allow_empty)
    except (TypeError, ValueError) as exc:
        raise InvalidNamespaceError(str(exc)) from None
    if any("\x00" in label for label in namespace):
        raise InvalidNamespaceError(f"{name} labels must not contain NUL: {namespace!r}")
    if writing and namespace[0] == "langgraph":
        raise InvalidNamespaceError(f'{name} root label "langgraph" is reserved: {namespace!r}')
    return namespace


def _value(value: object) -> dict[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"value must be a mapping, got {type(value).__name__}")
    _exact_json("value", value)
    check.to_json("value", value)
    # Deep: abatch runs the write later, in a worker, while the caller's objects may change.
    return copy.deepcopy(dict(value))


def _exact_json(path: str, value: object) -> None:
    # json.dumps would turn int keys into strings and tuples into lists: read back, such a
    # value would no longer be the one that was put.
    if isinstance(value, Mapping):
        for key, inner in value.items():
            if not isinstance(key, str):
                raise TypeError(f"{path} keys must be str, got {type(key).__name__} {key!r}")
            _exact_json(f"{path}[{key!r}]", inner)
    elif isinstance(value, list):
        for index, inner in enumerate(value):
            _exact_json(f"{path}[{index}]", inner)
    elif value is not None and not isinstance(value, str | int | float):
        hint = "; use a list" if isinstance(value, tuple) else ""
        raise TypeError(f"{path} is a {type(value).__name__}, which JSON cannot carry{hint}")


def _filter(value: object) -> dict[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"filter must be a mapping or None, got {type(value).__name__}")
    plain = {}
    for field, wanted in value.items():
        if isinstance(wanted, Mapping) and any(str(k).startswith("$") for k in wanted):
            operators = sorted(map(str, wanted))
            if operators != ["$eq"]:
                raise NotImplementedError(
                    f"filter on {field!r}: the Velkor store matches by equality only "
                    f"(a plain value or $eq), not {', '.join(o for o in operators if o != '$eq')}"
                )
            wanted = wanted["$eq"]
        elif _holds_mapping(wanted):
            raise NotImplementedError(
                f"filter on {field!r}: matching part of a nested object is not supported; "
                "filter on top-level fields, or use {'$eq': ...} for the whole object"
            )
        plain[field] = wanted
    return check.check_filter(plain)


def _holds_mapping(value: object) -> bool:
    if isinstance(value, Mapping):
        return True
    return isinstance(value, list | tuple) and any(_holds_mapping(v) for v in value)


def _when(text: str) -> datetime:
    return datetime.fromisoformat(text)


def _item(raw: Mapping[str, Any]) -> Item:
    return Item(
        value=raw["value"],
        key=raw["key"],
        namespace=tuple(raw["namespace"]),
        created_at=_when(raw["created_at"]),
        updated_at=_when(raw["updated_at"]),
    )


def _search_item(raw: Mapping[str, Any]) -> SearchItem:
    score = raw.get("score")
    return SearchItem(
        namespace=tuple(raw["namespace"]),
        key=raw["key"],
        value=raw["value"],
        created_at=_when(raw["created_at"]),
        updated_at=_when(raw["updated_at"]),
        score=None if score is None else float(score),
    )
