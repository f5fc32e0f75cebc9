"""The remote backend: each operation as a JSON request to a Velkor server.

Connections are kept alive and pooled per client. ``timeout`` bounds a whole call: every
socket wait gets only what is left of it, so a server trickling bytes cannot stretch a call.
A request goes out in one write, its head built from bytes prepared when the client is made;
``http.client`` reads the reply.
"""

from __future__ import annotations

import http.client
import json
import math
import re
import select
import socket
import ssl
import threading
import time
import weakref
from typing import Any
from urllib.parse import quote, urlencode, urlsplit

from ._operations import Operation, page_rows
from ._types import VelkorConnectionError, VelkorHTTPError, VelkorProtocolError, VelkorTimeout
from ._wire import AUTH_SCHEME, MAX_REPLY, MAX_REPLY_DEPTH, PROJECT_HEADER, too_deep

POOL_SIZE = 8  # idle connections a client keeps
PAGE_SIZE = 500  # rows asked for per listing request


class _Deadline:
    """Gives every blocking socket call only the time left until ``deadline``."""

    deadline = math.inf
    received = 0

    def _arm(self) -> None:
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("deadline passed")
        self.settimeout(left)  # type: ignore[attr-defined]

    def recv_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> int:
        self._arm()
        count = super().recv_into(buffer, nbytes, flags)  # type: ignore[misc]
        self.received += count
        return count

    def sendall(self, data: Any, flags: int = 0) -> None:
        self._arm()
        super().sendall(data, flags)  # type: ignore[misc]


class _DeadlineSocket(_Deadline, socket.socket):
    pass


class _DeadlineSSLSocket(_Deadline, ssl.SSLSocket):
    pass


def _open_socket(address: tuple[str, int], deadline: float) -> _DeadlineSocket:
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError("deadline passed")
    raw = socket.create_connection(address, timeout=left)
    sock = _DeadlineSocket(fileno=raw.detach())
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def _open_tls(address: tuple[str, int], deadline: float) -> _DeadlineSSLSocket:
    context = ssl.create_default_context()
    context.sslsocket_class = _DeadlineSSLSocket
    sock = _open_socket(address, deadline)
    try:
        sock.settimeout(max(deadline - time.monotonic(), 1e-3))
        return context.wrap_socket(sock, server_hostname=address[0])  # type: ignore[return-value]
    except BaseException:
        sock.close()
        raise


def _readable(sock: socket.socket) -> bool:
    # An idle kept-alive connection with something to read was closed by the server (or
    # holds junk): either way it cannot carry the next request.
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(0))


# What http.client refuses in a request target or a header value: controls and spaces.
_UNSAFE = re.compile(r"[\x00-\x20\x7f]")


class _Pool:
    """Idle kept-alive connections of one client, most recently used first."""

    def __init__(self, factory: Any) -> None:
        self.factory = factory
        self._idle: list[Any] = []
        self._lock = threading.Lock()
        self._closed = False

    def take(self, deadline: float) -> tuple[Any, bool]:
        """A connection, and whether it was used before."""
        while True:
            with self._lock:
                sock = self._idle.pop() if self._idle else None
            if sock is None:
                return self.factory(deadline), False
            if sock.fileno() >= 0 and not _readable(sock):
                return sock, True
            sock.close()

    def give(self, conn: Any) -> None:
        with self._lock:
            if not self._closed and len(self._idle) < POOL_SIZE:
                self._idle.append(conn)
                return
        conn.close()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for conn in idle:
            conn.close()


class _Unsent(Exception):
    """The request failed in a way that proves the server never processed it."""


class HttpBackend:
    """Each operation sent to a Velkor server. Arguments arrive checked."""

    kind = "http"

    def __init__(
        self, base_url: str, project: str, timeout: float, api_key: str | None = None
    ) -> None:
        parts = urlsplit(base_url)
        if parts.scheme not in ("http", "https") or not parts.hostname or parts.query:
            raise ValueError(f"base_url must be http(s)://host[:port][/path], got {base_url!r}")
        port = parts.port  # ValueError for a port that is not a number in range
        tls = parts.scheme == "https"
        default_port = 443 if tls else 80
        host = parts.hostname
        address = (host, default_port if port is None else port)
        opener = _open_tls if tls else _open_socket
        self._pool = _Pool(lambda deadline: opener(address, deadline))
        # Idle connections are the pool's business: a client dropped unclosed closes them.
        weakref.finalize(self, self._pool.close)
        self._prefix = parts.path.rstrip("/")
        if _UNSAFE.search(self._prefix):
            raise ValueError(f"base_url path holds a space or control character: {base_url!r}")
        if api_key and _UNSAFE.search(api_key):
            raise ValueError("api_key holds a space or control character")
        self._timeout = timeout
        self._headers = {"Accept": "application/json", PROJECT_HEADER: quote(project)}
        if api_key:
            self._headers["Authorization"] = f"{AUTH_SCHEME} {api_key}"
        # Every request's head after its request line, as http.client would write it.
        try:
            netloc = host.encode("ascii").decode()
        except UnicodeEncodeError:
            netloc = host.encode("idna").decode("ascii")
        if ":" in netloc:
            netloc = f"[{netloc}]"
        if port is not None and port != default_port:
            netloc += f":{port}"
        lines = [f"Host: {netloc}", "Accept-Encoding: identity"]
        lines += [f"{name}: {value}" for name, value in self._headers.items()]
        self._head = ("\r\n".join(lines) + "\r\n").encode("latin-1")

    def _call(
        self,
        op: Operation,
        payload: dict[str, Any] | None = None,
        *,
        query: str = "",
        deadline: float | None = None,
    ) -> dict:
        method, path = op.method, op.path
        where = f"{method} {path}"
        head = b"%s %s%s%s HTTP/1.1\r\n%s" % (
            method.encode(),
            self._prefix.encode(),
            path.encode(),
            query.encode(),
            self._head,
        )
        if payload is None:
            request = head + b"\r\n"
        else:
            # Serialise first: a value JSON cannot carry fails before any connection is made.
            body = json.dumps(payload).encode()
            request = b"%sContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s" % (
                head,
                len(body),
                body,
            )
        if deadline is None:
            deadline = time.monotonic() + self._timeout
        try:
            try:
                status, data = self._exchange(where, method, request, deadline)
            except _Unsent:
                # A kept-alive connection the server had closed: once more on a fresh one.
                status, data = self._exchange(where, method, request, deadline, fresh=True)
        except TimeoutError as exc:
            raise VelkorTimeout(f"{where}: no reply within {self._timeout:g} s") from exc
        except ConnectionError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        except http.client.HTTPException as exc:
            raise VelkorProtocolError(f"{where}: malformed HTTP reply: {exc!r}") from exc
        except ssl.SSLError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        except OSError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        reply = _parse(data, where)
        if status != 200:
            error = reply.get("error") if isinstance(reply, dict) else None
            if isinstance(error, dict) and isinstance(error.get("message"), str):
                raise VelkorHTTPError(status, error["message"], str(error.get("type") or ""))
            text = data.decode("utf-8", "replace").strip()[:200]
            raise VelkorHTTPError(status, text or http.client.responses.get(status, "error"))
        if type(reply) is not dict:
            raise VelkorProtocolError(f"{where}: reply is not a JSON object")
        return reply

    def _exchange(
        self, where: str, method: str, request: bytes, deadline: float, fresh: bool = False
    ) -> tuple[int, bytes]:
        """One request and its reply; returns (status, body bytes)."""
        if fresh:
            sock, reused = self._pool.factory(deadline), False
        else:
            sock, reused = self._pool.take(deadline)
        sock.deadline, sock.received = deadline, 0
        done = False
        response = None
        try:
            try:
                sock.sendall(request)
            except (BrokenPipeError, ConnectionResetError) as exc:
                # The whole request never left: the server cannot have acted on it.
                if reused:
                    raise _Unsent from exc
                raise
            response = http.client.HTTPResponse(sock, method=method)  # type: ignore[arg-type]
            try:
                response.begin()
            except ConnectionResetError as exc:
                # A reset with no reply byte means the server dropped the connection without
                # reading the request; a clean close may follow a request it did read, so
                # only a GET, which changes nothing, is sent again.
                unsent = not isinstance(exc, http.client.RemoteDisconnected) or method == "GET"
                if reused and sock.received == 0 and unsent:
                    raise _Unsent from exc
                raise
            over = VelkorProtocolError(f"{where}: reply is over {MAX_REPLY} bytes")
            if response.length is None:  # chunked, or up to the close
                data = response.read(MAX_REPLY + 1)
                if len(data) > MAX_REPLY:
                    raise over
            elif response.length <= MAX_REPLY:
                data = response.read()  # IncompleteRead if the server stops short
            else:
                raise over
            done = response.isclosed() and not response.will_close
            return response.status, data
        finally:
            if done:
                self._pool.give(sock)
            else:
                if response is not None:
                    response.close()  # its file holds the descriptor open too
                sock.close()

    def call(self, op: Operation, args: dict[str, Any]) -> Any:
        if op.page_key is not None:
            return self._listing(op, args)
        if op.method == "GET":
            reply = self._call(op, query=_query(args))
        else:
            reply = self._call(op, op.to_wire(args))
        return op.decode(reply, args, op.name)

    def _listing(self, op: Operation, args: dict[str, Any]) -> list[dict[str, Any]]:
        # Page after page, under one deadline for the whole listing.
        deadline = time.monotonic() + self._timeout
        rows: list[dict[str, Any]] = []
        offset: int | None = 0
        while offset is not None:
            query = _query({**args, "limit": PAGE_SIZE, "offset": offset})
            reply = self._call(op, query=query, deadline=deadline)
            rows += page_rows(op, reply, op.name)
            following = reply.get("next_offset")
            if following is not None and (type(following) is not int or following <= offset):
                raise VelkorProtocolError(f"{op.name}: bad next_offset {following!r}")
            offset = following
        return rows

    def close(self) -> None:
        self._pool.close()


def _parse(data: bytes, where: str) -> Any:
    """The reply's JSON, or None when it is not JSON; a nest too deep is a protocol error."""
    try:
        reply = json.loads(data)
    except RecursionError:
        raise VelkorProtocolError(f"{where}: reply is nested too deeply") from None
    except ValueError:
        return None
    if too_deep(data, reply, MAX_REPLY_DEPTH):
        raise VelkorProtocolError(f"{where}: reply is nested more than {MAX_REPLY_DEPTH} deep")
    return reply


def _query(args: dict[str, Any]) -> str:
    present = {name: value for name, value in args.items() if value is not None}
    return "?" + urlencode(present) if present else ""
