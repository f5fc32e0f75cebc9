"""Errors and result types: what a caller of the client gets back."""

from __future__ import annotations

import math
from dataclasses import dataclass


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
    # Set when the outcome is "APPROVAL_REQUIRED": the approval a person decides.
    approval_id: str | None = None

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
