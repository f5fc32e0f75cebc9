"""Synchronous client for the Velkor memory and governance service.

``VelkorClient`` is the one object through which the rest of the package reaches the
service. This version carries an embedded, in-memory backend so that everything runs
with the standard library alone; all state lives in that backend and is lost with the
client. One client may be shared by many threads.

Memory:

* ``remember`` stores a text under a session; ``context`` returns the stored texts that
  share the most distinct words with the query (case-insensitive), newest first on ties,
  joined by newlines within ``max_tokens``. Texts that do not fit are skipped. An empty
  query returns the most recent texts that fit, oldest first.
* Token estimate: ``ceil(len(text) / 4)`` characters, so 0 for "" and at least 1 otherwise.
* ``block_hash`` is the first 16 hex digits of the SHA-256 of the UTF-8 context text.

Governance: ``gate`` allows every tool except those in ``deny_tools``; ``gate`` and
``observe`` append an audit event holding every keyword they received.

Environment variables read by ``VelkorClient.from_env`` (keyword overrides win):

* ``VELKOR_BASE_URL``: service URL; empty means none.
* ``VELKOR_PROJECT``: project name, default "default".
* ``VELKOR_AGENT_ID``: default agent identity for ``gate`` and ``observe``.
* ``VELKOR_DENY_TOOLS``: comma-separated tool names that ``gate`` denies.
* ``VELKOR_TIMEOUT``: request timeout in seconds, default 10.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
import threading
import uuid
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any

__all__ = [
    "ContextResult",
    "GateDecision",
    "GovernanceDenied",
    "VelkorClient",
    "VelkorError",
    "estimate_tokens",
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


class VelkorError(Exception):
    """A client-side failure talking to the service."""


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


class VelkorClient:
    """Synchronous Velkor client; see the module docstring for behaviour.

    ``base_url`` is stored for a remote backend; this version always uses the embedded one.
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
