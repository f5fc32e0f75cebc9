"""Errors, result types and the context rules that every backend shares."""

from __future__ import annotations

import hashlib
import math
from collections.abc import Iterable
from dataclasses import dataclass

SEPARATOR = "\n"
MISSES_BEFORE_FULL = 32


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


def block_hash(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def pack_context(ranked: Iterable[str], max_tokens: int, *, ranked_by_query: bool) -> ContextResult:
    """Joins texts in the order given, skipping those that would overflow ``max_tokens``.

    ``ranked`` is best first; without a query it is newest first and the chosen texts are
    returned oldest first. Stops reading as soon as not even one more character could fit, or
    after ``MISSES_BEFORE_FULL`` texts in a row did not fit: the budget is then as good as
    full, and reading on would only fetch ever less relevant texts to skip them.
    """
    chosen: list[str] = []
    chars = misses = 0
    for text in ranked:
        extra = len(text) + (len(SEPARATOR) if chosen else 0)
        if math.ceil((chars + extra) / 4) <= max_tokens:
            chosen.append(text)
            chars += extra
            misses = 0
        else:
            misses += 1
        if misses >= MISSES_BEFORE_FULL or math.ceil((chars + len(SEPARATOR) + 1) / 4) > max_tokens:
            break
    if not ranked_by_query:
        chosen.reverse()
    text = SEPARATOR.join(chosen)
    return ContextResult(
        text=text,
        block_hash=block_hash(text),
        token_count=estimate_tokens(text),
        status="ok" if chosen else "empty",
        hits=len(chosen),
    )
