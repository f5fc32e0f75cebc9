"""The Velkor HTTP server: the service's operations for one or more projects, over uvicorn.

uvicorn parses HTTP (strict framing, keep-alive, graceful shutdown); ``protocol`` adds what
it leaves out: a deadline and a size cap on request heads, a body deadline and size cap;
``app`` authenticates, routes by the operation table, limits operations in flight and runs
them in a bounded pool of threads, whose storage calls block.
"""

from __future__ import annotations

import asyncio
import logging
import os
import socket
import threading
from collections.abc import Iterable, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any

try:
    import uvicorn
except ImportError:  # pragma: no cover - depends on the installation
    uvicorn = None

try:
    import uvloop
except ImportError:  # pragma: no cover
    uvloop = None

from ...client._checks import check_nonempty
from .. import Service, open_service
from ..auth import bind_address
from ..governance.approvals import DEFAULT_TTL
from ..governance.policy import load_policy
from ..memory.embeddings import resolve
from .app import App
from .limits import ServerLimits

__all__ = ["ServerLimits", "VelkorServer", "reserve_port", "serve", "url_of"]

log = logging.getLogger("velkor_agent_hooks.server")


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


def _console(
    wanted: bool,
    services: dict[str, Service],
    api_key: str | None,
    operators: Mapping[str, str] | None,
    limits: ServerLimits,
    pool: ThreadPoolExecutor | None,
) -> Any:
    """The console's pages, when wanted and someone can sign in; operators need jinja2."""
    if not wanted or not (api_key or operators):
        return None
    try:
        from ..console import Console
    except ImportError:
        if operators:
            raise
        return None  # an API key alone does not ask for the console
    return Console(services, api_key, operators or {}, limits, pool)


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
        policy: str | os.PathLike[str] | None = None,
        approval_ttl: float = DEFAULT_TTL,
        memory_ttl: float | None = None,
        operators: Mapping[str, str] | None = None,
        console: bool = True,
        embedder: Any = None,
    ) -> None:
        projects = [project] if isinstance(project, str) else list(project)
        if not projects:
            raise ValueError("a server serves at least one project")
        if limits is None:
            limits = ServerLimits()
        elif not isinstance(limits, ServerLimits):
            raise TypeError(f"limits must be ServerLimits, got {type(limits).__name__}")
        if uvicorn is None:
            raise ImportError(
                "the Velkor server needs uvicorn: pip install 'velkor-agent-hooks[server]'"
            )
        from .protocol import Protocol

        family, address = bind_address(host, port, api_key)
        deny = frozenset(deny_tools)
        loaded = None if policy is None else load_policy(policy)
        # One model for every project served (see ``memory.embeddings.resolve``).
        embedder = resolve(embedder)
        self.limits = limits
        self._services: dict[str, Service] = {}
        self._socket = socket.create_server(
            address, family=family, backlog=limits.backlog, reuse_port=reuse_port
        )
        try:
            for name in projects:
                check_nonempty("project", name)
                if name in self._services:
                    raise ValueError(f"project {name!r} is listed twice")
                self._services[name] = open_service(
                    db, name, deny, loaded, approval_ttl, memory_ttl, embedder
                )
        except BaseException:
            self._close_storage()
            self._socket.close()
            raise
        self.host, self.port = self._socket.getsockname()[:2]
        # Operations on in-memory storage never wait and, holding the GIL, would gain
        # nothing from threads: they run on the event loop, which saves the hand-over to a
        # worker and back (bench/server_load.py). Durable storage waits on I/O: a pool.
        inline = limits.workers == 0 or all(
            s.storage.kind == "sqlite-memory" for s in self._services.values()
        )
        self._pool = (
            None if inline else ThreadPoolExecutor(limits.workers, thread_name_prefix="velkor-op")
        )
        try:
            pages = _console(console, self._services, api_key, operators, limits, self._pool)
        except BaseException:
            if self._pool is not None:
                self._pool.shutdown()
            self._close_storage()
            self._socket.close()
            raise
        self.operators = pages.operators if pages is not None else []
        protocol = type("_Protocol", (Protocol,), {"limits": limits})
        config = uvicorn.Config(
            App(
                self._services,
                api_key,
                limits,
                self._pool,
                (b"x-velkor-pid", b"%d" % os.getpid()) if reuse_port else None,
                pages,
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

    def reload_policy(self, policy: str | os.PathLike[str] | None) -> None:
        """Puts a new policy in force for every project; one that does not load raises and
        leaves the old one in force."""
        loaded = None if policy is None else load_policy(policy)
        for service in self._services.values():
            service.governance.set_policy(loaded)

    @property
    def console_url(self) -> str | None:
        """Where the console is served, or None when it is not."""
        return self.url + "/console" if self.operators else None

    @property
    def projects(self) -> list[str]:
        return list(self._services)

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
        for service in self._services.values():
            service.close()

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
    policy: str | os.PathLike[str] | None = None,
    approval_ttl: float = DEFAULT_TTL,
    memory_ttl: float | None = None,
    operators: Mapping[str, str] | None = None,
    console: bool = True,
    embedder: Any = None,
) -> VelkorServer:
    """Start a server in a background thread and return it; its ``url`` is the base URL.

    ``project`` names the project served, or several; each keeps its own data in ``db``
    (see ``VelkorClient(path=...)``; None keeps it in memory). ``api_key``, when given, is
    required of every request; without one only a loopback ``host`` is allowed. Port 0 takes
    a free port. Stop it with ``close()`` or by using it in a ``with`` block. With
    ``reuse_port``, servers in other processes may listen on the same port (see
    :class:`VelkorServer`); ``velkor serve --processes N``
    starts and supervises such processes. The console is served at ``/console`` to the
    ``operators`` (name -> key) and the API key's holder, ``admin``; ``console=False`` turns
    it off.
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
        policy=policy,
        approval_ttl=approval_ttl,
        memory_ttl=memory_ttl,
        operators=operators,
        console=console,
        embedder=embedder,
    )
    try:
        return server.start()
    except BaseException:
        server.close()
        raise
