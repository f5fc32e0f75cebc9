"""The HTTP API as a small ASGI application: authentication, routing, limits.

Security model: a server holds a fixed list of projects, each with its own service (all may
share one database). Every request must name one of them in ``X-Velkor-Project``; a missing
header is refused, never taken as "any". With an API key, every request must carry
``Authorization: Bearer <key>`` or gets 401 before anything is read or changed.

Routes come from the operation table; each operation runs in a bounded pool of threads,
since storage calls block.
"""

from __future__ import annotations

import asyncio
import json
import logging
import re
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any
from urllib.parse import unquote, unquote_plus

from ...client._operations import OPERATIONS, Operation
from ...client._wire import AUTH_SCHEME, PROJECT_HEADER, too_deep
from .._service import Service
from ..auth import Authenticator
from .limits import ServerLimits

log = logging.getLogger("velkor_agent_hooks.server")

# path -> method -> operation
ROUTES: dict[str, dict[str, Operation]] = {}
for _op in OPERATIONS.values():
    ROUTES.setdefault(_op.path, {})[_op.method] = _op


class Reject(Exception):
    def __init__(self, status: int, message: str, headers: Iterable[tuple[bytes, bytes]] = ()):
        super().__init__(message)
        self.status = status
        self.headers = list(headers)


class Gone(Exception):
    """The client hung up before its request was complete."""


CONSOLE_OFF = (
    "the console is not served: it needs the console extra (pip install"
    " 'velkor-agent-hooks[console]') and an operator key or API key to sign in with"
)
_DIGITS = re.compile(r"[0-9]{1,12}")
_PROJECT = PROJECT_HEADER.lower().encode()
_JSON = (b"content-type", b"application/json")
_CLOSE = (b"connection", b"close")


# json.dumps with any option builds an encoder per call; one, built once.
_encode = json.JSONEncoder(separators=(",", ":")).encode


def error_body(kind: str, message: str) -> bytes:
    return json.dumps({"error": {"type": kind, "message": message}}).encode()


def _query_args(
    query: bytes, op: Operation, max_page: int
) -> tuple[tuple[int, int], dict[str, str]]:
    """The page (limit, offset) and the operation's arguments a query string holds."""
    page = {"limit": max_page, "offset": 0}
    args: dict[str, str] = {}
    if not query:
        return (max_page, 0), args
    try:
        pairs = [part.split("=", 1) for part in query.decode("ascii").split("&")]
    except UnicodeDecodeError:
        raise Reject(400, "query string must be ASCII") from None
    names = {arg.name for arg in op.args} if op.method == "GET" else set()
    for pair in pairs:
        if len(pair) != 2:
            raise Reject(400, f"unknown query parameter {pair[0]!r}")
        name, value = pair
        if op.page_key is not None and name in page:
            if not _DIGITS.fullmatch(value):
                raise Reject(400, f"{name} must be a non-negative integer, got {value!r}")
            page[name] = int(value)
        elif name in names:
            try:
                args[name] = unquote_plus(value, errors="strict")
            except UnicodeDecodeError:
                raise Reject(400, f"{name} must be percent-encoded UTF-8") from None
        else:
            raise Reject(400, f"unknown query parameter {name!r}")
    if page["limit"] == 0:
        raise Reject(400, "limit must be at least 1")
    return (min(page["limit"], max_page), page["offset"]), args


def _body(raw: bytes, op: Operation, limits: ServerLimits) -> dict[str, Any]:
    try:
        body = json.loads(raw)
    except RecursionError:
        raise Reject(400, "request body is nested too deeply") from None
    except ValueError as exc:
        raise Reject(400, f"request body is not JSON: {exc}") from None
    if type(body) is not dict:
        raise Reject(400, "request body must be a JSON object")
    if too_deep(raw, body, limits.max_depth):
        raise Reject(400, f"request body is nested more than {limits.max_depth} deep")
    for arg in op.args:
        value = body.get(arg.name)
        if arg.capped and type(value) is list and len(value) > limits.max_turns:
            raise Reject(413, f"at most {limits.max_turns} turns per request, not {len(value)}")
    return body


def _run(
    op: Operation,
    service: Service,
    raw: bytes | None,
    query: bytes,
    limits: ServerLimits,
) -> tuple[int, bytes]:
    """Parses, checks and runs one operation, in a worker thread; returns status and reply."""
    try:
        page, wire = _query_args(query, op, limits.max_page)
        if raw is not None:
            wire = _body(raw, op, limits)
        args = op.from_wire(wire)
        handler = service.handler(op.name)
        if op.page_key is None:
            reply = op.encode(handler(**args))
        else:
            limit, offset = page
            rows = handler(limit=limit + 1, offset=offset, **args)  # one more: is there a next?
            more = len(rows) > limit
            reply = {op.page_key: rows[:limit], "next_offset": offset + limit if more else None}
        return 200, _encode(reply).encode()
    except Reject as exc:
        return exc.status, error_body("RequestError", str(exc))
    except (TypeError, ValueError) as exc:
        return 400, error_body(type(exc).__name__, str(exc))
    except Exception as exc:
        log.exception("%s failed", op.name)
        return 500, error_body(type(exc).__name__, str(exc))


class App:
    """The ASGI application: authentication, routing, limits; operations go to the pool."""

    def __init__(
        self,
        services: dict[str, Service],
        api_key: str | None,
        limits: ServerLimits,
        pool: ThreadPoolExecutor | None,
        tag: tuple[bytes, bytes] | None = None,
        console: Callable | None = None,
    ) -> None:
        self._services = services
        self._console = console  # the ASGI app of the pages under /console, when served
        self._tag = tag  # a header naming this process, when several serve one port
        self._auth = Authenticator(api_key)
        self._by_header: dict[bytes, Service] = {}
        self._limits = limits
        self._pool = pool
        self._in_flight = 0
        self._buffered = 0

    async def __call__(self, scope: dict, receive: Callable, send: Callable) -> None:
        if scope["type"] != "http":
            return  # lifespan is off and upgrades are not served
        path = scope["path"]
        if path == "/console" or path.startswith("/console/"):
            if self._console is not None:
                return await self._console(scope, receive, send)
        extra: list[tuple[bytes, bytes]] = []
        try:
            status, reply = await self._respond(scope, receive, extra)
        except Gone:
            return  # nobody to answer
        except Reject as exc:
            status, reply = exc.status, error_body("RequestError", str(exc))
            extra += exc.headers
        headers = [_JSON, (b"content-length", b"%d" % len(reply))]
        if extra:
            headers += extra
        if self._tag is not None:
            headers.append(self._tag)
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": reply})

    async def _respond(
        self, scope: dict, receive: Callable, extra: list[tuple[bytes, bytes]]
    ) -> tuple[int, bytes]:
        auth = project = length = None
        chunked = False
        for name, value in scope["headers"]:
            if name == b"authorization":
                auth = value
            elif name == _PROJECT:
                project = value
            elif name == b"content-length":
                length = value
            elif name == b"transfer-encoding":
                chunked = True
        has_body = chunked or (length is not None and length != b"0")
        if has_body:
            # Until the body has been read, an early reply ends the connection: nobody waits
            # for a body the server will throw away.
            extra.append(_CLOSE)
        limits = self._limits
        self._authenticate(auth)
        methods = ROUTES.get(scope["path"])
        if methods is None:
            if scope["path"].startswith("/console"):
                raise Reject(404, CONSOLE_OFF)
            raise Reject(404, f"no such endpoint: {scope['path']}")
        method = scope["method"]
        if method not in methods:
            allow = ", ".join(methods).encode()
            raise Reject(405, f"{scope['path']} does not accept {method}", [(b"allow", allow)])
        op = methods[method]
        service = self._service(project)
        query = scope["query_string"]
        raw = None
        if method == "GET":
            if has_body:
                raise Reject(400, "a GET request takes no body")
        else:
            if length is not None and (not length.isdigit() or int(length) > limits.max_body):
                raise Reject(413, f"request body must be at most {limits.max_body} bytes")
            raw = await self._read_body(receive)
            if has_body:
                extra.remove(_CLOSE)
        if self._in_flight >= limits.max_concurrency:
            raise Reject(503, "server busy: too many requests in flight", [(b"retry-after", b"1")])
        if self._pool is None:
            return _run(op, service, raw, query, limits)
        self._in_flight += 1
        try:
            loop = asyncio.get_running_loop()
            return await loop.run_in_executor(self._pool, _run, op, service, raw, query, limits)
        finally:
            self._in_flight -= 1

    def _authenticate(self, auth: bytes | None) -> None:
        if not self._auth.accepts(auth):
            challenge = [(b"www-authenticate", AUTH_SCHEME.encode())]
            raise Reject(401, "missing or wrong API key", challenge)

    def _service(self, header: bytes | None) -> Service:
        if header is None:
            raise Reject(400, f"the {PROJECT_HEADER} header is required")
        service = self._by_header.get(header)
        if service is not None:
            return service
        try:
            project = unquote(header.decode("ascii"), errors="strict")
        except UnicodeDecodeError:
            raise Reject(400, f"{PROJECT_HEADER} must be percent-encoded UTF-8") from None
        service = self._services.get(project)
        if service is None:
            raise Reject(409, f"this server does not serve project {project!r}")
        if len(self._by_header) < 64:  # spellings of served names only, and few of those
            self._by_header[header] = service
        return service

    async def _read_body(self, receive: Callable) -> bytes:
        # The protocol's timer bounds the wait: on expiry it replies 408 and disconnects.
        limits = self._limits
        message = await receive()
        if message["type"] == "http.disconnect":
            raise Gone
        if not message.get("more_body", False):  # the usual case: the body came whole
            body = message.get("body", b"")
            if len(body) > limits.max_body:
                raise Reject(413, f"request body must be at most {limits.max_body} bytes")
            if self._buffered + len(body) > limits.max_buffered:
                raise Reject(503, "server busy: too much request data in flight")
            return body
        chunks: list[bytes] = []
        size = 0
        try:
            while True:
                chunk = message.get("body", b"")
                size += len(chunk)
                if size > limits.max_body:
                    raise Reject(413, f"request body must be at most {limits.max_body} bytes")
                if self._buffered + len(chunk) > limits.max_buffered:
                    raise Reject(503, "server busy: too much request data in flight")
                self._buffered += len(chunk)
                chunks.append(chunk)
                if not message.get("more_body", False):
                    return b"".join(chunks)
                message = await receive()
                if message["type"] == "http.disconnect":
                    raise Gone
        finally:
            self._buffered -= sum(map(len, chunks))
