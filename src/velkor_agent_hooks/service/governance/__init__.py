"""Governance: which tool calls may run, who approves the rest, and the audit that proves it.

A gate is decided and recorded in one storage transaction holding the project's audit lock:
the rate counts a policy reads, the approval it uses or asks for, and the event that links
into the hash chain all see and leave the audit as one step, whichever server on the
database runs it.
"""

from __future__ import annotations

import threading
import uuid
from typing import TYPE_CHECKING, Any

from ...client._types import GateDecision
from ..clock import ago, later, now
from ..storage import Storage
from . import approvals
from .chain import GENESIS, chain_event, verify

if TYPE_CHECKING:
    from .policy import Policy

ALLOWED_REASON = "no policy denies this tool"
DENY_TOOLS_REASON = "deny_tools policy lists this tool"


class Governance:
    def __init__(
        self,
        storage: Storage,
        deny_tools: frozenset[str],
        policy: Policy | None = None,
        approval_ttl: float = approvals.DEFAULT_TTL,
    ) -> None:
        self.storage = storage
        self.deny_tools = deny_tools
        self.approval_ttl = approval_ttl
        self._policy = policy
        self._lock = threading.Lock()

    @property
    def policy(self) -> Policy | None:
        return self._policy

    def set_policy(self, policy: Policy | None) -> None:
        """Replaces the policy; gates already deciding finish under the old one."""
        with self._lock:
            self._policy = policy

    # Operations

    def op_gate(self, **args: Any) -> GateDecision:
        base = {"kind": "gate", **args, "trace_id": args["trace_id"] or f"sdk_{uuid.uuid4().hex}"}
        policy = self._policy

        def build(txn: Any) -> list[dict[str, Any]]:
            when = now()
            event = {"event_id": f"evt_{uuid.uuid4().hex}", "recorded_at": when, **base}
            event.update(self._decide(txn, event, policy, when))
            return [_chained(txn, event)]

        (event,) = self.storage.append_events(build)
        return GateDecision(
            allow=event["allow"],
            governed=True,
            reason=event["reason"],
            degraded=False,
            outcome=event["outcome"],
            tool_name=event["tool_name"],
            trace_id=event["trace_id"],
            approval_id=event["approval_id"] if event["outcome"] == "APPROVAL_REQUIRED" else None,
        )

    def op_observe(self, **args: Any) -> dict[str, Any]:
        (event,) = self.record({"kind": "observe", **args})
        return {"recorded": True, "event_id": event["event_id"]}

    def op_audit_events(self, limit: int | None, offset: int, **filters: Any) -> list[Any]:
        return self.storage.list_events(limit, offset, **filters)

    def op_verify_audit(self) -> dict[str, Any]:
        return verify(self.storage.iter_events())

    def op_approvals(
        self, status: str | None, limit: int | None, offset: int
    ) -> list[dict[str, Any]]:
        # Expiry is a matter of time, not of a write: a pending one past its time is listed
        # as expired, so status is settled here rather than in the query.
        stored = None if status in (None, "pending", "expired") else status
        when = now()
        rows = [
            {**row, "status": approvals.status_at(row, when)}
            for row in self.storage.list_approvals(stored)
        ]
        rows = [row for row in rows if status is None or row["status"] == status]
        return rows[offset : None if limit is None else offset + limit]

    def op_decide_approval(
        self, approval_id: str, approve: bool, by: str, note: str
    ) -> dict[str, Any]:
        decided: dict[str, Any] = {}

        def build(txn: Any) -> list[dict[str, Any]]:
            when = now()
            approval = txn.approval(approval_id)
            if approval is None:
                raise ValueError(f"approval {approval_id} does not exist")
            status = approvals.status_at(approval, when)
            if status != "pending":
                raise ValueError(f"approval {approval_id} is {status}, not pending")
            approval.update(
                status="approved" if approve else "denied",
                decided_by=by,
                decided_at=when,
                note=note,
            )
            txn.put_approval(approval)
            decided.update(approval)
            event = {
                "event_id": f"evt_{uuid.uuid4().hex}",
                "recorded_at": when,
                "kind": "approval",
                "tool_name": approval["tool_name"],
                "agent_id": approval["agent_id"],
                "session_id": approval["session_id"],
                "trace_id": approval["trace_id"],
                "approval_id": approval_id,
                "outcome": approval["status"].upper(),
                "decided_by": by,
                "note": note,
            }
            return [_chained(txn, event)]

        self.storage.append_events(build)
        return decided

    # Deciding

    def record(self, fields: dict[str, Any]) -> list[Any]:
        """Appends one event holding ``fields`` to the audit."""

        def build(txn: Any) -> list[dict[str, Any]]:
            event = {"event_id": f"evt_{uuid.uuid4().hex}", "recorded_at": now(), **fields}
            return [_chained(txn, event)]

        return self.storage.append_events(build)

    @staticmethod
    def _use(txn: Any, approval: dict[str, Any], when: str) -> dict[str, Any]:
        approval.update(status="used", used_at=when)
        txn.put_approval(approval)
        return _outcome(True, "APPROVED", f"approved by {approval['decided_by']}")

    def _decide(
        self, txn: Any, event: dict[str, Any], policy: Policy | None, when: str
    ) -> dict[str, Any]:
        tool = event["tool_name"]
        approval = None
        if event["approval_id"] is not None:
            approval = txn.approval(event["approval_id"])
            refused = approvals.refusal(approval, event, when)
            if refused is not None:
                return _outcome(False, "DENIED", refused)
        if tool in self.deny_tools:
            return _outcome(False, "DENIED", DENY_TOOLS_REASON)
        if policy is None:
            if approval is not None:
                return self._use(txn, approval, when)
            return _outcome(True, "ALLOWED", ALLOWED_REASON)
        recent = None
        wanted = policy.recent_fields(tool)
        if wanted:
            recent = txn.recent_calls(event["agent_id"], tool, event["session_id"], ago(60), wanted)
        decision = policy.evaluate(
            tool,
            agent_id=event["agent_id"],
            tool_input=event.get("tool_input"),
            session_id=event["session_id"],
            trace_id=event["trace_id"],
            system_id=event["system_id"],
            actor=event["actor"],
            action=event["action"],
            purpose=event["purpose"],
            capability=event["capability"],
            resource=event["resource"],
            recent=recent,
            # An approval lifts the policies that ask for one, no other: the call must still
            # be permitted and not forbidden outright.
            approved=approval is not None,
        )
        fields = decision.as_dict()
        if recent is not None:
            fields["recent"] = recent
        if approval is not None and decision.allow:
            return {**fields, **self._use(txn, approval, when)}
        if decision.outcome == "APPROVAL_REQUIRED":
            approval = approvals.new_approval(
                event, decision.reason, when, later(self.approval_ttl)
            )
            txn.put_approval(approval)
            fields["approval_id"] = approval["id"]
        return fields


def _outcome(allow: bool, outcome: str, reason: str) -> dict[str, Any]:
    return {"allow": allow, "outcome": outcome, "reason": reason}


def _chained(txn: Any, event: dict[str, Any]) -> dict[str, Any]:
    seq, prev = txn.head()
    return chain_event(event, prev or GENESIS, seq + 1)
