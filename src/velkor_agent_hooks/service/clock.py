"""The service's clock: every stored time is ISO 8601 in UTC, to the microsecond, so that
times compare as text in both databases."""

from __future__ import annotations

from datetime import UTC, datetime, timedelta


def stamp(moment: datetime) -> str:
    return moment.astimezone(UTC).isoformat(timespec="microseconds")


def now() -> str:
    return stamp(datetime.now(UTC))


def ago(seconds: float) -> str:
    return stamp(datetime.now(UTC) - timedelta(seconds=seconds))


def later(seconds: float) -> str:
    return stamp(datetime.now(UTC) + timedelta(seconds=seconds))
