"""Hermes Agent: a plugin giving Hermes a Velkor memory provider and governed tool calls.

``install_plugin()`` writes the plugin (``plugin.yaml`` and a two-line ``__init__.py`` that
imports this module) into ``$HERMES_HOME/plugins/velkor/``, where Hermes looks for it. Then:

* ``hermes config set memory.provider velkor`` makes ``VelkorMemoryProvider`` Hermes's
  memory provider (Hermes finds memory providers only in plugin directories);
* ``hermes plugins enable velkor`` loads the ``pre_tool_call`` / ``post_tool_call`` hooks.
  The package also declares the plugin in Hermes's ``hermes_agent.plugins`` entry-point
  group, so the hooks need only the package and that command.

Both reach the service through one ``VelkorClient.from_env()`` made on first use (the
``VELKOR_*`` variables pick the backend); ``set_client`` puts another in its place.

Memory: before each turn Hermes asks ``prefetch`` for the context relevant to the user's
message; after each turn ``sync_turn`` stores the user's text and the reply. Memory belongs
to the user (Hermes's ``user_id``, or "local" on the command line) within a Hermes profile:
recall spans that user's earlier sessions and no other user's. At a session's end
``on_session_end`` stores the finished exchanges that followed the last one stored (syncs
still queued when Hermes shuts down may be dropped or land late; a late one is not stored
twice). A session with no turn stored by this process is left alone there, since its
history may hold turns an earlier process stored. Subagents, cron runs and flushes do not
write.

Governance: ``pre_tool_call`` asks the gate, with the tool call id as trace id, and blocks a
denied call with the reason (``{"action": "block", ...}``), which the model reads as the
tool's result. A call awaiting a person's approval is blocked saying so, with the approval's
id; the same call made again in the session (same tool and input) names that approval, so
once approved it runs, once; while pending it gets the same answer; denied or expired it is
blocked saying which, and the next one is asked afresh. A gate that cannot be asked blocks
too, since Hermes runs a tool whose hook raised. ``post_tool_call`` reports the calls that
ran from Hermes's status: "ok" SUCCESS, "error" FAILED (previewing Hermes's error text),
"blocked" (by another plugin) BLOCKED, and a timed-out or cancelled call, which may have
done part of its work, UNKNOWN.
"""

from __future__ import annotations

import threading
import uuid
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

try:
    from agent.memory_provider import MemoryProvider  # type: ignore[import-untyped]
    from hermes_constants import get_hermes_home  # type: ignore[import-untyped]
except ImportError as exc:
    raise ImportError(
        "velkor_agent_hooks.hermes needs Hermes Agent: pip install 'velkor-agent-hooks[hermes]'"
    ) from exc

from . import __version__, _approvals
from .client import VelkorClient

__all__ = [
    "MEMORY_HEADER",
    "PLUGIN_NAME",
    "VelkorMemoryProvider",
    "VelkorToolGate",
    "install_plugin",
    "register",
    "set_client",
]

PLUGIN_NAME = "velkor"
MEMORY_HEADER = "Relevant memory from earlier conversations:"
_PREVIEW_CHARS = 1000

_shared: VelkorClient | None = None
_shared_lock = threading.Lock()


def set_client(client: VelkorClient | None) -> None:
    """The client the plugin's provider and hooks use; None: ``from_env()`` on next use."""
    global _shared
    with _shared_lock:
        _shared = client


def _client() -> VelkorClient:
    global _shared
    with _shared_lock:
        if _shared is None:
            _shared = VelkorClient.from_env()
        return _shared


# ---------------------------------------------------------------- memory


def _text(content: object) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, Sequence):
        parts = [p.get("text") for p in content if isinstance(p, Mapping)]
        return "\n".join(p for p in parts if isinstance(p, str))
    return ""


def _exchanges(messages: Iterable[Mapping[str, Any]]) -> list[tuple[str, str]]:
    """Each user message with the last assistant text before the next one; unanswered
    (interrupted) turns are left out, as Hermes leaves them out of its syncs."""
    out: list[tuple[str, str]] = []
    user: str | None = None
    reply = ""
    for message in messages:
        role = message.get("role")
        if role == "user":
            if user and reply:
                out.append((user, reply))
            user, reply = _text(message.get("content")), ""
        elif role == "assistant" and user is not None:
            reply = _text(message.get("content")).strip() or reply
    if user and reply:
        out.append((user, reply))
    return out


class VelkorMemoryProvider(MemoryProvider):
    """Hermes memory provider on the Velkor service (see the module docstring)."""

    def __init__(self, client: VelkorClient | None = None, *, max_tokens: int = 2000) -> None:
        self._own_client = client
        self.max_tokens = max_tokens
        self.scope = ""
        self.user_id = ""
        self.session_id = ""
        self._writes = True
        self._stored: dict[str, int] = {}  # exchanges stored, by Hermes session
        self._lock = threading.Lock()

    @property
    def name(self) -> str:
        return PLUGIN_NAME

    @property
    def client(self) -> VelkorClient:
        return self._own_client if self._own_client is not None else _client()

    def is_available(self) -> bool:
        # The embedded backend needs no configuration, so the provider always can run.
        return True

    def initialize(self, session_id: str, **kwargs: Any) -> None:
        profile = str(kwargs.get("agent_identity") or "default")
        self.user_id = str(kwargs.get("user_id") or "")
        self.scope = f"hermes/{profile}/{self.user_id or 'local'}"
        self.session_id = session_id or ""
        self._writes = kwargs.get("agent_context", "primary") == "primary"

    def get_tool_schemas(self) -> list[dict[str, Any]]:
        return []

    def get_config_schema(self) -> list[dict[str, Any]]:
        return [
            {
                "key": "base_url",
                "description": "Velkor server URL (empty: the service runs embedded)",
                "env_var": "VELKOR_BASE_URL",
            },
            {
                "key": "api_key",
                "description": "Velkor server API key",
                "secret": True,
                "env_var": "VELKOR_API_KEY",
            },
            {"key": "project", "description": "Velkor project", "env_var": "VELKOR_PROJECT"},
        ]

    def prefetch(self, query: str, *, session_id: str = "") -> str:
        if not self.scope or not query.strip():
            return ""
        text = self.client.context(query, self.max_tokens, session_id=self.scope).text
        return f"{MEMORY_HEADER}\n{text}" if text else ""

    def _store(self, exchanges: Sequence[tuple[str, str]]) -> None:
        turns = []
        for user, reply in exchanges:
            turns += [{"role": "user", "content": user}, {"role": "assistant", "content": reply}]
        if turns:
            self.client.remember_turns(turns, session_id=self.scope, user_id=self.user_id)

    def sync_turn(
        self,
        user_content: str,
        assistant_content: str,
        *,
        session_id: str = "",
        messages: list[dict[str, Any]] | None = None,
    ) -> None:
        if not self._writes or not self.scope or not (user_content and assistant_content):
            return
        session = session_id or self.session_id
        with self._lock:
            done = self._stored.get(session, 0)
            index = done if messages is None else len(_exchanges(messages)) - 1
            if index < done:
                return  # the session's end stored it already
            self._store([(user_content, assistant_content)])
            self._stored[session] = index + 1

    def on_session_end(self, messages: list[dict[str, Any]]) -> None:
        if not self._writes or not self.scope:
            return
        exchanges = _exchanges(messages)
        with self._lock:
            done = self._stored.get(self.session_id)
            if done is not None:
                self._store(exchanges[done:])
                self._stored[self.session_id] = max(done, len(exchanges))

    def on_session_switch(self, new_session_id: str, **kwargs: Any) -> None:
        self.session_id = new_session_id or ""
        if kwargs.get("rewound"):
            with self._lock:
                self._stored.pop(self.session_id, None)


# ---------------------------------------------------------------- governance


class _Pending:
    __slots__ = ("agent_id", "refused", "trace_id")

    def __init__(self, trace_id: str, agent_id: str) -> None:
        self.trace_id = trace_id
        self.agent_id = agent_id
        self.refused = False


_OUTCOMES = {"ok": "SUCCESS", "error": "FAILED", "blocked": "BLOCKED"}


class VelkorToolGate:
    """Hermes ``pre_tool_call`` / ``post_tool_call`` callbacks (see the module docstring).

    ``agent_id``: the agent the gate is asked about; default the client's, else "hermes".
    """

    def __init__(self, client: VelkorClient | None = None, agent_id: str | None = None) -> None:
        self._own_client = client
        self.agent_id = agent_id
        self._pending: dict[tuple[str, str], _Pending] = {}
        self._lock = threading.Lock()

    @property
    def client(self) -> VelkorClient:
        return self._own_client if self._own_client is not None else _client()

    @staticmethod
    def _key(tool_name: str, session_id: str, tool_call_id: str) -> tuple[str, str]:
        return (session_id, tool_call_id or f"{tool_name}:")

    def pre_tool_call(
        self,
        tool_name: str,
        args: Mapping[str, Any] | None = None,
        session_id: str = "",
        tool_call_id: str = "",
        **_: Any,
    ) -> dict[str, str] | None:
        client = self.client
        call = _Pending(
            tool_call_id or f"hermes_{uuid.uuid4().hex}",
            self.agent_id or client.agent_id or "hermes",
        )
        with self._lock:
            self._pending[self._key(tool_name, session_id, tool_call_id)] = call
        try:
            decision = _approvals.gate(
                client,
                tool_name,
                dict(args or {}),
                agent_id=call.agent_id,
                session_id=session_id,
                trace_id=call.trace_id,
            )
        except Exception as exc:
            call.refused = True
            reason = f"the governance check failed ({type(exc).__name__}: {exc})"
            return {"action": "block", "message": _blocked(tool_name, reason)}
        if decision.allow:
            return None
        call.refused = True
        if decision.outcome == _approvals.APPROVAL_REQUIRED:
            message = _approvals.awaiting(tool_name, decision)
        else:
            message = _blocked(tool_name, decision.reason)
        return {"action": "block", "message": message}

    def post_tool_call(
        self,
        tool_name: str,
        args: Mapping[str, Any] | None = None,
        result: Any = None,
        session_id: str = "",
        tool_call_id: str = "",
        status: str | None = None,
        error_message: str | None = None,
        **_: Any,
    ) -> None:
        with self._lock:
            call = self._pending.pop(self._key(tool_name, session_id, tool_call_id), None)
        if call is None or call.refused:
            return
        outcome = _OUTCOMES.get(status or "", "UNKNOWN")
        shown = error_message if outcome == "FAILED" and error_message else result
        self.client.observe(
            tool_name=tool_name,
            agent_id=call.agent_id,
            session_id=session_id,
            outcome_status=outcome,
            fields={} if shown is None else {"result_preview": str(shown)[:_PREVIEW_CHARS]},
            trace_id=call.trace_id,
        )


def _blocked(tool_name: str, reason: str) -> str:
    return f"Tool call '{tool_name}' was blocked and did not run: {reason}"


# ---------------------------------------------------------------- the plugin


def register(ctx: Any) -> None:
    """Hermes's plugin entry: the memory loader takes the provider, the plugin loader the
    hooks (each ignores what the other registers)."""
    register_provider = getattr(ctx, "register_memory_provider", None)
    if register_provider is not None:
        register_provider(VelkorMemoryProvider())
    gate = VelkorToolGate()
    ctx.register_hook("pre_tool_call", gate.pre_tool_call)
    ctx.register_hook("post_tool_call", gate.post_tool_call)


_MANIFEST = f"""\
name: {PLUGIN_NAME}
version: "{__version__}"
description: Velkor memory and tool-call governance (velkor-agent-hooks)
kind: standalone
provides_hooks:
  - pre_tool_call
  - post_tool_call
"""

_INIT = '''\
"""Velkor for Hermes, written by velkor_agent_hooks.hermes.install_plugin()."""

from velkor_agent_hooks.hermes import VelkorMemoryProvider, register

__all__ = ["VelkorMemoryProvider", "register"]
'''


def install_plugin(home: str | None = None) -> str:
    """Writes the plugin into ``<home>/plugins/velkor`` (default: Hermes's own home, which
    ``HERMES_HOME`` sets) and returns that directory. Writing it again replaces it."""
    base = Path(home) if home else get_hermes_home()
    target = base / "plugins" / PLUGIN_NAME
    target.mkdir(parents=True, exist_ok=True)
    (target / "plugin.yaml").write_text(_MANIFEST, encoding="utf-8")
    (target / "__init__.py").write_text(_INIT, encoding="utf-8")
    return str(target)
