"""Human approvals: a call a policy sends to a person, and the one retry it then allows.

An approval is made pending when a gate's decision is APPROVAL_REQUIRED. A person approves
or denies it; a gate naming it with the same tool, agent and input then runs once (outcome
APPROVED) and the approval is used. One pending longer than the approval TTL has expired.
"""

from __future__ import annotations

import json
import uuid
from typing import Any

from .chain import _plain

DEFAULT_TTL = 3600.0


def same_input(a: Any, b: Any) -> bool:
    # As JSON compares: key order does not count, 1 and 1.0 alike, as stored values read back.
    return json.dumps(_plain(a), sort_keys=True) == json.dumps(_plain(b), sort_keys=True)


def new_approval(event: dict[str, Any], reason: str, created: str, expires: str) -> dict[str, Any]:
    return {
        "id": f"apr_{uuid.uuid4().hex}",
        "tool_name": event["tool_name"],
        "agent_id": event["agent_id"],
        "session_id": event["session_id"],
        "trace_id": event["trace_id"],
        "tool_input": event.get("tool_input") or {},
        "reason": reason,
        "status": "pending",
        "created_at": created,
        "expires_at": expires,
        "decided_by": "",
        "decided_at": "",
        "note": "",
    }


def status_at(approval: dict[str, Any], now: str) -> str:
    """The approval's status as of ``now``: a pending one past its time has expired."""
    if approval["status"] == "pending" and approval["expires_at"] <= now:
        return "expired"
    return approval["status"]


def refusal(approval: dict[str, Any] | None, event: dict[str, Any], now: str) -> str | None:
    """Why the gate ``event`` may not run on ``approval``; None when it may."""
    wanted = event["approval_id"]
    if approval is None:
        return f"approval {wanted} does not exist"
    if (approval["tool_name"], approval["agent_id"]) != (event["tool_name"], event["agent_id"]):
        return f"approval {wanted} is for another tool or agent"
    if not same_input(approval["tool_input"], event.get("tool_input") or {}):
        return f"approval {wanted} is for another input"
    status = status_at(approval, now)
    if status == "approved":
        return None
    return {
        "pending": f"approval {wanted} is still pending",
        "denied": f"approval {wanted} was denied",
        "expired": f"approval {wanted} has expired",
        "used": f"approval {wanted} was used already",
    }[status]
