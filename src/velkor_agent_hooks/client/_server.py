"""The HTTP API as a small ASGI application served by uvicorn; see :func:`serve`.

Security model: a server holds a fixed list of projects, each with its own storage (all may
share one database) and its own backend. Every request must name one of them in
``X-Velkor-Project``; a missing header is refused, never taken as "any". With an API key,
every request must carry ``Authorization: Bearer <key>`` or gets 401 before anything is read
or changed. Without a key the server only binds loopback addresses.

uvicorn parses HTTP (strict framing, keep-alive, graceful shutdown); this module adds what it
leaves out: a deadline and a size cap on request headers, a body deadline and size cap, a
limit on operations in flight, and a bounded pool of threads that runs the operations, whose
storage calls block.
"""

from __future__ import annotations

import asyncio
import dataclasses
import hmac
import ipaddress
import json
import logging
import math
import os
import re
import socket
import threading
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any
from urllib.parse import unquote

try:
    import uvicorn
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "the Velkor server needs uvicorn: pip install 'velkor-agent-hooks[server]'"
    ) from exc

try:
    import uvloop
except ImportError:  # pragma: no cover
    uvloop = None

from . import VelkorClient
from ._wire import (
    AUTH_SCHEME,
    MAX_BODY,
    MAX_DEPTH,
    MAX_PAGE,
    MAX_TURNS,
    PAGED,
    PROJECT_HEADER,
    ROUTES,
    too_deep,
)

log = logging.getLogger("velkor_agent_hooks.server")


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


class _Reject(Exception):
    def __init__(self, status: int, message: str, headers: Iterable[tuple[bytes, bytes]] = ()):
        super().__init__(message)
        self.status = status
        self.headers = list(headers)


class _Gone(Exception):
    """The client hung up before its request was complete."""


_Operation = Callable[[VelkorClient, dict[str, Any], tuple[int, int]], Any]


def _namespace(value: Any) -> Any:
    # JSON has no tuples; a list of labels on the wire is a namespace tuple.
    return tuple(value) if isinstance(value, list) else value


def _item(item: dict[str, Any] | None) -> dict[str, Any] | None:
    return None if item is None else {**item, "namespace": list(item["namespace"])}


def _page(list_rows: Callable[..., list[Any]], key: str, page: tuple[int, int]) -> dict[str, Any]:
    limit, offset = page
    rows = list_rows(limit + 1, offset)  # one more tells whether another page follows
    more = len(rows) > limit
    return {key: rows[:limit], "next_offset": offset + limit if more else None}


def _fields(result: Any) -> dict[str, Any]:
    # dataclasses.asdict deep-copies; these results hold only str, int and bool.
    return {name: getattr(result, name) for name in result.__slots__}


def _storage(client: VelkorClient) -> Any:
    return client._backend.storage  # type: ignore[union-attr]  # always a LocalBackend here


_OPERATIONS: dict[str, _Operation] = {
    "context": lambda c, body, _: _fields(c.context(**body)),
    "remember": lambda c, body, _: c.remember_turns(**body),
    "gate": lambda c, body, _: _fields(c.gate(**body)),
    "observe": lambda c, body, _: c.observe(**body),
    "doctor": lambda c, body, _: c.doctor(),
    "memories": lambda c, _, page: _page(_storage(c).list_memories, "memories", page),
    "audit_events": lambda c, _, page: _page(_storage(c).list_events, "events", page),
    "put_item": lambda c, body, _: _item(
        c.put_item(_namespace(body.pop("namespace", None)), **body)
    ),
    "get_item": lambda c, body, _: {
        "item": _item(c.get_item(_namespace(body.pop("namespace", None)), **body))
    },
    "delete_item": lambda c, body, _: {
        "deleted": c.delete_item(_namespace(body.pop("namespace", None)), **body)
    },
    "search_items": lambda c, body, _: {
        "items": [
            _item(i) for i in c.search_items(_namespace(body.pop("namespace_prefix", [])), **body)
        ]
    },
    "list_namespaces": lambda c, body, _: {
        "namespaces": c.list_namespaces(
            **{k: _namespace(v) if k in ("prefix", "suffix") else v for k, v in body.items()}
        )
    },
}
# path -> method -> (operation name, operation)
_ROUTES: dict[str, dict[str, tuple[str, _Operation]]] = {}
for _name, (_method, _path) in ROUTES.items():
    _ROUTES.setdefault(_path, {})[_method] = (_name, _OPERATIONS[_name])

_DIGITS = re.compile(r"[0-9]{1,12}")
_PROJECT = PROJECT_HEADER.lower().encode()
_JSON = (b"content-type", b"application/json")
_CLOSE = (b"connection", b"close")


# json.dumps with any option builds an encoder per call; one, built once.
_encode = json.JSONEncoder(separators=(",", ":")).encode


def _error(kind: str, message: str) -> bytes:
    return json.dumps({"error": {"type": kind, "message": message}}).encode()


def _query_page(query: bytes, paged: bool, max_page: int) -> tuple[int, int]:
    if not query:
        return max_page, 0
    try:
        pairs = [part.split("=", 1) for part in query.decode("ascii").split("&")]
    except UnicodeDecodeError:
        raise _Reject(400, "query string must be ASCII") from None
    values = {"limit": max_page, "offset": 0}
    for pair in pairs:
        if not paged or len(pair) != 2 or pair[0] not in values:
            raise _Reject(400, f"unknown query parameter {pair[0]!r}")
        if not _DIGITS.fullmatch(pair[1]):
            raise _Reject(400, f"{pair[0]} must be a non-negative integer, got {pair[1]!r}")
        values[pair[0]] = int(pair[1])
    if values["limit"] == 0:
        raise _Reject(400, "limit must be at least 1")
    return min(values["limit"], max_page), values["offset"]


def _run(
    name: str, operation: _Operation, client: VelkorClient, raw: bytes | None, page: tuple, limits
) -> tuple[int, bytes]:
    """Parses, checks and runs one operation, in a worker thread; returns status and reply."""
    try:
        body: dict[str, Any] = {}
        if raw is not None:
            try:
                body = json.loads(raw)
            except RecursionError:
                raise _Reject(400, "request body is nested too deeply") from None
            except ValueError as exc:
                raise _Reject(400, f"request body is not JSON: {exc}") from None
            if type(body) is not dict:
                raise _Reject(400, "request body must be a JSON object")
            if too_deep(raw, body, limits.max_depth):
                raise _Reject(400, f"request body is nested more than {limits.max_depth} deep")
            turns = body.get("turns")
            if name == "remember" and type(turns) is list and len(turns) > limits.max_turns:
                raise _Reject(
                    413, f"at most {limits.max_turns} turns per request, not {len(turns)}"
                )
        reply = operation(client, body, page)
        return 200, _encode(reply).encode()
    except _Reject as exc:
        return exc.status, _error("RequestError", str(exc))
    except (TypeError, ValueError) as exc:
        return 400, _error(type(exc).__name__, str(exc))
    except Exception as exc:
        log.exception("%s failed", name)
        return 500, _error(type(exc).__name__, str(exc))


class _App:
    """The ASGI application: authentication, routing, limits; operations go to the pool."""

    def __init__(
        self,
        clients: dict[str, VelkorClient],
        api_key: str | None,
        limits: ServerLimits,
        pool: ThreadPoolExecutor | None,
        tag: tuple[bytes, bytes] | None = None,
    ) -> None:
        self._clients = clients
        self._tag = tag  # a header naming this process, when several serve one port
        self._key = api_key.encode() if api_key else None
        # The header as clients send it; anything else takes the slower, lenient parse.
        self._expected = f"{AUTH_SCHEME} {api_key}".encode() if api_key else None
        self._by_header: dict[bytes, VelkorClient] = {}
        self._limits = limits
        self._pool = pool
        self._in_flight = 0
        self._buffered = 0

    async def __call__(self, scope: dict, receive: Callable, send: Callable) -> None:
        if scope["type"] != "http":
            return  # lifespan is off and upgrades are not served
        extra: list[tuple[bytes, bytes]] = []
        try:
            status, reply = await self._respond(scope, receive, extra)
        except _Gone:
            return  # nobody to answer
        except _Reject as exc:
            status, reply = exc.status, _error("RequestError", str(exc))
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
        methods = _ROUTES.get(scope["path"])
        if methods is None:
            raise _Reject(404, f"no such endpoint: {scope['path']}")
        method = scope["method"]
        if method not in methods:
            allow = ", ".join(methods).encode()
            raise _Reject(405, f"{scope['path']} does not accept {method}", [(b"allow", allow)])
        name, operation = methods[method]
        client = self._client(project)
        page = _query_page(scope["query_string"], name in PAGED, limits.max_page)
        raw = None
        if method == "GET":
            if has_body:
                raise _Reject(400, "a GET request takes no body")
        else:
            if length is not None and (not length.isdigit() or int(length) > limits.max_body):
                raise _Reject(413, f"request body must be at most {limits.max_body} bytes")
            raw = await self._read_body(receive)
            if has_body:
                extra.remove(_CLOSE)
        if self._in_flight >= limits.max_concurrency:
            raise _Reject(503, "server busy: too many requests in flight", [(b"retry-after", b"1")])
        if self._pool is None:
            return _run(name, operation, client, raw, page, limits)
        self._in_flight += 1
        try:
            loop = asyncio.get_running_loop()
            return await loop.run_in_executor(
                self._pool, _run, name, operation, client, raw, page, limits
            )
        finally:
            self._in_flight -= 1

    def _authenticate(self, auth: bytes | None) -> None:
        if self._key is None:
            return
        # compare_digest throughout: the time taken does not tell how much of a guess was right.
        if auth is not None and hmac.compare_digest(auth, self._expected):  # type: ignore[arg-type]
            return
        scheme, _, token = (auth or b"").partition(b" ")
        if not (
            scheme.lower() == AUTH_SCHEME.lower().encode()
            and hmac.compare_digest(token.strip(), self._key)
        ):
            challenge = [(b"www-authenticate", AUTH_SCHEME.encode())]
            raise _Reject(401, "missing or wrong API key", challenge)

    def _client(self, header: bytes | None) -> VelkorClient:
        if header is None:
            raise _Reject(400, f"the {PROJECT_HEADER} header is required")
        client = self._by_header.get(header)
        if client is not None:
            return client
        try:
            project = unquote(header.decode("ascii"), errors="strict")
        except UnicodeDecodeError:
            raise _Reject(400, f"{PROJECT_HEADER} must be percent-encoded UTF-8") from None
        client = self._clients.get(project)
        if client is None:
            raise _Reject(409, f"this server does not serve project {project!r}")
        if len(self._by_header) < 64:  # spellings of served names only, and few of those
            self._by_header[header] = client
        return client

    async def _read_body(self, receive: Callable) -> bytes:
        # The protocol's timer bounds the wait: on expiry it replies 408 and disconnects.
        limits = self._limits
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Gone
        if not message.get("more_body", False):  # the usual case: the body came whole
            body = message.get("body", b"")
            if len(body) > limits.max_body:
                raise _Reject(413, f"request body must be at most {limits.max_body} bytes")
            if self._buffered + len(body) > limits.max_buffered:
                raise _Reject(503, "server busy: too much request data in flight")
            return body
        chunks: list[bytes] = []
        size = 0
        try:
            while True:
                chunk = message.get("body", b"")
                size += len(chunk)
                if size > limits.max_body:
                    raise _Reject(413, f"request body must be at most {limits.max_body} bytes")
                if self._buffered + len(chunk) > limits.max_buffered:
                    raise _Reject(503, "server busy: too much request data in flight")
                self._buffered += len(chunk)
                chunks.append(chunk)
                if not message.get("more_body", False):
                    return b"".join(chunks)
                message = await receive()
                if message["type"] == "http.disconnect":
                    raise _Gone
        finally:
            self._buffered -= sum(map(len, chunks))


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


class _Protocol(HttpToolsProtocol):
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
        raise _Reject(431, "request head too large")  # aborts this parse

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
        body = _error("RequestError", message)
        reason = "Request Timeout" if status == 408 else "Request Header Fields Too Large"
        head = f"HTTP/1.1 {status} {reason}\r\ncontent-type: application/json\r\n"
        head += f"content-length: {len(body)}\r\nconnection: close\r\n\r\n"
        self.transport.write(head.encode() + body)
        self.transport.close()


def _check_api_key(api_key: str | None) -> None:
    if api_key is None:
        return
    if not isinstance(api_key, str):
        raise TypeError(f"api_key must be str or None, got {type(api_key).__name__}")
    if not re.fullmatch(r"[\x21-\x7e]{16,}", api_key):
        raise ValueError("api_key must be at least 16 printable ASCII characters, no spaces")


def _address(host: str, port: int) -> tuple[socket.AddressFamily, Any]:
    infos = socket.getaddrinfo(host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, _, _, _, address = infos[0]
    return family, address


def _is_loopback(address: Any) -> bool:
    try:
        return ipaddress.ip_address(address[0].split("%")[0]).is_loopback
    except ValueError:
        return False


def bind_address(host: str, port: int, api_key: str | None) -> tuple[socket.AddressFamily, Any]:
    """The address to serve, after the key and loopback checks every server makes."""
    _check_api_key(api_key)
    family, address = _address(host, port)
    if api_key is None and not _is_loopback(address):
        raise ValueError(
            f"refusing to serve {address[0]} without an API key: only loopback addresses"
            " may go without one (--api-key or VELKOR_API_KEY)"
        )
    return family, address


def reserve_port(family: socket.AddressFamily, address: Any) -> socket.socket:
    """A socket bound with SO_REUSEPORT but not listening: it holds the port (port 0 picks
    one) for servers started with ``reuse_port=True`` and takes no connections itself."""
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(address)
    except BaseException:
        sock.close()
        raise
    return sock


def url_of(host: str, port: int) -> str:
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


class VelkorServer:
    """The HTTP API of one or more projects, served by uvicorn in a background thread.

    Binding happens in the constructor (so a bad address fails at once); :meth:`start`
    serves, :meth:`close` stops after the requests in flight finish and closes the storages.
    With ``reuse_port`` the socket is bound with SO_REUSEPORT, so servers in several
    processes can listen on one port, the kernel spreading connections between them; each
    reply then carries ``X-Velkor-Pid``, the process that made it.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        project: str | Iterable[str] = "default",
        deny_tools: Iterable[str] = (),
        db: str | None = None,
        api_key: str | None = None,
        limits: ServerLimits | None = None,
        reuse_port: bool = False,
    ) -> None:
        projects = [project] if isinstance(project, str) else list(project)
        if not projects:
            raise ValueError("a server serves at least one project")
        if limits is None:
            limits = ServerLimits()
        elif not isinstance(limits, ServerLimits):
            raise TypeError(f"limits must be ServerLimits, got {type(limits).__name__}")
        family, address = bind_address(host, port, api_key)
        deny = tuple(deny_tools)
        self.limits = limits
        self._clients: dict[str, VelkorClient] = {}
        self._socket = socket.create_server(
            address, family=family, backlog=limits.backlog, reuse_port=reuse_port
        )
        try:
            for name in projects:
                if name in self._clients:
                    raise ValueError(f"project {name!r} is listed twice")
                self._clients[name] = VelkorClient(project=name, deny_tools=deny, path=db)
        except BaseException:
            self._close_storage()
            self._socket.close()
            raise
        self.host, self.port = self._socket.getsockname()[:2]
        # Operations on in-memory storage never wait and, holding the GIL, would gain
        # nothing from threads: they run on the event loop, which saves the hand-over to a
        # worker and back (bench/server_load.py). Durable storage waits on I/O: a pool.
        inline = limits.workers == 0 or all(
            _storage(c).kind == "sqlite-memory" for c in self._clients.values()
        )
        self._pool = (
            None if inline else ThreadPoolExecutor(limits.workers, thread_name_prefix="velkor-op")
        )
        protocol = type("_Protocol", (_Protocol,), {"limits": limits})
        config = uvicorn.Config(
            _App(
                self._clients,
                api_key,
                limits,
                self._pool,
                (b"x-velkor-pid", b"%d" % os.getpid()) if reuse_port else None,
            ),
            http=protocol,
            ws="none",
            lifespan="off",
            log_config=None,
            access_log=False,
            proxy_headers=False,
            server_header=False,
            date_header=False,
            timeout_keep_alive=limits.keep_alive,  # type: ignore[arg-type]
            backlog=limits.backlog,
        )
        config.load()
        self._uvicorn = uvicorn.Server(config)
        self._thread: threading.Thread | None = None
        self._ready = threading.Event()
        self._failure: BaseException | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop: asyncio.Event | None = None
        self._closed = False

    @property
    def projects(self) -> list[str]:
        return list(self._clients)

    @property
    def url(self) -> str:
        return url_of(self.host, self.port)

    def start(self) -> VelkorServer:
        """Serve in a background daemon thread until :meth:`close`."""
        if self._closed:
            raise RuntimeError("the server is closed")
        if self._thread is None:
            self._thread = threading.Thread(
                target=self._serve, name=f"velkor-server-{self.port}", daemon=True
            )
            self._thread.start()
            self._ready.wait()
            if self._failure is not None:
                self._thread.join()
                raise self._failure
        return self

    def _serve(self) -> None:
        factory = uvloop.new_event_loop if uvloop is not None else None
        with asyncio.Runner(loop_factory=factory) as runner:
            runner.run(self._main())

    async def _main(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        server = self._uvicorn
        try:
            server.lifespan = server.config.lifespan_class(server.config)
            await server.startup(sockets=[self._socket])
        except BaseException as exc:
            self._failure = exc
            self._ready.set()
            return
        self._ready.set()
        await self._stop.wait()
        await self._shutdown()

    async def _shutdown(self) -> None:
        # uvicorn's own shutdown, with a shorter poll: tests start and stop many servers.
        server, state = self._uvicorn, self._uvicorn.server_state
        for listener in server.servers:
            listener.close()
        for connection in list(state.connections):
            connection.shutdown()  # idle ones close now, busy ones after their reply
        try:
            async with asyncio.timeout(self.limits.shutdown_timeout):
                while state.connections or state.tasks:
                    await asyncio.sleep(0.01)
        except TimeoutError:
            log.error("shutdown: %d requests still running; cancelled", len(state.tasks))
            for task in state.tasks:
                task.cancel()
            for connection in list(state.connections):
                connection.transport.close()

    def close(self) -> None:
        """Stop accepting, finish requests in flight, then release the pool and storages."""
        if self._closed:
            return
        self._closed = True
        if self._thread is not None:
            if self._loop is not None and self._stop is not None:
                try:
                    self._loop.call_soon_threadsafe(self._stop.set)
                except RuntimeError:
                    pass  # the loop has ended already (a failed start)
            self._thread.join()
        self._socket.close()
        if self._pool is not None:
            self._pool.shutdown(wait=True)
        self._close_storage()

    def _close_storage(self) -> None:
        for client in self._clients.values():
            client.close()

    def __enter__(self) -> VelkorServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    project: str | Iterable[str] = "default",
    deny_tools: Iterable[str] = (),
    db: str | None = None,
    api_key: str | None = None,
    limits: ServerLimits | None = None,
    reuse_port: bool = False,
) -> VelkorServer:
    """Start a server in a background thread and return it; its ``url`` is the base URL.

    ``project`` names the project served, or several; each keeps its own data in ``db``
    (see ``VelkorClient(path=...)``; None keeps it in memory). ``api_key``, when given, is
    required of every request; without one only a loopback ``host`` is allowed. Port 0 takes
    a free port. Stop it with ``close()`` or by using it in a ``with`` block. With
    ``reuse_port``, servers in other processes may listen on the same port (see
    :class:`VelkorServer`); ``python -m velkor_agent_hooks.client serve --processes N``
    starts and supervises such processes.
    """
    server = VelkorServer(
        host,
        port,
        project=project,
        deny_tools=deny_tools,
        db=db,
        api_key=api_key,
        limits=limits,
        reuse_port=reuse_port,
    )
    try:
        return server.start()
    except BaseException:
        server.close()
        raise
