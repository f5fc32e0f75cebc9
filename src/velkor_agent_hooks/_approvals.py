"""The approvals the bridges wait on, so that a call asked again after approval runs.

A bridge that answers "awaits approval" remembers the approval's id by the call: agent,
session, tool and input (as JSON, key order aside). The same call made again names that id,
so once a person approves it the call runs, once. While the approval is pending the same call
gets the same id (no second approval for the person to decide); once it was used, denied,
has expired or is gone it is forgotten, and the next identical call is asked afresh. Ids are
remembered per client, in this process only.
"""

from __future__ import annotations

import dataclasses
import json
import threading
import weakref
from collections.abc import Callable, Mapping
from typing import Any

from .client import GateDecision, VelkorClient, VelkorHTTPError

APPROVAL_REQUIRED = "APPROVAL_REQUIRED"

Key = tuple[str, str, str, str]


def call_key(
    agent_id: str, session_id: str, tool_name: str, tool_input: Mapping[str, Any] | None
) -> Key:
    text = json.dumps(dict(tool_input or {}), sort_keys=True, default=str)
    return (agent_id, session_id, tool_name, text)


class Pending:
    """Approval ids (and the reason a policy gave) by the call they were asked for."""

    def __init__(self) -> None:
        self._ids: dict[Key, tuple[str, str]] = {}
        self._lock = threading.Lock()

    def get(self, key: Key) -> tuple[str, str] | None:
        with self._lock:
            return self._ids.get(key)

    def put(self, key: Key, approval_id: str, reason: str) -> None:
        with self._lock:
            self._ids[key] = (approval_id, reason)

    def forget(self, key: Key, approval_id: str) -> None:
        with self._lock:
            # A concurrent identical call may have remembered a newer one meanwhile.
            if self._ids.get(key, ("",))[0] == approval_id:
                del self._ids[key]


_registry: weakref.WeakKeyDictionary[VelkorClient, Pending] = weakref.WeakKeyDictionary()
_registry_lock = threading.Lock()


def pending_for(client: VelkorClient) -> Pending:
    """The ids remembered for ``client``, shared by every bridge on it."""
    with _registry_lock:
        pending = _registry.get(client)
        if pending is None:
            pending = _registry[client] = Pending()
        return pending


def approval(client: VelkorClient, approval_id: str) -> dict[str, Any] | None:
    return next((a for a in client.approvals() if a["id"] == approval_id), None)


def decide(client: VelkorClient, approval_id: str, approve: bool, by: str, note: str = "") -> None:
    """Decides a pending approval; one decided already, or expired, is left as it is (the
    gate naming it then says which)."""
    try:
        client.decide_approval(approval_id, approve, by=by, note=note)
    except ValueError:
        pass
    except VelkorHTTPError as exc:  # a server's ValueError
        if exc.status != 400 or exc.error_type != "ValueError":
            raise


def gate(
    client: VelkorClient,
    tool_name: str,
    tool_input: Mapping[str, Any] | None,
    *,
    agent_id: str = "",
    session_id: str = "",
    trace_id: str = "",
    first: Callable[[], GateDecision] | None = None,
) -> GateDecision:
    """Gates a call, naming the approval an identical earlier call was given, if any.

    ``first`` gates a call with no approval to name (default ``client.gate``). The outcome is
    APPROVAL_REQUIRED, with the approval's id and the policy's reason, for a new approval and
    for one still pending."""
    agent = agent_id or client.agent_id
    key = call_key(agent, session_id, tool_name, tool_input)
    pending = pending_for(client)
    known = pending.get(key)
    if known is None:
        if first is not None:
            decision = first()
        else:
            decision = client.gate(
                tool_name,
                agent_id=agent,
                session_id=session_id,
                tool_input=tool_input,
                trace_id=trace_id,
            )
        if decision.outcome == APPROVAL_REQUIRED and decision.approval_id:
            pending.put(key, decision.approval_id, decision.reason)
        return decision
    approval_id, _ = known
    decision = client.gate(
        tool_name,
        agent_id=agent,
        session_id=session_id,
        tool_input=tool_input,
        trace_id=trace_id,
        approval_id=approval_id,
    )
    if decision.allow:
        pending.forget(key, approval_id)
        return decision
    row = approval(client, approval_id)
    if row is not None and row["status"] == "pending":
        return dataclasses.replace(
            decision, outcome=APPROVAL_REQUIRED, approval_id=approval_id, reason=row["reason"]
        )
    pending.forget(key, approval_id)
    if row is not None and row["status"] == "denied":
        note = f": {row['note']}" if row["note"] else ""
        return dataclasses.replace(
            decision, reason=f"{decision.reason} by {row['decided_by']}{note}"
        )
    return decision


def awaiting(tool_name: str, decision: GateDecision) -> str:
    """What the model reads for a call awaiting a person's approval."""
    return (
        f"Tool call '{tool_name}' awaits approval (approval id {decision.approval_id}) and did "
        f"not run: {decision.reason.rstrip('.')}. Make the same call again once a person has "
        "approved it."
    )
