"""uvicorn's HTTP protocol with the deadlines and caps uvicorn leaves out.

This subclasses uvicorn's ``HttpToolsProtocol`` and uses some of its private members
(``_start_asgi_task``, ``pipeline``, ``flow``, ``cycle``): the range of uvicorn releases
``pyproject.toml`` allows is the one tested (the main suite runs on its newest release, the
sanitizer suite on its oldest), and importing refuses a release that lacks them.
"""

from __future__ import annotations

import asyncio
from typing import Any

try:
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "the Velkor server needs uvicorn with httptools: pip install 'velkor-agent-hooks[server]'"
    ) from exc

from .app import Reject, error_body
from .limits import ServerLimits

_NEEDED = (
    "_start_asgi_task",
    "timeout_keep_alive_handler",
    "on_url",
    "on_header",
    "on_message_begin",
    "on_headers_complete",
    "on_message_complete",
    "on_response_complete",
    "send_400_response",
)
_missing = [name for name in _NEEDED if not hasattr(HttpToolsProtocol, name)]
if _missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        f"this uvicorn lacks {', '.join(_missing)}: install a release that"
        " velkor-agent-hooks[server] allows"
    )


class _Coalesced:
    """The transport as a reply sees it: the head is held back and goes out with the body.

    One write, so one segment and one wake-up of the client, instead of two. One per
    connection; the protocol flushes it when a reply ends (a reply to HEAD has no body).
    """

    __slots__ = ("_held", "_transport")

    def __init__(self, transport: Any) -> None:
        self._transport = transport
        self._held: bytes | None = None

    def write(self, data: bytes) -> None:
        if self._held is not None:
            data, self._held = self._held + data, None
        elif data.startswith(b"HTTP/1.1 ") and not data.startswith(b"HTTP/1.1 100 "):
            self._held = data
            return
        self._transport.write(data)

    def flush(self) -> None:
        if self._held is not None:
            self._transport.write(self._held)
            self._held = None

    def close(self) -> None:
        self.flush()
        self._transport.close()

    def is_closing(self) -> bool:
        return self._transport.is_closing()


class Protocol(HttpToolsProtocol):
    """uvicorn's HTTP protocol with deadlines for a request's head and body, a cap on the
    head's size, and replies written at once. uvicorn bounds none of these reads.

    A deadline is a time to check, not a timer per request: moving it costs nothing, and
    the one timer of a connection fires at most once per deadline to see whether it passed.
    """

    limits: ServerLimits

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)
        self._coalesced = _Coalesced(transport)
        self._head_bytes = self._parsed_head = 0
        self._in_head = True
        self._idle = False  # between requests on a kept-alive connection
        self._deadline: float | None = None
        self._timer: asyncio.TimerHandle | None = None
        self._timer_at = 0.0
        self._arm(self.limits.header_timeout)

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if self._idle:
            self._idle = False
            self._deadline = None
        super().data_received(data)
        # A head that never ends: count what arrived while it was being read.
        if self._in_head and not self.transport.is_closing():
            self._head_bytes += len(data)
            if self._head_bytes > self.limits.max_header_bytes:
                self._refuse(431, f"request head is over {self.limits.max_header_bytes} bytes")

    def on_url(self, url: bytes) -> None:
        self._parsed_head += len(url)
        if self._parsed_head > self.limits.max_header_bytes:
            self._head_too_large()
        super().on_url(url)

    def on_header(self, name: bytes, value: bytes) -> None:
        # A head that arrived whole: count it as it is parsed, and stop the parser.
        self._parsed_head += len(name) + len(value) + 4
        if self._parsed_head > self.limits.max_header_bytes:
            self._head_too_large()
        super().on_header(name, value)

    def _head_too_large(self) -> None:
        self._refuse(431, f"request head is over {self.limits.max_header_bytes} bytes")
        raise Reject(431, "request head too large")  # aborts this parse

    def send_400_response(self, msg: str) -> None:
        if not self.transport.is_closing():  # not after a reply of our own
            super().send_400_response(msg)

    def on_message_begin(self) -> None:
        super().on_message_begin()
        self._in_head = True
        self._head_bytes = self._parsed_head = 0
        if self._deadline is None:
            self._arm(self.limits.header_timeout)

    def on_headers_complete(self) -> None:
        self._in_head = False
        self._arm(self.limits.body_timeout)
        super().on_headers_complete()
        if self.cycle is not None:
            self.cycle.transport = self._coalesced  # type: ignore[assignment]

    def on_message_complete(self) -> None:
        self._deadline = None
        super().on_message_complete()

    def on_response_complete(self) -> None:
        # uvicorn's, with the keep-alive timeout as a deadline rather than a timer per reply.
        self._coalesced.flush()
        self.server_state.total_requests += 1
        if self.transport.is_closing():
            return
        self.flow.resume_reading()
        if self.pipeline:
            cycle, app = self.pipeline.pop()
            self._start_asgi_task(cycle, app)
        else:
            self._idle = True
            self._arm(self.timeout_keep_alive)

    def _arm(self, seconds: float) -> None:
        self._deadline = deadline = self.loop.time() + seconds
        if self._timer is None or deadline < self._timer_at:
            if self._timer is not None:
                self._timer.cancel()
            self._timer_at = deadline
            self._timer = self.loop.call_at(deadline, self._check)

    def _disarm(self) -> None:
        self._deadline = None
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    def _check(self) -> None:
        self._timer = None
        deadline = self._deadline
        if deadline is None:
            return
        if self.loop.time() < deadline:  # moved later since the timer was set
            self._timer_at = deadline
            self._timer = self.loop.call_at(deadline, self._check)
            return
        self._deadline = None
        self._expired()

    def _expired(self) -> None:
        cycle = self.cycle
        if self._idle:
            self.timeout_keep_alive_handler()
        elif self._in_head and cycle is not None and not cycle.response_complete:
            # The previous reply is still being made; this pipelined request waits for it.
            self._arm(self.limits.header_timeout)
        elif cycle is not None and not self._in_head and cycle.response_started:
            self.transport.close()  # replied early; the rest of the body is not wanted
        else:
            part = "head" if self._in_head else "body"
            limit = self.limits.header_timeout if self._in_head else self.limits.body_timeout
            self._refuse(408, f"request {part} not received within {limit:g} s")

    def _refuse(self, status: int, message: str) -> None:
        if self.transport.is_closing():
            return
        self._disarm()
        body = error_body("RequestError", message)
        reason = "Request Timeout" if status == 408 else "Request Header Fields Too Large"
        head = f"HTTP/1.1 {status} {reason}\r\ncontent-type: application/json\r\n"
        head += f"content-length: {len(body)}\r\nconnection: close\r\n\r\n"
        self.transport.write(head.encode() + body)
        self.transport.close()
