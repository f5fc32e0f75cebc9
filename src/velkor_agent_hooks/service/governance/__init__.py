"""Governance: which tool calls may run, who approves the rest, and the audit that proves it."""

from __future__ import annotations

import uuid
from typing import Any

from ...client._types import GateDecision
from ..clock import now
from ..storage import Storage


class Governance:
    def __init__(self, storage: Storage, deny_tools: frozenset[str]) -> None:
        self.storage = storage
        self.deny_tools = deny_tools

    def op_gate(self, **event: Any) -> GateDecision:
        name = event["tool_name"]
        trace_id = event["trace_id"] or f"sdk_{uuid.uuid4().hex}"
        allow = name not in self.deny_tools
        decision = GateDecision(
            allow=allow,
            governed=True,
            reason="no policy denies this tool" if allow else "deny_tools policy lists this tool",
            degraded=False,
            outcome="ALLOWED" if allow else "DENIED",
            tool_name=name,
            trace_id=trace_id,
        )
        self._record(
            {
                "kind": "gate",
                **event,
                "trace_id": trace_id,
                "allow": allow,
                "outcome": decision.outcome,
            }
        )
        return decision

    def op_observe(self, **event: Any) -> dict[str, Any]:
        return {"recorded": True, "event_id": self._record({"kind": "observe", **event})}

    def op_audit_events(self, limit: int | None, offset: int) -> list[dict[str, Any]]:
        return self.storage.list_events(limit, offset)

    def _record(self, event: dict[str, Any]) -> str:
        event_id = f"evt_{uuid.uuid4().hex}"
        self.storage.add_event({"event_id": event_id, "recorded_at": now(), **event})
        return event_id
