"""Tool-call policies in Cedar: parsed and validated once, decided per call.

A call is the Cedar request principal ``Agent::"<agent_id>"``, action ``Action::"call_tool"``,
resource ``Tool::"<tool_name>"`` with the context declared in ``schema.cedarschema``. How JSON
values Cedar cannot hold are carried, and how ``context.input`` is validated, is told in
docs/policies.md. Needs the ``policy`` extra (cedarpy); importing this module does not.
"""

from __future__ import annotations

import decimal
import hashlib
import json
import math
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = [
    "ALLOWED",
    "APPROVAL_REQUIRED",
    "DENIED",
    "NO_PERMIT",
    "RECENT_FIELDS",
    "SCHEMA_PATH",
    "Decision",
    "Policy",
    "PolicyError",
    "Problem",
    "check",
    "cli_check",
    "cli_test",
    "load_policy",
]

SCHEMA_PATH = Path(__file__).with_name("schema.cedarschema")
INSTALL_HINT = "pip install 'velkor-agent-hooks[policy]'"

ALLOWED = "ALLOWED"
DENIED = "DENIED"
APPROVAL_REQUIRED = "APPROVAL_REQUIRED"
NO_PERMIT = "no policy permits this call"
RECENT_FIELDS = ("tool_calls_last_minute", "tool_calls_in_session")
_TEXT_FIELDS = ("session_id", "trace_id", "system_id", "actor", "action")
_OPTIONAL_FIELDS = ("purpose", "capability", "resource")

_LONG_MIN, _LONG_MAX = -(2**63), 2**63 - 1
_DECIMAL_MAX = decimal.Decimal("922337203685477.5807")
_RESERVED_KEYS = frozenset(("__entity", "__extn", "__expr"))
_MAX_DEPTH = 64
_ACTION = {"type": "Action", "id": "call_tool"}
_CONTEXT = {"Var": "context"}
# Stands in for `context.input has ...` during validation: a Bool of unknown value, so the
# validator goes on to type-check what the guard protects.
_HAS_PLACEHOLDER = {
    "==": {"left": {".": {"left": _CONTEXT, "attr": "session_id"}}, "right": {"Value": ""}}
}
_INPUT_READ = re.compile(r"attribute `input[.\[][^`]*` in context for .* not found")
_FOR_POLICY = re.compile(r"^for policy `([^`]+)`, ")
_EVAL_ERROR = re.compile(r"^error while evaluating policy `([^`]+)`: (.*)$", re.S)
_QUOTED = re.compile(r"`([^`]+)`")
_EOF = "unexpected end of input"
_NO_TEMPLATES = {"templates": {}, "templateLinks": []}
# Carried contexts are fresh trees no deeper than _MAX_DEPTH, so the cycle check is spared.
_to_json = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode


def _cedar() -> Any:
    try:
        import cedarpy
    except ImportError as exc:
        raise ImportError(f"Cedar policies need cedarpy: {INSTALL_HINT}") from exc
    return cedarpy


@dataclass(frozen=True, slots=True)
class Problem:
    """One reason a policy file is refused, at a 1-based line."""

    file: str
    line: int
    message: str

    def __str__(self) -> str:
        return f"{self.file}:{self.line}: {self.message}"


class PolicyError(ValueError):
    """Policies that do not parse or validate; ``problems`` lists each with its file and line."""

    def __init__(self, problems: list[Problem]) -> None:
        self.problems = tuple(problems)
        super().__init__("\n".join(map(str, self.problems)))


@dataclass(frozen=True, slots=True)
class Decision:
    """A policy decision on one tool call.

    ``policies`` are the ids of the determining policies (``@id``, else Cedar's ``policyN``),
    ``shadow`` the decision with the ``@shadow`` policies live (None when none applies to the
    tool), ``errors`` the policies that failed to evaluate.
    """

    allow: bool
    outcome: str
    reason: str
    policies: tuple[str, ...]
    policy_version: str
    shadow: dict[str, Any] | None = None
    errors: tuple[str, ...] = ()

    def as_dict(self) -> dict[str, Any]:
        """The decision as JSON-able fields for an audit event."""
        return {
            "allow": self.allow,
            "outcome": self.outcome,
            "reason": self.reason,
            "policies": list(self.policies),
            "policy_version": self.policy_version,
            "policy_errors": list(self.errors),
            "shadow": self.shadow,
        }


class _Uncarriable(Exception):
    """A tool input Cedar cannot be handed; the call is denied with this as the reason."""


@dataclass(frozen=True, slots=True)
class _Part:
    """Policies evaluated together, and the context keys they can read."""

    policy_set: Any
    fields: tuple[str, ...]
    input_keys: frozenset[str] | None  # None: the whole input
    recent: tuple[str, ...]
    reads_input: bool


@dataclass(frozen=True, slots=True)
class _Slice:
    """The parts that decide one tool's calls; ``approved`` ones leave out @approval forbids."""

    live: _Part | None
    shadow: _Part | None
    approved_live: _Part | None
    approved_shadow: _Part | None
    recent: frozenset[str]


class _Reads:
    """What a group of policies reads of the context; None is everything."""

    def __init__(self) -> None:
        self.top: set[str] | None = set()
        self.input: set[str] | None = set()
        self.recent: set[str] | None = set()

    def note(self, path: list[str], is_has: bool) -> None:
        if self.top is not None:
            self.top.add(path[0])
        if len(path) == 1:
            if not is_has:
                self._whole(path[0])
        elif path[0] == "input" and self.input is not None:
            self.input.add(path[1])
        elif path[0] == "recent" and self.recent is not None:
            self.recent.add(path[1])

    def _whole(self, key: str) -> None:
        if key == "input":
            self.input = None
        elif key == "recent":
            self.recent = None

    def walk(self, node: Any) -> None:
        if isinstance(node, list):
            for item in node:
                self.walk(item)
            return
        if not isinstance(node, dict):
            return
        for op, arg in node.items():
            if op == "Value":
                continue
            if op == "Var":
                if arg == "context":
                    self.top = self.input = self.recent = None
                continue
            if op in (".", "has") and isinstance(arg, dict):
                path = _context_path(arg.get("left"))
                if path is not None:
                    self.note([*path, arg["attr"]], op == "has")
                    continue
            # A record literal's keys are attribute names, not operators.
            self.walk(list(arg.values()) if op == "Record" else arg)


def _context_path(node: Any) -> list[str] | None:
    """The attributes of a ``context.a.b`` chain, or None if the node is not one."""
    attrs: list[str] = []
    while isinstance(node, dict) and len(node) == 1:
        if node == _CONTEXT:
            return attrs[::-1]
        get = node.get(".")
        if not isinstance(get, dict):
            return None
        attrs.append(get["attr"])
        node = get["left"]
    return None


def _mask_input_has(node: Any) -> Any:
    if isinstance(node, list):
        return [_mask_input_has(item) for item in node]
    if not isinstance(node, dict):
        return node
    has = node.get("has")
    if len(node) == 1 and isinstance(has, dict):
        path = _context_path(has.get("left"))
        if path and path[0] == "input":
            return _HAS_PLACEHOLDER
    return {k: v if k == "Value" else _mask_input_has(v) for k, v in node.items()}


def _policy_spans(text: str) -> list[tuple[int, int]]:
    """Where each policy lies: from its first token to its ``;``, or to the end of the text."""
    spans: list[tuple[int, int]] = []
    start, i, n = -1, 0, len(text)
    while i < n:
        c = text[i]
        if c == "/" and text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
            continue
        if not c.isspace():
            if start < 0:
                start = i
            if c == ";":
                spans.append((start, i + 1))
                start = -1
            elif c == '"':
                i += 1
                while i < n and text[i] != '"':
                    i += 2 if text[i] == "\\" else 1
        i += 1
    if start >= 0:
        spans.append((start, n))
    return spans


def _last_line(text: str) -> int:
    lines = text.splitlines()
    return max((n for n, line in enumerate(lines, 1) if line.strip()), default=1)


def _locate(lines: list[str], first: int, last: int, message: str, skip: str = "") -> int:
    """The first line in first..last holding a name the message quotes, else ``first``."""
    for fragment in _QUOTED.findall(message):
        if fragment == skip:
            continue
        for number in range(first, min(last, len(lines)) + 1):
            if fragment in lines[number - 1]:
                return number
    return first


def _parse_error(cedar: Any, text: str, message: str) -> tuple[int, str]:
    """Line and message of the first policy that does not parse.

    Cedar's parse errors carry no position: the policy is found by parsing each alone, the
    line by the shortest run of its lines that fails alike.
    """
    for start, end in _policy_spans(text):
        policy = text[start:end]
        try:
            cedar.PolicySet.from_str(policy)
        except ValueError as exc:
            message = str(exc)
            return text.count("\n", 0, start) + _failing_line(cedar, policy, message), message
    return _last_line(text), message


def _failing_line(cedar: Any, policy: str, message: str) -> int:
    lines = policy.splitlines(keepends=True)
    if message != _EOF:
        end = 0
        for number, line in enumerate(lines, 1):
            end += len(line)
            try:
                cedar.PolicySet.from_str(policy[:end])
            except ValueError as exc:
                if str(exc) == message:
                    if message.startswith(("unexpected token", "invalid token")):
                        return number
                    return _locate(lines, 1, number, message)
    return _last_line(policy)


class Policy:
    """Cedar policies, parsed and validated once; ``evaluate`` decides one tool call.

    Raises ``PolicyError`` (a ``ValueError``) naming file and line when the text does not
    parse or validate, and ``ImportError`` when cedarpy is not installed.
    """

    def __init__(self, text: str, *, file: str = "<policy>") -> None:
        if not isinstance(text, str):
            raise TypeError(f"policy text must be str, not {type(text).__name__}")
        cedar = _cedar()
        self.file = file
        self.text = text
        self.version = hashlib.sha256(text.encode("utf-8")).hexdigest()
        try:
            est = json.loads(cedar.policies_to_json_str(text))
        except ValueError as exc:
            line, message = _parse_error(cedar, text, str(exc))
            raise PolicyError([Problem(file, line, message)]) from None
        self._load(cedar, est)

    def _load(self, cedar: Any, est: dict[str, Any]) -> None:
        lines = self.text.splitlines()
        starts, line, seen = [], 1, 0
        for start, _ in _policy_spans(self.text):
            line += self.text.count("\n", seen, start)
            starts.append(line)
            seen = start

        def span(cedar_id: str) -> tuple[int, int]:
            index = int(cedar_id.removeprefix("policy"))
            first = starts[index] if index < len(starts) else 1
            last = starts[index + 1] - 1 if index + 1 < len(starts) else len(lines)
            return first, last

        problems = [
            Problem(self.file, span(cid)[0], "templates (?principal, ?resource) are not supported")
            for cid in est.get("templates", {})
        ]
        statics: dict[str, dict[str, Any]] = dict(
            sorted(est["staticPolicies"].items(), key=lambda kv: int(kv[0].removeprefix("policy")))
        )
        # Per Cedar id: (position, id, reason, approval).
        self._info: dict[str, tuple[int, str, str, bool]] = {}
        self._pids: set[str] = set()
        for cid, policy in statics.items():
            for message in self._annotate(cid, policy):
                problems.append(Problem(self.file, span(cid)[0], message))
        schema = cedar.Schema.from_str(SCHEMA_PATH.read_text(encoding="utf-8"))
        for cid, policy in statics.items():
            masked = {"staticPolicies": {"policy0": _mask_input_has(policy)}, **_NO_TEMPLATES}
            result = cedar.validate_policies(
                cedar.policies_from_json_str(json.dumps(masked)), schema
            )
            for error in result.errors:
                message = _FOR_POLICY.sub("", error.error)
                if _INPUT_READ.search(message):
                    continue
                line = _locate(lines, *span(cid), message, skip="policy0")
                pid = self._info[cid][1]
                problems.append(Problem(self.file, line, f"policy {pid}: {message}"))
        if problems:
            raise PolicyError(sorted(problems, key=lambda p: p.line))

        self.ids = tuple(self._info[cid][1] for cid in statics)
        self._authorize = cedar.is_authorized
        self._entities = cedar.Entities.from_json_str("[]")
        general: list[str] = []
        by_tool: dict[str, list[str]] = {}
        for cid, policy in statics.items():
            tool = _scoped_tool(policy["resource"])
            (general if tool is None else by_tool.setdefault(tool, [])).append(cid)

        def make(cids: list[str]) -> _Slice:
            chosen = {c: statics[c] for c in sorted(cids, key=lambda c: self._info[c][0])}
            dry = {c: p for c, p in chosen.items() if "shadow" in p.get("annotations", {})}
            wet = {c: p for c, p in chosen.items() if c not in dry}
            parts = []
            for group in (wet, dry):
                part = _part(cedar, group)
                lifted = {c: p for c, p in group.items() if not self._info[c][3]}
                parts += [part, part if len(lifted) == len(group) else _part(cedar, lifted)]
            live, approved_live, shadow, approved_shadow = parts
            recent = frozenset(field for part in parts if part for field in part.recent)
            return _Slice(live, shadow, approved_live, approved_shadow, recent)

        self._general = make(general)
        self._slices = {tool: make(general + cids) for tool, cids in by_tool.items()}

    def _annotate(self, cid: str, policy: dict[str, Any]) -> list[str]:
        """Record a policy's id, reason and approval flag; the problems with its annotations."""
        annotations = policy.get("annotations") or {}
        problems = []
        pid = annotations.get("id", cid)
        if not pid:
            problems.append("@id needs a non-empty value")
            pid = cid
        elif pid in self._pids:
            problems.append(f"@id {pid!r} is used twice")
        reason = annotations.get("reason", pid)
        if not reason:
            problems.append("@reason needs a non-empty value")
        if annotations.get("shadow"):
            problems.append("@shadow takes no value")
        approval = "approval" in annotations
        if approval and policy["effect"] != "forbid":
            problems.append("@approval applies to forbid policies only")
        self._info[cid] = (len(self._info), pid, reason or pid, approval)
        self._pids.add(pid)
        return problems

    def recent_fields(self, tool_name: str) -> frozenset[str]:
        """The ``recent`` counts the policies for this tool read: the only ones to count."""
        return self._slices.get(tool_name, self._general).recent

    def evaluate(
        self,
        tool_name: str,
        *,
        agent_id: str,
        tool_input: Mapping[str, Any] | None = None,
        session_id: str = "",
        trace_id: str = "",
        system_id: str = "",
        actor: str = "",
        action: str = "",
        purpose: str | None = None,
        capability: str | None = None,
        resource: str | None = None,
        recent: Mapping[str, int] | None = None,
        approved: bool = False,
    ) -> Decision:
        """Decide one tool call.

        ``recent`` holds the counts named by ``recent_fields(tool_name)``; it may be omitted
        when that is empty. ``approved``: a person approved this call, so the ``@approval``
        forbids are left out and the rest decide. Raises ``TypeError``/``ValueError`` for
        arguments of the wrong shape; a call Cedar cannot evaluate is DENIED, never raised.
        """
        if type(tool_name) is not str or not tool_name:
            raise ValueError(f"tool_name must be a non-empty str, not {tool_name!r}")
        values = {
            "agent_id": agent_id,
            "session_id": session_id,
            "trace_id": trace_id,
            "system_id": system_id,
            "actor": actor,
            "action": action,
        }
        for name, value in values.items():
            if type(value) is not str:
                raise TypeError(f"{name} must be a str, not {type(value).__name__}")
        for name, value in (
            ("purpose", purpose),
            ("capability", capability),
            ("resource", resource),
        ):
            if value is not None:
                if type(value) is not str:
                    raise TypeError(f"{name} must be a str or None, not {type(value).__name__}")
                values[name] = value
        if tool_input is None:
            tool_input = {}
        elif not isinstance(tool_input, Mapping):
            raise TypeError(f"tool_input must be a JSON object, not {type(tool_input).__name__}")
        chosen = self._slices.get(tool_name, self._general)
        if recent is not None or chosen.recent:
            _check_recent(recent, chosen.recent, tool_name)
        if type(approved) is not bool:
            raise TypeError(f"approved must be a bool, not {type(approved).__name__}")
        live_part, shadow_part = (
            (chosen.approved_live, chosen.approved_shadow)
            if approved
            else (chosen.live, chosen.shadow)
        )
        live = self._run(live_part, tool_name, values, tool_input, recent)
        allow, outcome, reason, policies, errors = self._compose(*live)
        shadow = None
        if shadow_part is not None:
            dry = self._run(shadow_part, tool_name, values, tool_input, recent)
            merged = (live[0] + dry[0], live[1] + dry[1], live[2] + dry[2])
            _, would, why, which, _ = self._compose(*merged)
            shadow = {"outcome": would, "reason": why, "policies": list(which)}
        return Decision(allow, outcome, reason, policies, self.version, shadow, errors)

    def _run(
        self,
        part: _Part | None,
        tool_name: str,
        values: dict[str, Any],
        tool_input: Mapping[str, Any],
        recent: Mapping[str, int] | None,
    ) -> tuple[list[str], list[str], list[tuple[str | None, str]]]:
        """Satisfied forbids, satisfied permits and errors of one evaluation."""
        if part is None:
            return [], [], []
        context = {f: values[f] for f in part.fields if f in values}
        if part.reads_input:
            try:
                context["input"] = _carry_input(tool_input, part.input_keys)
            except _Uncarriable as exc:
                return [], [], [(None, str(exc))]
        if part.recent:
            context["recent"] = {f: recent[f] for f in part.recent}  # type: ignore[index]
        request = {
            "principal": {"type": "Agent", "id": values["agent_id"]},
            "action": _ACTION,
            "resource": {"type": "Tool", "id": tool_name},
            "context": _to_json(context),
        }
        result = self._authorize(request, part.policy_set, self._entities)
        diagnostics = result.diagnostics
        errors: list[tuple[str | None, str]] = []
        for text in diagnostics.errors:
            match = _EVAL_ERROR.match(text)
            errors.append((match[1], match[2]) if match else (None, text))
        decision = result.decision.value
        if decision == "Allow":
            return [], diagnostics.reasons, errors
        if decision == "Deny":
            return diagnostics.reasons, [], errors
        return [], [], errors or [(None, "Cedar reached no decision")]

    def _compose(
        self,
        forbids: list[str],
        permits: list[str],
        errors: list[tuple[str | None, str]],
    ) -> tuple[bool, str, str, tuple[str, ...], tuple[str, ...]]:
        """Cedar's combination, with a policy that failed to evaluate counted as a forbid."""
        info = self._info
        if not forbids and not errors:
            if not permits:
                return False, DENIED, NO_PERMIT, (), ()
            ranked = sorted(info[c] for c in permits)
            return True, ALLOWED, ranked[0][2], tuple(r[1] for r in ranked), ()
        failures = []
        for cid, detail in errors:
            if cid in info:
                index, pid = info[cid][:2]
                failures.append(
                    (index, pid, f"policy {pid} could not be evaluated: {detail}", False)
                )
            else:
                failures.append((-1, None, detail, False))
        failures.sort(key=lambda f: f[0])
        denials = sorted([info[c] for c in forbids] + failures, key=lambda d: d[0])
        outcome = APPROVAL_REQUIRED if all(d[3] for d in denials) else DENIED
        policies = tuple(d[1] for d in denials if d[1] is not None)
        return False, outcome, denials[0][2], policies, tuple(f[2] for f in failures)


def _part(cedar: Any, policies: dict[str, Any]) -> _Part | None:
    """One Cedar policy set, and the context it reads (the rest is never sent)."""
    if not policies:
        return None
    reads = _Reads()
    for policy in policies.values():
        reads.walk(policy["conditions"])
    top = reads.top
    fields = tuple(f for f in _TEXT_FIELDS + _OPTIONAL_FIELDS if top is None or f in top)
    if top is not None and "recent" not in top:
        recent: tuple[str, ...] = ()
    else:
        recent = tuple(f for f in RECENT_FIELDS if reads.recent is None or f in reads.recent)
    est = {"staticPolicies": policies, **_NO_TEMPLATES}
    return _Part(
        policy_set=cedar.PolicySet.from_json_str(json.dumps(est)),
        fields=fields,
        input_keys=None if reads.input is None else frozenset(reads.input),
        recent=recent,
        reads_input=top is None or "input" in top,
    )


def _scoped_tool(scope: dict[str, Any]) -> str | None:
    """The tool a resource scope names (``==``, ``in``, ``is Tool in``), else None."""
    op = scope.get("op")
    entity = scope.get("entity") if op in ("==", "in") else (scope.get("in") or {}).get("entity")
    if isinstance(entity, dict) and entity.get("type") == "Tool":
        return entity.get("id")
    return None


def _check_recent(recent: Any, needed: frozenset[str], tool_name: str) -> None:
    if recent is None:
        recent = {}
    elif not isinstance(recent, Mapping):
        raise TypeError(f"recent must be a mapping of counts, not {type(recent).__name__}")
    for name, count in recent.items():
        if name not in RECENT_FIELDS:
            raise ValueError(f"recent: unknown count {name!r}; known: {', '.join(RECENT_FIELDS)}")
        if type(count) is not int or not 0 <= count <= _LONG_MAX:
            raise ValueError(f"recent[{name!r}] must be a non-negative int, not {count!r}")
    missing = sorted(needed.difference(recent))
    if missing:
        raise ValueError(
            f"the policies for tool {tool_name!r} read context.recent.{missing[0]}: "
            f"pass recent={{{', '.join(repr(m) + ': count' for m in missing)}}}"
        )


def _carry_input(value: Mapping[str, Any], keys: frozenset[str] | None) -> dict[str, Any]:
    names = value.keys() if keys is None else keys
    reserved = _RESERVED_KEYS.intersection(names).intersection(value)
    if reserved:
        # Cedar's JSON would read such a record as an entity or extension value.
        raise _Uncarriable(f"tool input key {min(reserved)!r} is reserved by Cedar's JSON format")
    out = {}
    for key in names:
        if key in value:
            if type(key) is not str:
                raise TypeError(f"tool input keys must be str, not {type(key).__name__}")
            out[key] = _carry(value[key], 1)
    return out


def _carry(value: Any, depth: int) -> Any:
    """A JSON value as Cedar's JSON holds it; see docs/policies.md, "Values"."""
    kind = type(value)
    if kind is str or kind is bool:
        return value
    if kind is int:
        return value if _LONG_MIN <= value <= _LONG_MAX else str(value)
    if kind is float:
        return _carry_float(value)
    if value is None:
        return "null"
    if depth >= _MAX_DEPTH:
        raise _Uncarriable(f"tool input nests deeper than {_MAX_DEPTH} levels")
    if isinstance(value, Mapping):
        if not _RESERVED_KEYS.isdisjoint(value):
            return _json_text(value)
        out = {}
        for key, item in value.items():
            if type(key) is not str:
                raise TypeError(f"tool input keys must be str, not {type(key).__name__}")
            out[key] = _carry(item, depth + 1)
        return out
    if isinstance(value, (list, tuple)):
        return [_carry(item, depth + 1) for item in value]
    for base in (bool, str, int, float):
        if isinstance(value, base):
            return _carry(base(value), depth)
    raise TypeError(f"tool input holds a {kind.__name__}, which is not a JSON value")


def _carry_float(value: float) -> Any:
    if not math.isfinite(value):
        return json.dumps(value)
    if value.is_integer() and _LONG_MIN <= value <= _LONG_MAX:
        return int(value)
    text = repr(value)
    number = decimal.Decimal(text)
    exponent = number.as_tuple().exponent
    if isinstance(exponent, int) and exponent >= -4 and abs(number) <= _DECIMAL_MAX:
        return {"__extn": {"fn": "decimal", "arg": f"{number:f}"}}
    return text


def _json_text(value: Any) -> str:
    try:
        return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    except RecursionError:
        raise _Uncarriable(f"tool input nests deeper than {_MAX_DEPTH} levels") from None


def load_policy(source: str | os.PathLike[str]) -> Policy:
    """Policies from Cedar text, or from a file: a path object, or a one-line str ending .cedar."""
    if isinstance(source, os.PathLike) or (
        isinstance(source, str) and "\n" not in source and source.strip().endswith(".cedar")
    ):
        path = Path(source)
        raw = path.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise PolicyError([Problem(str(path), 1, f"not UTF-8 text: {exc.reason}")]) from None
        return Policy(text, file=str(path))
    return Policy(source)


def check(source: str | os.PathLike[str]) -> list[Problem]:
    """The problems that keep these policies from loading; empty when they load."""
    try:
        load_policy(source)
    except PolicyError as exc:
        return list(exc.problems)
    return []


def cli_check(path: str | os.PathLike[str]) -> tuple[int, str]:
    """``velkor policy check FILE``: status 0 valid, 1 refused (file:line each), 2 unreadable."""
    try:
        policy = load_policy(Path(path))
    except PolicyError as exc:
        return 1, str(exc)
    except OSError as exc:
        return 2, f"{path}: {exc.strerror or exc}"
    return 0, f"{path}: {len(policy.ids)} policies valid"


def cli_test(
    path: str | os.PathLike[str],
    *,
    tool: str,
    agent: str,
    input_json: str = "{}",
    recent: Mapping[str, int] | None = None,
    **context: str,
) -> tuple[int, str]:
    """``velkor policy test FILE --tool T --agent A --input JSON``: the decision as text.

    Exit status 0 when ALLOWED, 1 when DENIED or APPROVAL_REQUIRED, 2 when the file or the
    input is refused. Counts missing from ``recent`` are taken as 0; ``context`` takes the
    other request fields (session_id, purpose, ...).
    """
    try:
        tool_input = json.loads(input_json)
    except ValueError as exc:
        return 2, f"--input is not JSON: {exc}"
    if not isinstance(tool_input, dict):
        return 2, "--input must be a JSON object"
    try:
        policy = load_policy(Path(path))
        counts = {name: 0 for name in policy.recent_fields(tool)} | dict(recent or {})
        decision = policy.evaluate(
            tool, agent_id=agent, tool_input=tool_input, recent=counts, **context
        )
    except PolicyError as exc:
        return 2, str(exc)
    except OSError as exc:
        return 2, f"{path}: {exc.strerror or exc}"
    except (TypeError, ValueError) as exc:
        return 2, str(exc)
    lines = [
        f"outcome: {decision.outcome}",
        f"reason: {decision.reason}",
        f"policies: {', '.join(decision.policies) or '(none)'}",
    ]
    if decision.shadow is not None:
        shadow = decision.shadow
        lines.append(
            f"shadow: {shadow['outcome']} ({shadow['reason']}; "
            f"policies: {', '.join(shadow['policies']) or '(none)'})"
        )
    lines.append(f"policy_version: {decision.policy_version}")
    return (0 if decision.allow else 1), "\n".join(lines)
