"""A threaded HTTP server in front of an embedded backend; see :func:`serve`."""

from __future__ import annotations

import dataclasses
import json
import threading
from collections.abc import Callable, Iterable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from socketserver import TCPServer
from typing import Any
from urllib.parse import unquote, urlsplit

from . import VelkorClient, __version__
from ._wire import MAX_BODY, PROJECT_HEADER, ROUTES


class _Reject(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


_Route = Callable[[VelkorClient, dict[str, Any]], Any]


def _namespace(value: Any) -> Any:
    # JSON has no tuples; a list of labels on the wire is a namespace tuple.
    return tuple(value) if isinstance(value, list) else value


def _item(item: dict[str, Any] | None) -> dict[str, Any] | None:
    return None if item is None else {**item, "namespace": list(item["namespace"])}


_OPERATIONS: dict[str, _Route] = {
    "context": lambda c, body: dataclasses.asdict(c.context(**body)),
    "remember": lambda c, body: c.remember_turns(**body),
    "gate": lambda c, body: dataclasses.asdict(c.gate(**body)),
    "observe": lambda c, body: c.observe(**body),
    "doctor": lambda c, body: c.doctor(),
    "memories": lambda c, body: {"memories": c.memories()},
    "audit_events": lambda c, body: {"events": c.audit_events()},
    "put_item": lambda c, body: _item(c.put_item(_namespace(body.pop("namespace", None)), **body)),
    "get_item": lambda c, body: {
        "item": _item(c.get_item(_namespace(body.pop("namespace", None)), **body))
    },
    "delete_item": lambda c, body: {
        "deleted": c.delete_item(_namespace(body.pop("namespace", None)), **body)
    },
    "search_items": lambda c, body: {
        "items": [
            _item(i) for i in c.search_items(_namespace(body.pop("namespace_prefix", [])), **body)
        ]
    },
    "list_namespaces": lambda c, body: {
        "namespaces": c.list_namespaces(
            **{k: _namespace(v) if k in ("prefix", "suffix") else v for k, v in body.items()}
        )
    },
}
_ROUTES: dict[str, dict[str, _Route]] = {}
for _name, (_method, _path) in ROUTES.items():
    _ROUTES.setdefault(_path, {})[_method] = _OPERATIONS[_name]


class _Handler(BaseHTTPRequestHandler):
    server: VelkorServer
    protocol_version = "HTTP/1.1"
    server_version = f"Velkor/{__version__}"

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def log_message(self, format: str, *args: Any) -> None:
        pass  # One line per request would drown the console and the test output.

    def _handle(self, method: str) -> None:
        headers: dict[str, str] = {}
        try:
            reply, status = self._dispatch(method, headers), 200
        except _Reject as exc:
            reply, status = _error_reply("RequestError", exc), exc.status
        except (TypeError, ValueError) as exc:
            reply, status = _error_reply(type(exc).__name__, exc), 400
        except Exception as exc:
            reply, status = _error_reply(type(exc).__name__, exc), 500
        body = json.dumps(reply).encode()
        self.send_response(status)
        headers |= {"Content-Type": "application/json", "Content-Length": str(len(body))}
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _dispatch(self, method: str, headers: dict[str, str]) -> dict[str, Any]:
        # Read the body first: closing a socket with unread input would reset the connection.
        body = self._read_body() if method == "POST" else {}
        route = _ROUTES.get(urlsplit(self.path).path)
        if route is None:
            raise _Reject(404, f"no such endpoint: {self.path}")
        if method not in route:
            headers["Allow"] = ", ".join(route)
            raise _Reject(405, f"{self.path} does not accept {method}")
        client = self.server.client
        project = unquote(self.headers.get(PROJECT_HEADER, client.project))
        if project != client.project:
            raise _Reject(409, f"this server serves project {client.project!r}, not {project!r}")
        return route[method](client, body)

    def _read_body(self) -> dict[str, Any]:
        length = int(self.headers.get("Content-Length") or 0)
        if not 0 <= length <= MAX_BODY:
            self.close_connection = True  # the unread body cannot be taken for the next request
            raise _Reject(413, f"request body must be 0 to {MAX_BODY} bytes, not {length}")
        try:
            body = json.loads(self.rfile.read(length))
        except ValueError as exc:
            raise _Reject(400, f"request body is not JSON: {exc}") from None
        if type(body) is not dict:
            raise _Reject(400, "request body must be a JSON object")
        return body


def _error_reply(kind: str, exc: Exception) -> dict[str, Any]:
    return {"error": {"type": kind, "message": str(exc)}}


class VelkorServer(ThreadingHTTPServer):
    """An embedded backend served over HTTP, one thread per connection; see :func:`serve`."""

    daemon_threads = True
    request_queue_size = 128

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        project: str = "default",
        deny_tools: Iterable[str] = (),
        db: str | None = None,
    ) -> None:
        self.client = VelkorClient(project=project, deny_tools=deny_tools, path=db)
        self._thread: threading.Thread | None = None
        super().__init__((host, port), _Handler)

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look the host name up in DNS; nothing here needs it.
        TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"

    def start(self) -> VelkorServer:
        """Serve in a background daemon thread until :meth:`close`."""
        if self._thread is None:
            name = f"velkor-server-{self.server_port}"
            # A short poll keeps close() quick; shutdown waits for the next poll.
            self._thread = threading.Thread(
                target=self.serve_forever, args=(0.05,), name=name, daemon=True
            )
            self._thread.start()
        return self

    def close(self) -> None:
        """Stop serving, wait for the serving thread and close the listening socket."""
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
            self._thread = None
        self.server_close()

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    project: str = "default",
    deny_tools: Iterable[str] = (),
    db: str | None = None,
) -> VelkorServer:
    """Start a server in a background thread and return it; its ``url`` is the base URL.

    ``db`` names the storage (see ``VelkorClient(path=...)``); None keeps it in memory.
    Port 0 takes a free port. Stop it with ``close()`` or by using it in a ``with`` block.
    This is for hosts, examples and tests; the native modules never start a server.
    """
    return VelkorServer(host, port, project=project, deny_tools=deny_tools, db=db).start()
