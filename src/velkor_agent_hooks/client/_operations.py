"""Every operation of the service, declared once: its route, its arguments and their checks,
and its reply.

The client checks arguments by this table before a backend sees them, the HTTP backend
sends and reads by it, the server routes, checks again and encodes by it, and the embedded
backend and the server run ``Service.handler(name)`` with the checked arguments. Adding an
operation is one entry here and its handler in the service (and a client method, whose
signature is the public face of the entry).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from dataclasses import MISSING, dataclass, field, fields
from typing import Any

from . import _checks as check
from ._types import ContextResult, GateDecision, VelkorProtocolError
from ._vectors import optional_vector, optional_vectors

_REQUIRED: Any = object()
APPROVAL_STATUSES = ("pending", "approved", "denied", "expired", "used")


def _plain(fn: Callable[..., object], **options: Any) -> Callable[[str, Any], Any]:
    def run(name: str, value: Any) -> Any:
        fn(name, value, **options)
        return value

    return run


text = _plain(check.check_str)
optional_text = _plain(check.check_str, optional=True)
nonempty = _plain(check.check_nonempty)
count = _plain(check.check_int)
optional_depth = _plain(check.check_int, minimum=1, optional=True)


def optional_nonempty(name: str, value: Any) -> str | None:
    if value is not None:
        check.check_nonempty(name, value)
    return value


def optional_seconds(name: str, value: Any) -> float | None:
    return None if value is None else check.check_timeout(value, name)


def positive(name: str, value: Any) -> int:
    check.check_int(name, value, minimum=1)
    return value


def flag(name: str, value: Any) -> bool:
    if type(value) is not bool:
        raise TypeError(f"{name} must be bool, got {type(value).__name__}")
    return value


def one_of(*choices: str) -> Callable[[str, Any], Any]:
    def run(name: str, value: Any) -> Any:
        check.check_str(name, value, optional=True)
        if value is not None and value not in choices:
            raise ValueError(f"{name} must be one of {', '.join(choices)} or None, not {value!r}")
        return value

    return run


def json_object(name: str, value: Any) -> dict[str, Any] | None:
    return check.copy_json_mapping(name, value)


def exact_json_object(name: str, value: Any) -> dict[str, Any]:
    copy = check.copy_json_mapping(name, value, optional=False, exact=True)
    assert copy is not None
    return copy


def namespace(name: str, value: Any) -> tuple[str, ...]:
    return check.check_namespace(name, value)


def prefix(name: str, value: Any) -> tuple[str, ...]:
    return check.check_namespace(name, value, allow_empty=True)


def pattern(name: str, value: Any) -> tuple[str, ...] | None:
    return check.check_pattern(name, value)


def filters(name: str, value: Any) -> dict[str, Any] | None:
    return check.check_filter(value)


def turns(name: str, value: Any) -> list[tuple[str, str]]:
    return check.check_turns(value)


def _tuple(value: Any) -> Any:
    # JSON has no tuples: a list of labels on the wire is a namespace.
    return tuple(value) if type(value) is list else value


def _turns_out(value: list[tuple[str, str]]) -> list[dict[str, str]]:
    return [{"role": role, "text": body} for role, body in value]


@dataclass(frozen=True, slots=True)
class Arg:
    name: str
    check: Callable[[str, Any], Any]  # returns the value to use; TypeError/ValueError if bad
    default: Any = _REQUIRED
    from_wire: Callable[[Any], Any] | None = None  # JSON value to Python, before the check
    to_wire: Callable[[Any], Any] | None = None  # checked value to JSON
    capped: bool = False  # a list the server caps at its max_turns
    # Left off the wire at its default, so that servers of earlier releases, which do not
    # know the argument, still take the request.
    optional_on_wire: bool = False


def _exact(reply: dict[str, Any], where: str, **types: type) -> list[Any]:
    values = [reply.get(name) for name in types]
    for (name, kind), value in zip(types.items(), values, strict=True):
        # Exact types: JSON true must not pass for an int, nor 1 for a bool.
        if type(value) is not kind:
            raise VelkorProtocolError(f"{where}: reply field {name!r} is not a {kind.__name__}")
    return values


_JSON_TYPES = {"str": (str,), "int": (int,), "bool": (bool,), "str | None": (str, type(None))}


def _result(cls: type) -> Callable[[dict[str, Any], dict[str, Any], str], Any]:
    """Reads a result dataclass from a reply: a field with a default may be absent (a server
    of an earlier release), the others must be there with their exact type."""
    declared = [(f.name, f.type, f.default is not MISSING) for f in fields(cls)]

    def decode(reply: dict[str, Any], args: dict[str, Any], where: str) -> Any:
        values = {}
        for name, annotation, optional in declared:
            if optional and name not in reply:
                continue
            value = reply.get(name)
            if type(value) not in _JSON_TYPES[str(annotation)]:
                raise VelkorProtocolError(f"{where}: reply field {name!r} is not a {annotation}")
            values[name] = value
        return cls(**values)

    return decode


def _fields(result: Any) -> dict[str, Any]:
    # dataclasses.asdict deep-copies; these results hold only str, int and bool.
    return {name: getattr(result, name) for name in result.__slots__}


def _rows(key: str) -> Callable[[dict[str, Any], str], list[dict[str, Any]]]:
    def decode(reply: dict[str, Any], where: str) -> list[dict[str, Any]]:
        (rows,) = _exact(reply, where, **{key: list})
        if not all(type(row) is dict for row in rows):
            raise VelkorProtocolError(f"{where}: reply field {key!r} holds a non-object")
        return rows

    return decode


def item_out(item: dict[str, Any] | None) -> dict[str, Any] | None:
    return None if item is None else {**item, "namespace": list(item["namespace"])}


def item_in(row: Any, where: str) -> dict[str, Any]:
    if type(row) is not dict:
        raise VelkorProtocolError(f"{where}: an item is not an object")
    label_list = row.get("namespace")
    if type(label_list) is not list or not all(type(label) is str for label in label_list):
        raise VelkorProtocolError(f"{where}: item namespace is not a list of str")
    _exact(row, where, key=str, value=dict, created_at=str, updated_at=str)
    return {**row, "namespace": tuple(label_list)}


def _remembered(reply: dict[str, Any], args: dict[str, Any], where: str) -> dict[str, Any]:
    (ids,) = _exact(reply, where, ids=list)
    if len(ids) != len(args["turns"]) or not all(type(i) is str for i in ids):
        raise VelkorProtocolError(f"{where}: expected {len(args['turns'])} ids, got {ids!r}")
    return {"stored": len(ids), "ids": ids, "session_id": args["session_id"]}


def _doctor(reply: dict[str, Any], args: dict[str, Any], where: str) -> dict[str, Any]:
    _exact(reply, where, memories=int, audit_events=int, deny_tools=list, version=str)
    return reply


@dataclass(frozen=True, slots=True)
class Operation:
    name: str
    method: str
    path: str
    args: tuple[Arg, ...] = ()
    # The handler's result as the reply's JSON object (server side).
    encode: Callable[[Any], dict[str, Any]] = lambda result: result
    # The reply's JSON object as the handler's result (client side); VelkorProtocolError if
    # it is not what the operation replies.
    decode: Callable[[dict[str, Any], dict[str, Any], str], Any] = lambda reply, args, w: reply
    # A listing: ?limit=&offset= select a page, whose rows the reply holds under this key
    # with "next_offset" (null after the last page).
    page_key: str | None = None
    summary: str = ""
    names: frozenset[str] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "names", frozenset(arg.name for arg in self.args))

    def bind(self, values: dict[str, Any]) -> dict[str, Any]:
        """The checked arguments, defaults filled in; TypeError or ValueError if any is bad."""
        known = self.names
        for name in values:
            if name not in known:
                raise TypeError(f"{self.name}() got an unexpected argument {name!r}")
        bound = {}
        for arg in self.args:
            if arg.name in values:
                bound[arg.name] = arg.check(arg.name, values[arg.name])
            elif arg.default is _REQUIRED:
                raise TypeError(f"{self.name}() is missing the argument {arg.name!r}")
            else:
                bound[arg.name] = arg.default
        return bound

    def from_wire(self, body: dict[str, Any]) -> dict[str, Any]:
        """A request body's arguments, converted and checked."""
        converted = dict(body)
        for arg in self.args:
            if arg.from_wire is not None and arg.name in converted:
                converted[arg.name] = arg.from_wire(converted[arg.name])
        return self.bind(converted)

    def to_wire(self, args: dict[str, Any]) -> dict[str, Any]:
        out = {}
        for arg in self.args:
            value = args[arg.name]
            if arg.optional_on_wire and value == arg.default:
                continue
            out[arg.name] = value if arg.to_wire is None else arg.to_wire(value)
        return out


def _ops(*declared: Operation) -> dict[str, Operation]:
    return {op.name: op for op in declared}


_EVENT_ARGS = (
    Arg("agent_id", text, ""),
    Arg("session_id", text, ""),
    Arg("system_id", text, ""),
    Arg("actor", text, ""),
)
_PURPOSE_ARGS = (
    Arg("purpose", optional_text, None),
    Arg("capability", optional_text, None),
    Arg("resource", optional_text, None),
)

OPERATIONS: dict[str, Operation] = _ops(
    Operation(
        "context",
        "POST",
        "/v1/context",
        (
            Arg("query", text),
            Arg("max_tokens", count, 2000),
            Arg("session_id", optional_text, None),
        ),
        encode=_fields,
        decode=_result(ContextResult),
        summary="the stored texts most relevant to a query, within a token budget",
    ),
    Operation(
        "remember",
        "POST",
        "/v1/remember",
        (
            Arg("turns", turns, to_wire=_turns_out, capped=True),
            Arg("session_id", nonempty, "sdk"),
            Arg("user_id", text, ""),
            Arg("timestamp", text, ""),
            Arg("ttl", optional_seconds, None, optional_on_wire=True),
        ),
        decode=_remembered,
        summary="store conversation turns under a session",
    ),
    Operation(
        "recall",
        "POST",
        "/v1/recall",
        (
            Arg("query", text),
            Arg("limit", count, 10),
            Arg("session_id", optional_text, None),
            Arg("user_id", optional_text, None),
        ),
        encode=lambda found: {"memories": found},
        decode=lambda reply, args, where: _rows("memories")(reply, where),
        summary="the memories best matching a query, best first, with their scores",
    ),
    Operation(
        "forget",
        "POST",
        "/v1/forget",
        (
            Arg("memory_id", optional_nonempty, None),
            Arg("session_id", optional_nonempty, None),
            Arg("user_id", optional_nonempty, None),
        ),
        encode=lambda erased: {"forgotten": erased},
        decode=lambda reply, args, where: _exact(reply, where, forgotten=int)[0],
        summary="erase one memory, or a session's or a user's; how many",
    ),
    Operation(
        "gate",
        "POST",
        "/v1/gate",
        (
            Arg("tool_name", nonempty),
            *_EVENT_ARGS,
            Arg("action", text, ""),
            *_PURPOSE_ARGS,
            Arg("approval_id", optional_text, None),
            Arg("trace_id", text, ""),
            Arg("tool_input", json_object, None),
        ),
        encode=_fields,
        decode=_result(GateDecision),
        summary="decide whether a tool call may run; recorded in the audit",
    ),
    Operation(
        "observe",
        "POST",
        "/v1/observe",
        (
            Arg("tool_name", nonempty),
            *_EVENT_ARGS,
            Arg("outcome_status", nonempty, "SUCCESS"),
            Arg("fields", json_object, None),
            *_PURPOSE_ARGS,
            Arg("trace_id", text, ""),
        ),
        decode=lambda reply, args, where: {
            "recorded": True,
            "event_id": _exact(reply, where, event_id=str)[0],
        },
        summary="record a tool call's outcome in the audit",
    ),
    Operation(
        "doctor",
        "GET",
        "/v1/doctor",
        decode=_doctor,
        summary="the service's version, storage and counts",
    ),
    Operation(
        "memories",
        "GET",
        "/v1/memories",
        page_key="memories",
        summary="the stored memories, oldest first",
    ),
    Operation(
        "audit_events",
        "GET",
        "/v1/audit-events",
        tuple(
            Arg(name, optional_text, None, optional_on_wire=True)
            for name in ("trace_id", "agent_id", "tool_name", "kind", "since", "until")
        ),
        page_key="events",
        summary="the audit events, oldest first; filters by trace, agent, tool, kind, time",
    ),
    Operation(
        "verify_audit",
        "GET",
        "/v1/audit/verify",
        decode=lambda reply, args, where: _verified(reply, where),
        summary="whether the audit's hash chain is whole, and the first event that is not",
    ),
    Operation(
        "approvals",
        "GET",
        "/v1/approvals",
        (Arg("status", one_of(*APPROVAL_STATUSES), None, optional_on_wire=True),),
        page_key="approvals",
        summary="approvals, pending first",
    ),
    Operation(
        "decide_approval",
        "POST",
        "/v1/approvals/decide",
        (
            Arg("approval_id", nonempty),
            Arg("approve", flag),
            Arg("by", nonempty),
            Arg("note", text, ""),
        ),
        decode=lambda reply, args, where: _approval(reply, where),
        summary="approve or deny a pending approval",
    ),
    Operation(
        "put_item",
        "POST",
        "/v1/store/put",
        (
            Arg("namespace", namespace, from_wire=_tuple),
            Arg("key", nonempty),
            Arg("value", exact_json_object),
            Arg("ttl", optional_seconds, None, optional_on_wire=True),
            Arg("vectors", optional_vectors, None, optional_on_wire=True),
        ),
        encode=item_out,  # type: ignore[arg-type]
        decode=lambda reply, args, where: item_in(reply, where),
        summary="store a JSON object under a namespace and key",
    ),
    Operation(
        "get_item",
        "POST",
        "/v1/store/get",
        (
            Arg("namespace", namespace, from_wire=_tuple),
            Arg("key", nonempty),
            Arg("refresh_ttl", flag, False, optional_on_wire=True),
        ),
        encode=lambda item: {"item": item_out(item)},
        decode=lambda reply, args, where: (
            None if reply.get("item") is None else item_in(reply["item"], where)
        ),
        summary="one stored item, or null",
    ),
    Operation(
        "delete_item",
        "POST",
        "/v1/store/delete",
        (Arg("namespace", namespace, from_wire=_tuple), Arg("key", nonempty)),
        encode=lambda deleted: {"deleted": deleted},
        decode=lambda reply, args, where: _exact(reply, where, deleted=bool)[0],
        summary="delete a stored item; whether there was one",
    ),
    Operation(
        "search_items",
        "POST",
        "/v1/store/search",
        (
            Arg("namespace_prefix", prefix, (), from_wire=_tuple),
            Arg("query", optional_text, None),
            Arg("filter", filters, None),
            Arg("limit", count, 10),
            Arg("offset", count, 0),
            Arg("refresh_ttl", flag, False, optional_on_wire=True),
            Arg("vector", optional_vector, None, optional_on_wire=True),
        ),
        encode=lambda items: {"items": [item_out(i) for i in items]},
        decode=lambda reply, args, where: [
            item_in(row, where) for row in _rows("items")(reply, where)
        ],
        summary="stored items under a namespace prefix, filtered, by relevance to a query",
    ),
    Operation(
        "list_namespaces",
        "POST",
        "/v1/store/namespaces",
        (
            Arg("prefix", pattern, None, from_wire=_tuple),
            Arg("suffix", pattern, None, from_wire=_tuple),
            Arg("max_depth", optional_depth, None),
            Arg("limit", count, 100),
            Arg("offset", count, 0),
        ),
        encode=lambda namespaces: {"namespaces": namespaces},
        decode=lambda reply, args, where: _namespaces(reply, where),
        summary="the namespaces holding items",
    ),
    Operation(
        "batch_items",
        "POST",
        "/v1/store/batch",
        (
            Arg(
                "ops",
                lambda name, value: _item_ops(name, value),
                from_wire=lambda value: _ops_in(value),
                to_wire=lambda value: _ops_out(value),
            ),
        ),
        encode=lambda done: {"results": [OPERATIONS[n].encode(r) for n, r in done]},
        decode=lambda reply, args, where: _batch_results(reply, args, where),
        summary="keyed-store operations in order, in one transaction",
    ),
    Operation(
        "purge_items",
        "POST",
        "/v1/store/purge",
        encode=lambda purged: {"purged": purged},
        decode=lambda reply, args, where: _exact(reply, where, purged=int)[0],
        summary="erase the expired stored items now; how many",
    ),
)
ITEM_OPERATIONS = ("put_item", "get_item", "delete_item", "search_items", "list_namespaces")


def _item_ops(name: str, value: Any) -> list[tuple[str, dict[str, Any]]]:
    """(operation, checked arguments) pairs; the operation's own table entry checks them."""
    if not isinstance(value, list | tuple):
        raise TypeError(f"{name} must be a list of (operation, arguments) pairs")
    checked = []
    for index, entry in enumerate(value):
        if not (isinstance(entry, tuple | list) and len(entry) == 2):
            raise TypeError(f"{name}[{index}] must be an (operation, arguments) pair")
        op_name, args = entry
        if op_name not in ITEM_OPERATIONS:
            raise ValueError(f"{name}[{index}]: {op_name!r} is not one of {ITEM_OPERATIONS}")
        if not isinstance(args, Mapping):
            raise TypeError(f"{name}[{index}] arguments must be a mapping")
        try:
            checked.append((op_name, OPERATIONS[op_name].bind(dict(args))))
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"{name}[{index}] ({op_name}): {exc}") from None
    return checked


def _ops_in(value: Any) -> Any:
    if type(value) is not list or not all(type(e) is dict for e in value):
        return value  # the check says what is wrong
    out = []
    for entry in value:
        op = OPERATIONS.get(entry.get("op"))  # type: ignore[arg-type]
        args = entry.get("args")
        if op is not None and type(args) is dict:
            args = {
                k: (a.from_wire(v) if (a := _arg(op, k)) and a.from_wire else v)
                for k, v in args.items()
            }
        out.append((entry.get("op"), args))
    return out


def _arg(op: Operation, name: str) -> Arg | None:
    return next((a for a in op.args if a.name == name), None)


def _ops_out(ops: list[tuple[str, dict[str, Any]]]) -> list[dict[str, Any]]:
    return [{"op": name, "args": OPERATIONS[name].to_wire(args)} for name, args in ops]


def _batch_results(reply: dict[str, Any], args: dict[str, Any], where: str) -> list[Any]:
    (results,) = _exact(reply, where, results=list)
    ops = args["ops"]
    if len(results) != len(ops) or not all(type(r) is dict for r in results):
        raise VelkorProtocolError(f"{where}: expected {len(ops)} result objects")
    return [
        (name, OPERATIONS[name].decode(result, op_args, where))
        for (name, op_args), result in zip(ops, results, strict=True)
    ]


def _namespaces(reply: dict[str, Any], where: str) -> list[tuple[str, ...]]:
    (rows,) = _exact(reply, where, namespaces=list)
    if not all(type(ns) is list and all(type(x) is str for x in ns) for ns in rows):
        raise VelkorProtocolError(f"{where}: a namespace is not a list of str")
    return [tuple(ns) for ns in rows]


def _verified(reply: dict[str, Any], where: str) -> dict[str, Any]:
    ok, events = _exact(reply, where, ok=bool, events=int)
    bad = reply.get("first_bad_seq")
    if bad is not None and type(bad) is not int:
        raise VelkorProtocolError(f"{where}: reply field 'first_bad_seq' is not an int")
    return {"ok": ok, "events": events, "first_bad_seq": bad}


def _approval(reply: dict[str, Any], where: str) -> dict[str, Any]:
    _exact(reply, where, id=str, status=str, tool_name=str, agent_id=str)
    return reply


def page_rows(op: Operation, reply: dict[str, Any], where: str) -> list[dict[str, Any]]:
    assert op.page_key is not None
    return _rows(op.page_key)(reply, where)


# Operation name -> (method, path), for tools that only need the routes.
ROUTES = {op.name: (op.method, op.path) for op in OPERATIONS.values()}


def route_table(ops: Iterable[Operation] = OPERATIONS.values()) -> str:
    """The routes as a Markdown table, for the docs."""
    lines = ["| operation | route | does |", "| --- | --- | --- |"]
    lines += [f"| `{op.name}` | `{op.method} {op.path}` | {op.summary} |" for op in ops]
    return "\n".join(lines)
