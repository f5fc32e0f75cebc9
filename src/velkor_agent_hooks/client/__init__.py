"""Synchronous client for the Velkor memory and governance service.

``VelkorClient`` is the one object through which the rest of the package reaches the
service. Without ``base_url`` the service runs embedded in the client, over the storage that
``path`` names: None or ":memory:" a private in-memory SQLite database, gone with the
client; a file path a SQLite file; a ``postgresql://`` URL a PostgreSQL database. With
``base_url`` it sends each operation as JSON over HTTP to a Velkor server, such as
``velkor serve`` or :func:`serve` starts. One client may be
shared by many threads with either backend.

Memory:

* ``remember`` stores a text under a session (``ttl=`` seconds: forgotten after that;
  ``memory_ttl=`` sets a default); ``recall`` returns the memories best matching a query,
  best first, with their ``score``; ``context`` packs the same ranking into ``max_tokens``,
  joined by newlines. Texts that do not fit are skipped; after 32 in a row the budget counts
  as full and reading stops. A query without index terms (empty, or only stopwords such as
  "what" or "the") returns the most recent texts that fit, oldest first. ``session_id=``
  (and for ``recall``, ``user_id=``) narrows both.
* Ranking, with no model: words are folded (case, accents), stemmed ("flying" finds "fly")
  and stopwords dropped; each query term weighs by how rare it is (BM25), neighbouring query
  terms standing side by side count extra; a memory of the time a query names (its
  ``timestamp``, else when it was stored) counts more; and a turn takes a share of the score
  of the turns just before and after it in its session, so an answer is found by its
  question. Keep unrelated notes in sessions of their own. Ranking reads the newest 300
  memories holding each of the query's first 16 terms, so its cost does not grow with size.
* ``forget(memory_id)`` or ``forget(session_id=, user_id=)`` erases exactly that scope from
  every table and index and returns how many; expired memories are never returned and are
  purged. Every erasure is an audit event.
* Token estimate: ``ceil(len(text) / 4)`` characters, so 0 for "" and at least 1 otherwise.
* ``block_hash`` is the first 16 hex digits of the SHA-256 of the UTF-8 context text.

Governance: ``gate`` denies every tool in ``deny_tools``; with ``policy=`` (Cedar text or a
``.cedar`` file; the ``policy`` extra) the policy decides the rest, else every other tool is
allowed. A decision of "APPROVAL_REQUIRED" carries an ``approval_id``: once a person approves
it (``decide_approval``), a gate naming it with the same tool, agent and input runs once.
``gate`` and ``observe`` append an audit event holding every keyword they received, linked
into a hash chain that ``verify_audit`` checks. With a remote backend the server's rules
apply and the server keeps the audit; this client's own ``deny_tools`` and ``policy`` apply
on top (its policy sees rate counts of 0: rate rules belong in the server's policy).

Keyed store (documents under a namespace tuple and a key, as LangGraph's store keeps them):

* ``put_item(namespace, key, value, ttl=)`` stores a JSON object; writing a key again
  replaces its value (``created_at`` kept, ``updated_at`` renewed). With ``ttl`` seconds it
  expires that long after it was written, or last read with ``refresh_ttl=True``; expired
  items are never returned and are purged. ``get_item`` returns the item or None;
  ``delete_item`` returns whether there was one.
* ``search_items(namespace_prefix, query=, filter=, limit=, offset=, refresh_ttl=)``: items
  whose namespace starts with the prefix (the empty tuple: all) and whose value matches
  ``filter``: per field a value (Python's ``==``: 1, 1.0 and True alike; an object matches
  part of a value; a missing field reads as null) or operators ``$eq``, ``$ne``, ``$gt``,
  ``$gte``, ``$lt``, ``$lte`` (numbers order with numbers, text with text). With a query, only
  items whose strings share words with it, most relevant first as for ``context``, ``score``
  set (higher is better); without, most recently updated first and ``score`` None.
* ``batch_items([(operation, arguments), ...])`` runs those operations in order in one call
  and one transaction, each seeing the ones before it; ``purge_items`` purges now.
* ``list_namespaces(prefix=, suffix=, max_depth=, limit=, offset=)``: distinct namespaces in
  sorted order, cut to ``max_depth`` labels; "*" in a prefix or suffix matches any label.
* Namespaces are tuples of non-empty ``str`` labels without "."; each namespace is its own:
  nothing stored under ("users", "bob") is visible under ("users", "ana").
* An item is a dict: ``namespace`` (tuple), ``key``, ``value``, ``created_at``,
  ``updated_at`` (ISO 8601, UTC), and ``score`` in search results.

Input that cannot be stored is refused before anything is written: wrong types raise
``TypeError``; empty texts, negative budgets or limits, text holding a lone surrogate and
values JSON cannot carry exactly raise ``ValueError`` (or ``TypeError`` for the type).

Remote backend. Arguments are validated on the client before anything is sent, as for the
embedded backend. Failures raise subclasses of ``VelkorError``:

* ``VelkorConnectionError`` (a ``ConnectionError``): refused, reset, unknown host.
* ``VelkorTimeout`` (a ``TimeoutError``): the call, reply included, took over ``timeout``.
* ``VelkorHTTPError``: any status but 200; ``status``, and the server's ``message`` and
  ``error_type``. The server answers 400 when the operation raised ``TypeError`` or
  ``ValueError`` (``error_type`` names it), the body is not a JSON object or is nested too
  deeply, or the project header is missing; 401 without the server's API key; 404 for an
  unknown path, 405 for a wrong method, 408 for a request not received in time, 409 when
  the server does not serve the client's project, 413 for a body or a turn count over the
  server's limit (4 MiB, 1000 turns by default), 503 when it is busy, and 500 for any other
  server failure.
* ``VelkorProtocolError``: a reply that is not HTTP, not a JSON object, lacks a field, is
  over 64 MiB or nested over 512 deep.

Wire: every operation of ``_operations.OPERATIONS`` at its route (the README lists them);
``POST`` routes take a JSON object of arguments, ``GET`` routes query parameters; listings
take ``?limit=&offset=`` and reply with a page and ``next_offset`` (null after the last),
which the client follows to return every row. Errors reply
``{"error": {"type": ..., "message": ...}}``. The header ``X-Velkor-Project`` carries the
client's project, percent-encoded; ``Authorization: Bearer <api_key>`` the key, when set.

Environment variables read by ``VelkorClient.from_env`` (keyword overrides win):

* ``VELKOR_BASE_URL``: server URL (e.g. ``http://127.0.0.1:8787``); empty means embedded.
* ``VELKOR_DB``: the embedded backend's storage (used only without a base URL).
* ``VELKOR_API_KEY``: the key sent to the server.
* ``VELKOR_PROJECT``: project name, default "default".
* ``VELKOR_AGENT_ID``: default agent identity for ``gate`` and ``observe``.
* ``VELKOR_DENY_TOOLS``: comma-separated tool names that ``gate`` denies.
* ``VELKOR_POLICY``: a Cedar policy file ``gate`` decides by.
* ``VELKOR_TIMEOUT``: request timeout in seconds, default 10.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import uuid
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import _checks as check
from ._backend import Backend
from ._operations import OPERATIONS
from ._types import (
    ContextResult,
    GateDecision,
    GovernanceDenied,
    VelkorConnectionError,
    VelkorError,
    VelkorHTTPError,
    VelkorProtocolError,
    VelkorTimeout,
    estimate_tokens,
)
from ._wire import ENV_VARS

if TYPE_CHECKING:
    from ..service.server import ServerLimits, VelkorServer, serve

__all__ = [
    "ContextResult",
    "GateDecision",
    "GovernanceDenied",
    "ServerLimits",
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


def __getattr__(name: str) -> Any:
    # The server is loaded on first use, so clients never pay for it.
    if name in ("serve", "VelkorServer", "ServerLimits"):
        from ..service import server

        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class VelkorClient:
    """Synchronous Velkor client; see the module docstring for behaviour.

    ``base_url`` selects the remote backend at that URL; None or "" the embedded one, whose
    storage ``path`` names.
    """

    def __init__(
        self,
        *,
        project: str = "default",
        agent_id: str = "",
        deny_tools: Iterable[str] = (),
        base_url: str | None = None,
        timeout: float = 10.0,
        path: str | os.PathLike[str] | None = None,
        api_key: str | None = None,
        policy: str | os.PathLike[str] | None = None,
        approval_ttl: float = 3600.0,
        memory_ttl: float | None = None,
        embedder: Any = None,
    ) -> None:
        check.check_nonempty("project", project)
        check.check_str("agent_id", agent_id)
        check.check_str("base_url", base_url, optional=True)
        check.check_str("api_key", api_key, optional=True)
        # A bare string would otherwise be split into single-character tool names.
        if isinstance(deny_tools, str) or not isinstance(deny_tools, Iterable):
            raise TypeError("deny_tools must be an iterable of tool names, not a single str")
        deny = tuple(deny_tools)
        for name in deny:
            check.check_str("deny_tools item", name)
        self.timeout = check.check_timeout(timeout)
        if path is not None:
            path = os.fspath(path)
            check.check_nonempty("path", path)
            if base_url:
                raise ValueError("path names embedded storage; it cannot go with base_url")
        if embedder is not None and base_url:
            raise ValueError("a server embeds with its own embedder (velkor serve --embedder)")
        approval_ttl = check.check_timeout(approval_ttl, "approval_ttl")
        if memory_ttl is not None:
            memory_ttl = check.check_timeout(memory_ttl, "memory_ttl")
        self.project = project
        self.agent_id = agent_id
        self.deny_tools = frozenset(deny)
        self.base_url = base_url
        self.path = path
        self.policy = None
        if policy is not None:
            from ..service.governance.policy import load_policy

            self.policy = load_policy(policy)
        self._backend: Backend
        if base_url:
            from ._transport import HttpBackend

            self._backend = HttpBackend(base_url, project, self.timeout, api_key)
        else:
            from ._backend import EmbeddedBackend

            self._backend = EmbeddedBackend(
                path, project, self.deny_tools, self.policy, approval_ttl, memory_ttl, embedder
            )

    @classmethod
    def from_env(cls, **overrides: Any) -> VelkorClient:
        kwargs: dict[str, Any] = {}
        for key, var in ENV_VARS.items():
            raw = os.environ.get(var, "").strip()
            # An override also shields the caller from a malformed variable.
            if not raw or key in overrides:
                continue
            if key == "deny_tools":
                kwargs[key] = tuple(n.strip() for n in raw.split(",") if n.strip())
            elif key == "policy":
                kwargs[key] = pathlib.Path(raw)  # the variable names a file
            elif key == "timeout":
                try:
                    kwargs[key] = float(raw)
                except ValueError:
                    raise ValueError(f"{var} must be a number, got {raw!r}") from None
            else:
                kwargs[key] = raw
        kwargs.update(overrides)
        if kwargs.get("base_url") and "path" not in overrides:
            kwargs.pop("path", None)  # a server URL wins over a local database
        return cls(**kwargs)

    def __repr__(self) -> str:
        return f"VelkorClient(project={self.project!r}, backend={self._backend.kind!r})"

    def close(self) -> None:
        """Releases the storage or connections; the client is not used afterwards."""
        self._backend.close()

    def __enter__(self) -> VelkorClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _call(self, name: str, **values: Any) -> Any:
        op = OPERATIONS[name]
        return self._backend.call(op, op.bind(values))

    # Memory

    def context(
        self, query: str, max_tokens: int = 2000, *, session_id: str | None = None
    ) -> ContextResult:
        return self._call("context", query=query, max_tokens=max_tokens, session_id=session_id)

    def remember(
        self,
        text: str,
        *,
        role: str = "user",
        session_id: str = "sdk",
        user_id: str = "",
        timestamp: str = "",
        ttl: float | None = None,
    ) -> dict[str, Any]:
        check.check_nonempty("text", text)
        check.check_nonempty("role", role)
        reply = self._call(
            "remember",
            turns=[{"role": role, "text": text}],
            session_id=session_id,
            user_id=user_id,
            timestamp=timestamp,
            ttl=ttl,
        )
        return {
            "stored": True,
            "id": reply["ids"][0],
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
        ttl: float | None = None,
    ) -> dict[str, Any]:
        op = OPERATIONS["remember"]
        args = op.bind(
            {
                "turns": turns,
                "session_id": session_id,
                "user_id": user_id,
                "timestamp": timestamp,
                "ttl": ttl,
            }
        )
        if not args["turns"]:
            return {"stored": 0, "ids": [], "session_id": session_id}
        return self._backend.call(op, args)

    def recall(
        self,
        query: str,
        *,
        limit: int = 10,
        session_id: str | None = None,
        user_id: str | None = None,
    ) -> list[dict[str, Any]]:
        """The memories best matching ``query``, best first: ``id``, ``text``, ``role``,
        ``session_id``, ``user_id``, ``timestamp``, ``created_at`` and ``score``."""
        return self._call(
            "recall", query=query, limit=limit, session_id=session_id, user_id=user_id
        )

    def forget(
        self,
        memory_id: str | None = None,
        *,
        session_id: str | None = None,
        user_id: str | None = None,
    ) -> int:
        """Erases one memory, or every memory of a session or a user (both given: the
        user's in that session), from every index; how many. Recorded in the audit."""
        return self._call("forget", memory_id=memory_id, session_id=session_id, user_id=user_id)

    # Governance

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
        op = OPERATIONS["gate"]
        args = op.bind(
            {
                "tool_name": tool_name,
                "agent_id": agent_id,
                "session_id": session_id,
                "tool_input": tool_input,
                "system_id": system_id,
                "actor": actor,
                "action": action,
                "purpose": purpose,
                "capability": capability,
                "resource": resource,
                "approval_id": approval_id,
                "trace_id": trace_id,
            }
        )
        args["agent_id"] = args["agent_id"] or self.agent_id
        args["trace_id"] = args["trace_id"] or f"sdk_{uuid.uuid4().hex}"
        decision: GateDecision = self._backend.call(op, args)
        if self.base_url and decision.allow:
            # The server decides by its own rules; this client's apply on top.
            reason = self._own_denial(args)
            if reason is not None:
                return dataclasses.replace(decision, allow=False, reason=reason, outcome="DENIED")
        return decision

    def _own_denial(self, args: dict[str, Any]) -> str | None:
        if args["tool_name"] in self.deny_tools:
            return "client deny_tools policy lists this tool"
        if self.policy is None:
            return None
        tool = args["tool_name"]
        fields = {k: v for k, v in args.items() if k not in ("tool_name", "approval_id")}
        # Rate counts live in the server's database: this client's policy sees none.
        recent = dict.fromkeys(self.policy.recent_fields(tool), 0)
        decision = self.policy.evaluate(tool, **fields, recent=recent)
        return None if decision.allow else f"client policy: {decision.reason}"

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
        op = OPERATIONS["observe"]
        args = op.bind(
            {
                "outcome_status": outcome_status,
                "tool_name": tool_name,
                "agent_id": agent_id,
                "session_id": session_id,
                "fields": fields,
                "system_id": system_id,
                "actor": actor,
                "purpose": purpose,
                "capability": capability,
                "resource": resource,
                "trace_id": trace_id,
            }
        )
        args["agent_id"] = args["agent_id"] or self.agent_id
        return self._backend.call(op, args)

    # Keyed store

    def put_item(
        self,
        namespace: tuple[str, ...],
        key: str,
        value: Mapping[str, Any],
        *,
        ttl: float | None = None,
        vectors: Sequence[Sequence[float]] | None = None,
    ) -> dict[str, Any]:
        return self._call(
            "put_item", namespace=namespace, key=key, value=value, ttl=ttl, vectors=vectors
        )

    def get_item(
        self, namespace: tuple[str, ...], key: str, *, refresh_ttl: bool = False
    ) -> dict[str, Any] | None:
        return self._call("get_item", namespace=namespace, key=key, refresh_ttl=refresh_ttl)

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        return self._call("delete_item", namespace=namespace, key=key)

    def search_items(
        self,
        namespace_prefix: tuple[str, ...] = (),
        *,
        query: str | None = None,
        filter: Mapping[str, Any] | None = None,
        limit: int = 10,
        offset: int = 0,
        refresh_ttl: bool = False,
        vector: Sequence[float] | None = None,
    ) -> list[dict[str, Any]]:
        return self._call(
            "search_items",
            namespace_prefix=namespace_prefix,
            query=query or None,
            filter=filter,
            limit=limit,
            offset=offset,
            refresh_ttl=refresh_ttl,
            vector=vector,
        )

    def list_namespaces(
        self,
        *,
        prefix: tuple[str, ...] | None = None,
        suffix: tuple[str, ...] | None = None,
        max_depth: int | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> list[tuple[str, ...]]:
        return self._call(
            "list_namespaces",
            prefix=prefix,
            suffix=suffix,
            max_depth=max_depth,
            limit=limit,
            offset=offset,
        )

    def batch_items(self, ops: Sequence[tuple[str, Mapping[str, Any]]]) -> list[Any]:
        """Runs keyed-store operations, given as (name, keyword arguments) pairs such as
        ``("put_item", {"namespace": ("n",), "key": "k", "value": {}})``, in order in one
        service call and one transaction; returns what each method would have."""
        return [result for _, result in self._call("batch_items", ops=ops)]

    def purge_items(self) -> int:
        """Erases the expired stored items now (writes also purge them as they go); how many."""
        return self._call("purge_items")

    # Inspection

    def doctor(self) -> dict[str, Any]:
        status = self._call("doctor")
        if not self.base_url:
            return status
        return {
            "ok": True,
            "version": __version__,
            "project": self.project,
            "base_url": self.base_url,
            "backend": self._backend.kind,
            "memories": status["memories"],
            "audit_events": status["audit_events"],
            "deny_tools": sorted(self.deny_tools.union(map(str, status["deny_tools"]))),
            "server_version": status["version"],
        }

    def memories(self) -> list[dict[str, Any]]:
        """Copies of the stored memories, oldest first."""
        return self._call("memories")

    def audit_events(
        self,
        *,
        trace_id: str | None = None,
        agent_id: str | None = None,
        tool_name: str | None = None,
        kind: str | None = None,
        since: str | None = None,
        until: str | None = None,
    ) -> list[dict[str, Any]]:
        """Copies of the recorded events, oldest first; each filter given narrows them
        (``since`` and ``until`` are ISO 8601 times in UTC, ``until`` exclusive)."""
        return self._call(
            "audit_events",
            trace_id=trace_id,
            agent_id=agent_id,
            tool_name=tool_name,
            kind=kind,
            since=since,
            until=until,
        )

    def verify_audit(self) -> dict[str, Any]:
        """``{"ok", "events", "first_bad_seq"}``: whether the audit's hash chain is whole."""
        return self._call("verify_audit")

    # Approvals

    def approvals(self, status: str | None = None) -> list[dict[str, Any]]:
        """Approvals, pending first; ``status`` one of "pending", "approved", "denied",
        "expired", "used" narrows them."""
        return self._call("approvals", status=status)

    def decide_approval(
        self, approval_id: str, approve: bool, *, by: str, note: str = ""
    ) -> dict[str, Any]:
        """Approves or denies a pending approval in the name of ``by``; ValueError for an
        unknown one or one decided already."""
        return self._call(
            "decide_approval", approval_id=approval_id, approve=approve, by=by, note=note
        )
