"""The service's clock: every stored time is ISO 8601 in UTC."""

from __future__ import annotations

from datetime import UTC, datetime


def now() -> str:
    return datetime.now(UTC).isoformat()
