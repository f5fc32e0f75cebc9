"""What one server allows; every field is also a ``velkor serve`` option."""

from __future__ import annotations

import dataclasses
import math

from ...client._wire import MAX_BODY, MAX_DEPTH, MAX_PAGE, MAX_TURNS


@dataclasses.dataclass(frozen=True, slots=True)
class ServerLimits:
    """What one server allows; every field is also a ``serve`` command-line option."""

    max_concurrency: int = 256  # operations queued or running; more get 503
    workers: int = 8  # threads running operations on durable storage; 0: on the event loop
    keep_alive: float = 5.0  # seconds an idle kept-alive connection stays open
    header_timeout: float = 10.0  # seconds to a request's end of head
    body_timeout: float = 30.0  # seconds from the end of the head to the end of the body
    max_body: int = MAX_BODY  # bytes in one request body
    max_header_bytes: int = 64 * 1024  # bytes in one request line and headers
    max_buffered: int = 256 * 1024 * 1024  # request-body bytes held across all connections
    max_turns: int = MAX_TURNS  # turns in one remember request
    max_page: int = MAX_PAGE  # rows in one listing page
    max_depth: int = MAX_DEPTH  # nesting of a request body
    shutdown_timeout: float = 30.0  # seconds close() waits for requests in flight
    backlog: int = 2048  # connections the kernel queues before they are accepted

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if isinstance(value, bool) or not isinstance(value, int | float):
                raise TypeError(f"{field.name} must be a number, got {type(value).__name__}")
            if field.type == "int" and not isinstance(value, int):
                raise TypeError(f"{field.name} must be int, got {type(value).__name__}")
            if field.name == "workers" and value == 0:
                continue
            if not (value > 0 and math.isfinite(value)):
                raise ValueError(f"{field.name} must be positive and finite, got {value!r}")
