"""Synchronous client for the Velkor memory and governance service.

``VelkorClient`` is the one object through which the rest of the package reaches the
service. Without ``base_url`` it uses an embedded, in-memory backend (standard library only;
all state is lost with the client). With ``base_url`` it sends each operation as JSON over
HTTP to a Velkor server, such as ``python -m velkor_agent_hooks.client serve`` or
:func:`serve` starts. One client may be shared by many threads with either backend.

Memory:

* ``remember`` stores a text under a session; ``context`` returns the stored texts that
  share the most distinct words with the query (case-insensitive), newest first on ties,
  joined by newlines within ``max_tokens``. Texts that do not fit are skipped. An empty
  query returns the most recent texts that fit, oldest first.
* Token estimate: ``ceil(len(text) / 4)`` characters, so 0 for "" and at least 1 otherwise.
* ``block_hash`` is the first 16 hex digits of the SHA-256 of the UTF-8 context text.

Governance: ``gate`` allows every tool except those in ``deny_tools``; ``gate`` and
``observe`` append an audit event holding every keyword they received. With a remote
backend the server's deny list applies and the server keeps the audit; a tool in the
client's own ``deny_tools`` is denied too.

Remote backend. Arguments are validated on the client before anything is sent, as for the
embedded backend (``TypeError``/``ValueError``, no request). ``tool_input`` and ``fields``
must be JSON-serialisable (``TypeError`` otherwise). Each request opens a new connection
with the client's ``timeout``. Failures raise subclasses of ``VelkorError``:

* ``VelkorConnectionError`` (a ``ConnectionError``): refused, reset, unknown host.
* ``VelkorTimeout`` (a ``TimeoutError``): no connection or reply within ``timeout``.
* ``VelkorHTTPError``: any status but 200; ``status``, and the server's ``message`` and
  ``error_type``. The server answers 400 when the operation raised ``TypeError`` or
  ``ValueError`` (``error_type`` names it) or the body is not a JSON object, 404 for an
  unknown path, 405 for a wrong method, 409 when the client's project is not the
  server's, 413 for a body over 32 MiB, and 500 for any other server failure.
* ``VelkorProtocolError``: a reply that is not HTTP, not a JSON object, or lacks a field.

Wire: ``POST /v1/context``, ``/v1/remember``, ``/v1/gate``, ``/v1/observe`` take a JSON
object of arguments; ``GET /v1/doctor``, ``/v1/memories``, ``/v1/audit-events`` take none.
Errors reply ``{"error": {"type": ..., "message": ...}}``. The header ``X-Velkor-Project``
carries the client's project, percent-encoded.

Environment variables read by ``VelkorClient.from_env`` (keyword overrides win):

* ``VELKOR_BASE_URL``: server URL (e.g. ``http://127.0.0.1:8787``); empty means embedded.
* ``VELKOR_PROJECT``: project name, default "default".
* ``VELKOR_AGENT_ID``: default agent identity for ``gate`` and ``observe``.
* ``VELKOR_DENY_TOOLS``: comma-separated tool names that ``gate`` denies.
* ``VELKOR_TIMEOUT``: request timeout in seconds, default 10.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import http.client
import json
import math
import os
import re
import signal
import sys
import threading
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from socketserver import TCPServer
from typing import Any
from urllib.parse import quote, unquote, urlsplit

__all__ = [
    "ContextResult",
    "GateDecision",
    "GovernanceDenied",
    "VelkorClient",
    "VelkorConnectionError",
    "VelkorError",
    "VelkorHTTPError",
    "VelkorProtocolError",
    "VelkorServer",
    "VelkorTimeout",
    "estimate_tokens",
    "serve",
]

__version__ = "0.1.0"

_WORD = re.compile(r"\w+")
_SEPARATOR = "\n"
_ENV_VARS = {
    "base_url": "VELKOR_BASE_URL",
    "project": "VELKOR_PROJECT",
    "agent_id": "VELKOR_AGENT_ID",
    "deny_tools": "VELKOR_DENY_TOOLS",
    "timeout": "VELKOR_TIMEOUT",
}
_PROJECT_HEADER = "X-Velkor-Project"
_MAX_BODY = 32 * 1024 * 1024


class VelkorError(Exception):
    """A client-side failure talking to the service."""


class VelkorConnectionError(VelkorError, ConnectionError):
    """The server could not be reached: refused, reset or unknown host."""


class VelkorTimeout(VelkorError, TimeoutError):
    """No connection or no reply within the client's ``timeout``."""


class VelkorHTTPError(VelkorError):
    """The server answered with a status other than 200."""

    def __init__(self, status: int, message: str, error_type: str = "") -> None:
        super().__init__(f"HTTP {status}: {message}")
        self.status = status
        self.message = message
        self.error_type = error_type


class VelkorProtocolError(VelkorError):
    """The reply was not the JSON object that the operation expects."""


@dataclass(frozen=True, slots=True)
class ContextResult:
    text: str
    block_hash: str
    token_count: int
    status: str
    hits: int = 0


@dataclass(frozen=True, slots=True)
class GateDecision:
    allow: bool
    governed: bool
    reason: str
    degraded: bool
    outcome: str
    tool_name: str = ""
    trace_id: str = ""

    def require(self) -> None:
        """Return if the tool may run, otherwise raise :class:`GovernanceDenied`."""
        if not self.allow:
            raise GovernanceDenied(self)


class GovernanceDenied(PermissionError):
    """Raised by :meth:`GateDecision.require` for a denied tool call."""

    def __init__(self, decision: GateDecision) -> None:
        super().__init__(f"tool {decision.tool_name!r} denied: {decision.reason}")
        self.decision = decision


def estimate_tokens(text: str) -> int:
    return math.ceil(len(text) / 4)


def _check_str(name: str, value: object, *, optional: bool = False) -> None:
    if value is None and optional:
        return
    if not isinstance(value, str):
        expected = "str or None" if optional else "str"
        raise TypeError(f"{name} must be {expected}, got {type(value).__name__}")


def _check_strs(**values: object) -> None:
    for name, value in values.items():
        _check_str(name, value)


def _check_optional_strs(**values: object) -> None:
    for name, value in values.items():
        _check_str(name, value, optional=True)


def _check_nonempty(name: str, value: object) -> None:
    _check_str(name, value)
    if not value.strip():
        raise ValueError(f"{name} must not be empty")


def _check_session(session_id: object, user_id: object, timestamp: object) -> None:
    _check_nonempty("session_id", session_id)
    _check_strs(user_id=user_id, timestamp=timestamp)


def _copy_mapping(name: str, value: object) -> dict[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a mapping or None, got {type(value).__name__}")
    return dict(value)


def _copy_event(event: dict[str, Any]) -> dict[str, Any]:
    return {k: dict(v) if isinstance(v, dict) else v for k, v in event.items()}


class _EmbeddedBackend:
    """All service state, in memory, behind one lock. Inputs arrive validated."""

    kind = "embedded"

    def __init__(self, deny_tools: frozenset[str]) -> None:
        self._lock = threading.Lock()
        self._deny = deny_tools
        self._memories: list[dict[str, Any]] = []
        self._events: list[dict[str, Any]] = []

    def store(
        self, items: list[tuple[str, str]], session_id: str, user_id: str, timestamp: str
    ) -> list[str]:
        stamp = timestamp or datetime.now(UTC).isoformat()
        rows = [
            {
                "id": f"mem_{uuid.uuid4().hex}",
                "session_id": session_id,
                "role": role,
                "text": text,
                "user_id": user_id,
                "timestamp": stamp,
            }
            for role, text in items
        ]
        with self._lock:
            self._memories.extend(rows)
        return [row["id"] for row in rows]

    def recall(self, query: str, max_tokens: int) -> ContextResult:
        with self._lock:
            texts = [row["text"] for row in self._memories]
        # Newest first, so a stable sort by score breaks ties by recency.
        texts.reverse()
        wanted = set(_WORD.findall(query.lower()))
        if wanted:
            scored = [(len(wanted & set(_WORD.findall(t.lower()))), t) for t in texts]
            scored.sort(key=lambda pair: pair[0], reverse=True)
            texts = [t for score, t in scored if score > 0]
        chosen: list[str] = []
        chars = 0
        for text in texts:
            extra = len(text) + (len(_SEPARATOR) if chosen else 0)
            if math.ceil((chars + extra) / 4) <= max_tokens:
                chosen.append(text)
                chars += extra
        if not wanted:
            chosen.reverse()
        text = _SEPARATOR.join(chosen)
        return ContextResult(
            text=text,
            block_hash=hashlib.sha256(text.encode()).hexdigest()[:16],
            token_count=estimate_tokens(text),
            status="ok" if chosen else "empty",
            hits=len(chosen),
        )

    def decide(self, event: dict[str, Any]) -> GateDecision:
        name = event["tool_name"]
        allow = name not in self._deny
        decision = GateDecision(
            allow=allow,
            governed=True,
            reason="no policy denies this tool" if allow else "deny_tools policy lists this tool",
            degraded=False,
            outcome="ALLOWED" if allow else "DENIED",
            tool_name=name,
            trace_id=event["trace_id"],
        )
        self.record({**event, "allow": allow, "outcome": decision.outcome})
        return decision

    def record(self, event: dict[str, Any]) -> str:
        event_id = f"evt_{uuid.uuid4().hex}"
        row = {"event_id": event_id, "recorded_at": datetime.now(UTC).isoformat(), **event}
        with self._lock:
            self._events.append(row)
        return event_id

    def memories(self) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(row) for row in self._memories]

    def events(self) -> list[dict[str, Any]]:
        with self._lock:
            return [_copy_event(row) for row in self._events]

    def status(self) -> dict[str, Any]:
        with self._lock:
            memories, events = len(self._memories), len(self._events)
        return {
            "backend": self.kind,
            "memories": memories,
            "audit_events": events,
            "deny_tools": sorted(self._deny),
        }


_JSON_TYPES = {"str": str, "int": int, "bool": bool}


def _reply_fields(reply: dict[str, Any], where: str, **types: type) -> list[Any]:
    values = [reply.get(name) for name in types]
    for (name, kind), value in zip(types.items(), values, strict=True):
        # Exact types: JSON true must not pass for an int, nor 1 for a bool.
        if type(value) is not kind:
            raise VelkorProtocolError(f"{where}: reply field {name!r} is not a {kind.__name__}")
    return values


def _reply_result[T](cls: type[T], reply: dict[str, Any], where: str) -> T:
    fields = dataclasses.fields(cls)  # type: ignore[arg-type]
    types = {f.name: _JSON_TYPES[str(f.type)] for f in fields}
    return cls(*_reply_fields(reply, where, **types))


def _reply_rows(reply: dict[str, Any], where: str, key: str) -> list[Any]:
    (rows,) = _reply_fields(reply, where, **{key: list})
    if not all(type(row) is dict for row in rows):
        raise VelkorProtocolError(f"{where}: reply field {key!r} holds a non-object")
    return rows


def _arguments(event: dict[str, Any]) -> dict[str, Any]:
    """The keywords of the ``gate`` or ``observe`` call that built ``event``."""
    return {key: value for key, value in event.items() if key != "kind"}


class _HttpBackend:
    """The embedded backend's operations, sent to a Velkor server. Inputs arrive validated."""

    kind = "http"

    def __init__(self, base_url: str, project: str, timeout: float, deny: frozenset[str]) -> None:
        parts = urlsplit(base_url)
        if parts.scheme not in ("http", "https") or not parts.hostname or parts.query:
            raise ValueError(f"base_url must be http(s)://host[:port][/path], got {base_url!r}")
        port = parts.port  # ValueError for a port that is not a number in range
        https = parts.scheme == "https"
        self._connection = http.client.HTTPSConnection if https else http.client.HTTPConnection
        self._address = (parts.hostname, port)
        self._prefix = parts.path.rstrip("/")
        self._timeout = timeout
        self._deny = deny
        self._headers = {"Accept": "application/json", _PROJECT_HEADER: quote(project)}

    def _call(self, method: str, path: str, payload: dict[str, Any] | None = None) -> dict:
        where, headers, body = f"{method} {path}", dict(self._headers), None
        if payload is not None:
            # Serialise first: a value JSON cannot carry fails before any connection is made.
            body = json.dumps(payload).encode()
            headers["Content-Type"] = "application/json"
        conn = self._connection(*self._address, timeout=self._timeout)
        try:
            conn.request(method, self._prefix + path, body=body, headers=headers)
            response = conn.getresponse()
            status, data = response.status, response.read()
        except TimeoutError as exc:
            raise VelkorTimeout(f"{where}: no reply within {self._timeout:g} s") from exc
        except ConnectionError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        except http.client.HTTPException as exc:
            raise VelkorProtocolError(f"{where}: malformed HTTP reply: {exc!r}") from exc
        except OSError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        finally:
            conn.close()
        try:
            reply = json.loads(data)
        except ValueError:
            reply = None
        if status != 200:
            error = reply.get("error") if isinstance(reply, dict) else None
            if isinstance(error, dict) and isinstance(error.get("message"), str):
                raise VelkorHTTPError(status, error["message"], str(error.get("type") or ""))
            text = data.decode("utf-8", "replace").strip()[:200]
            raise VelkorHTTPError(status, text or http.client.responses.get(status, "error"))
        if type(reply) is not dict:
            raise VelkorProtocolError(f"{where}: reply is not a JSON object")
        return reply

    def store(
        self, items: list[tuple[str, str]], session_id: str, user_id: str, timestamp: str
    ) -> list[str]:
        turns = [{"role": role, "text": text} for role, text in items]
        payload = {"turns": turns, "session_id": session_id, "user_id": user_id}
        reply = self._call("POST", "/v1/remember", {**payload, "timestamp": timestamp})
        (ids,) = _reply_fields(reply, "remember", ids=list)
        if len(ids) != len(items) or not all(type(i) is str for i in ids):
            raise VelkorProtocolError(f"remember: expected {len(items)} ids, got {ids!r}")
        return ids

    def recall(self, query: str, max_tokens: int) -> ContextResult:
        reply = self._call("POST", "/v1/context", {"query": query, "max_tokens": max_tokens})
        return _reply_result(ContextResult, reply, "context")

    def decide(self, event: dict[str, Any]) -> GateDecision:
        reply = self._call("POST", "/v1/gate", _arguments(event))
        decision = _reply_result(GateDecision, reply, "gate")
        if decision.allow and event["tool_name"] in self._deny:
            reason = "client deny_tools policy lists this tool"
            return dataclasses.replace(decision, allow=False, reason=reason, outcome="DENIED")
        return decision

    def record(self, event: dict[str, Any]) -> str:
        reply = self._call("POST", "/v1/observe", _arguments(event))
        return _reply_fields(reply, "observe", event_id=str)[0]

    def memories(self) -> list[dict[str, Any]]:
        return _reply_rows(self._call("GET", "/v1/memories"), "memories", "memories")

    def events(self) -> list[dict[str, Any]]:
        return _reply_rows(self._call("GET", "/v1/audit-events"), "audit-events", "events")

    def status(self) -> dict[str, Any]:
        reply = self._call("GET", "/v1/doctor")
        memories, events, deny, version = _reply_fields(
            reply, "doctor", memories=int, audit_events=int, deny_tools=list, version=str
        )
        return {
            "backend": self.kind,
            "memories": memories,
            "audit_events": events,
            "deny_tools": sorted(self._deny.union(map(str, deny))),
            "server_version": version,
        }


class VelkorClient:
    """Synchronous Velkor client; see the module docstring for behaviour.

    ``base_url`` selects the remote backend at that URL; None or "" the embedded one.
    """

    def __init__(
        self,
        *,
        project: str = "default",
        agent_id: str = "",
        deny_tools: Iterable[str] = (),
        base_url: str | None = None,
        timeout: float = 10.0,
    ) -> None:
        _check_nonempty("project", project)
        _check_str("agent_id", agent_id)
        _check_str("base_url", base_url, optional=True)
        # A bare string would otherwise be split into single-character tool names.
        if isinstance(deny_tools, str) or not isinstance(deny_tools, Iterable):
            raise TypeError("deny_tools must be an iterable of tool names, not a single str")
        deny = tuple(deny_tools)
        for name in deny:
            _check_str("deny_tools item", name)
        if isinstance(timeout, bool) or not isinstance(timeout, int | float):
            raise TypeError(f"timeout must be a number, got {type(timeout).__name__}")
        if not timeout > 0:
            raise ValueError("timeout must be positive")
        self.project = project
        self.agent_id = agent_id
        self.deny_tools = frozenset(deny)
        self.base_url = base_url
        self.timeout = float(timeout)
        self._backend: _EmbeddedBackend | _HttpBackend
        if base_url:
            self._backend = _HttpBackend(base_url, project, self.timeout, self.deny_tools)
        else:
            self._backend = _EmbeddedBackend(self.deny_tools)

    @classmethod
    def from_env(cls, **overrides: Any) -> VelkorClient:
        kwargs: dict[str, Any] = {}
        for key, var in _ENV_VARS.items():
            raw = os.environ.get(var, "").strip()
            # An override also shields the caller from a malformed variable.
            if not raw or key in overrides:
                continue
            if key == "deny_tools":
                kwargs[key] = tuple(n.strip() for n in raw.split(",") if n.strip())
            elif key == "timeout":
                try:
                    kwargs[key] = float(raw)
                except ValueError:
                    raise ValueError(f"{var} must be a number, got {raw!r}") from None
            else:
                kwargs[key] = raw
        kwargs.update(overrides)
        return cls(**kwargs)

    def __repr__(self) -> str:
        return f"VelkorClient(project={self.project!r}, backend={self._backend.kind!r})"

    def context(self, query: str, max_tokens: int = 2000) -> ContextResult:
        _check_str("query", query)
        if isinstance(max_tokens, bool) or not isinstance(max_tokens, int):
            raise TypeError(f"max_tokens must be int, got {type(max_tokens).__name__}")
        if max_tokens < 0:
            raise ValueError("max_tokens must not be negative")
        return self._backend.recall(query, max_tokens)

    def remember(
        self,
        text: str,
        *,
        role: str = "user",
        session_id: str = "sdk",
        user_id: str = "",
        timestamp: str = "",
    ) -> dict[str, Any]:
        _check_nonempty("text", text)
        _check_nonempty("role", role)
        _check_session(session_id, user_id, timestamp)
        (memory_id,) = self._backend.store([(role, text)], session_id, user_id, timestamp)
        return {
            "stored": True,
            "id": memory_id,
            "session_id": session_id,
            "tokens": estimate_tokens(text),
        }

    def remember_turns(
        self,
        turns: Sequence[Mapping[str, Any]],
        *,
        session_id: str = "sdk",
        user_id: str = "",
        timestamp: str = "",
    ) -> dict[str, Any]:
        if not isinstance(turns, list | tuple):
            raise TypeError(f"turns must be a list or tuple, got {type(turns).__name__}")
        items = []
        for index, turn in enumerate(turns):
            if not isinstance(turn, Mapping):
                raise TypeError(f"turns[{index}] must be a mapping, got {type(turn).__name__}")
            role = turn.get("role") or "user"
            text = turn.get("text") or turn.get("content") or ""
            _check_str(f"turns[{index}] role", role)
            _check_nonempty(f"turns[{index}] text", text)
            items.append((role, text))
        _check_session(session_id, user_id, timestamp)
        ids = self._backend.store(items, session_id, user_id, timestamp) if items else []
        return {"stored": len(ids), "ids": ids, "session_id": session_id}

    def gate(
        self,
        tool_name: str,
        *,
        agent_id: str = "",
        session_id: str = "",
        tool_input: Mapping[str, Any] | None = None,
        system_id: str = "",
        actor: str = "",
        action: str = "",
        purpose: str | None = None,
        capability: str | None = None,
        resource: str | None = None,
        approval_id: str | None = None,
        trace_id: str = "",
    ) -> GateDecision:
        _check_nonempty("tool_name", tool_name)
        texts = {"session_id": session_id, "system_id": system_id, "actor": actor, "action": action}
        optional = {
            "purpose": purpose,
            "capability": capability,
            "resource": resource,
            "approval_id": approval_id,
        }
        event = self._event("gate", tool_name, agent_id, trace_id, texts, optional)
        event["tool_input"] = _copy_mapping("tool_input", tool_input)
        event["trace_id"] = trace_id or f"sdk_{uuid.uuid4().hex}"
        return self._backend.decide(event)

    def observe(
        self,
        *,
        tool_name: str,
        agent_id: str = "",
        session_id: str = "",
        outcome_status: str = "SUCCESS",
        fields: Mapping[str, Any] | None = None,
        system_id: str = "",
        actor: str = "",
        purpose: str | None = None,
        capability: str | None = None,
        resource: str | None = None,
        trace_id: str = "",
    ) -> dict[str, Any]:
        _check_nonempty("outcome_status", outcome_status)
        texts = {"session_id": session_id, "system_id": system_id, "actor": actor}
        optional = {"purpose": purpose, "capability": capability, "resource": resource}
        event = self._event("observe", tool_name, agent_id, trace_id, texts, optional)
        event["outcome_status"] = outcome_status
        event["fields"] = _copy_mapping("fields", fields)
        return {"recorded": True, "event_id": self._backend.record(event)}

    def doctor(self) -> dict[str, Any]:
        return {
            "ok": True,
            "version": __version__,
            "project": self.project,
            "base_url": self.base_url,
            **self._backend.status(),
        }

    def memories(self) -> list[dict[str, Any]]:
        """Copies of the stored memories, oldest first."""
        return self._backend.memories()

    def audit_events(self) -> list[dict[str, Any]]:
        """Copies of the recorded gate and observe events, oldest first."""
        return self._backend.events()

    def _event(
        self,
        kind: str,
        tool_name: object,
        agent_id: object,
        trace_id: object,
        texts: dict[str, object],
        optional: dict[str, object],
    ) -> dict[str, Any]:
        _check_nonempty("tool_name", tool_name)
        _check_strs(agent_id=agent_id, trace_id=trace_id, **texts)
        _check_optional_strs(**optional)
        return {
            "kind": kind,
            "tool_name": tool_name,
            "agent_id": agent_id or self.agent_id,
            "trace_id": trace_id,
            **texts,
            **optional,
        }


class _Reject(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


_Route = Callable[[VelkorClient, dict[str, Any]], dict[str, Any]]
_ROUTES: dict[str, dict[str, _Route]] = {
    "/v1/context": {"POST": lambda c, body: dataclasses.asdict(c.context(**body))},
    "/v1/remember": {"POST": lambda c, body: c.remember_turns(**body)},
    "/v1/gate": {"POST": lambda c, body: dataclasses.asdict(c.gate(**body))},
    "/v1/observe": {"POST": lambda c, body: c.observe(**body)},
    "/v1/doctor": {"GET": lambda c, body: c.doctor()},
    "/v1/memories": {"GET": lambda c, body: {"memories": c.memories()}},
    "/v1/audit-events": {"GET": lambda c, body: {"events": c.audit_events()}},
}


class _Handler(BaseHTTPRequestHandler):
    server: VelkorServer
    protocol_version = "HTTP/1.1"
    server_version = f"Velkor/{__version__}"

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def log_message(self, format: str, *args: Any) -> None:
        pass  # One line per request would drown the console and the test output.

    def _handle(self, method: str) -> None:
        headers: dict[str, str] = {}
        try:
            reply, status = self._dispatch(method, headers), 200
        except _Reject as exc:
            reply, status = _error_reply("RequestError", exc), exc.status
        except (TypeError, ValueError) as exc:
            reply, status = _error_reply(type(exc).__name__, exc), 400
        except Exception as exc:
            reply, status = _error_reply(type(exc).__name__, exc), 500
        body = json.dumps(reply).encode()
        self.send_response(status)
        headers |= {"Content-Type": "application/json", "Content-Length": str(len(body))}
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _dispatch(self, method: str, headers: dict[str, str]) -> dict[str, Any]:
        # Read the body first: closing a socket with unread input would reset the connection.
        body = self._read_body() if method == "POST" else {}
        route = _ROUTES.get(urlsplit(self.path).path)
        if route is None:
            raise _Reject(404, f"no such endpoint: {self.path}")
        if method not in route:
            headers["Allow"] = ", ".join(route)
            raise _Reject(405, f"{self.path} does not accept {method}")
        client = self.server.client
        project = unquote(self.headers.get(_PROJECT_HEADER, client.project))
        if project != client.project:
            raise _Reject(409, f"this server serves project {client.project!r}, not {project!r}")
        return route[method](client, body)

    def _read_body(self) -> dict[str, Any]:
        length = int(self.headers.get("Content-Length") or 0)
        if not 0 <= length <= _MAX_BODY:
            self.close_connection = True  # the unread body cannot be taken for the next request
            raise _Reject(413, f"request body must be 0 to {_MAX_BODY} bytes, not {length}")
        try:
            body = json.loads(self.rfile.read(length))
        except ValueError as exc:
            raise _Reject(400, f"request body is not JSON: {exc}") from None
        if type(body) is not dict:
            raise _Reject(400, "request body must be a JSON object")
        return body


def _error_reply(kind: str, exc: Exception) -> dict[str, Any]:
    return {"error": {"type": kind, "message": str(exc)}}


class VelkorServer(ThreadingHTTPServer):
    """An embedded backend served over HTTP, one thread per connection; see :func:`serve`."""

    daemon_threads = True
    request_queue_size = 128

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        project: str = "default",
        deny_tools: Iterable[str] = (),
    ) -> None:
        self.client = VelkorClient(project=project, deny_tools=deny_tools)
        self._thread: threading.Thread | None = None
        super().__init__((host, port), _Handler)

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look the host name up in DNS; nothing here needs it.
        TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"

    def start(self) -> VelkorServer:
        """Serve in a background daemon thread until :meth:`close`."""
        if self._thread is None:
            name = f"velkor-server-{self.server_port}"
            # A short poll keeps close() quick; shutdown waits for the next poll.
            self._thread = threading.Thread(
                target=self.serve_forever, args=(0.05,), name=name, daemon=True
            )
            self._thread.start()
        return self

    def close(self) -> None:
        """Stop serving, wait for the serving thread and close the listening socket."""
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
            self._thread = None
        self.server_close()

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    project: str = "default",
    deny_tools: Iterable[str] = (),
) -> VelkorServer:
    """Start a server in a background thread and return it; its ``url`` is the base URL.

    Port 0 takes a free port. Stop it with ``close()`` or by using it in a ``with`` block.
    This is for hosts, examples and tests; the native modules never start a server.
    """
    return VelkorServer(host, port, project=project, deny_tools=deny_tools).start()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velkor_agent_hooks.client")
    commands = parser.add_subparsers(dest="command", required=True)
    serve_cmd = commands.add_parser("serve", help="serve an in-memory backend over HTTP")
    serve_cmd.add_argument("--host", default="127.0.0.1", help="address to bind (127.0.0.1)")
    serve_cmd.add_argument("--port", type=int, default=8787, help="port; 0 picks a free one")
    serve_cmd.add_argument("--project", default="default", help="project served (default)")
    serve_cmd.add_argument("--deny-tools", default="", help="comma-separated tools to deny")
    args = parser.parse_args(argv)
    deny = [name.strip() for name in args.deny_tools.split(",") if name.strip()]
    try:
        server = VelkorServer(args.host, args.port, project=args.project, deny_tools=deny)
    except (OSError, OverflowError, ValueError) as exc:
        print(f"error: cannot serve on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    with server:
        print(f"Velkor server listening on {server.url}", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
