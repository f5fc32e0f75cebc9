"""``python -m velkor_agent_hooks.client serve``: the server's command line.

``--processes N`` (N > 1) forks N server processes that listen on one port with SO_REUSEPORT,
the kernel spreading connections between them; the parent only holds the port and
supervises. SIGTERM or SIGINT to the parent stops every process after its requests in
flight. A process that dies on its own is reported, the others are stopped, and the parent
exits 1: restarting is left to whatever runs the parent (systemd ``Restart=on-failure``), so
a process that keeps failing (its database gone) does not go round unseen.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Sequence

from ._storage import MEMORY, default_server_db
from ._wire import ENV_VARS

_LIMIT_HELP = {
    "max_concurrency": "operations queued or running; more are answered 503",
    "workers": "threads running operations",
    "keep_alive": "seconds an idle kept-alive connection stays open",
    "header_timeout": "seconds allowed for a request's line and headers",
    "body_timeout": "seconds allowed for a request's body",
    "max_body": "bytes in one request body",
    "max_header_bytes": "bytes in one request's line and headers",
    "max_buffered": "request-body bytes held across all connections",
    "max_turns": "turns in one remember request",
    "max_page": "rows in one page of /v1/memories or /v1/audit-events",
    "max_depth": "nesting depth of a request body",
    "shutdown_timeout": "seconds a stop waits for requests in flight",
    "backlog": "connections queued by the kernel before they are accepted",
}


def main(argv: Sequence[str] | None = None) -> int:
    try:
        from ._server import ServerLimits, VelkorServer
    except ImportError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    parser = argparse.ArgumentParser(prog="python -m velkor_agent_hooks.client")
    commands = parser.add_subparsers(dest="command", required=True)
    cmd = commands.add_parser("serve", help="serve the Velkor API over HTTP")
    cmd.add_argument("--host", default="127.0.0.1", help="address to bind (%(default)s)")
    cmd.add_argument("--port", type=int, default=8787, help="port; 0 picks a free one")
    cmd.add_argument(
        "--project",
        action="append",
        help="a project served; repeat for several (default: default)",
    )
    cmd.add_argument("--deny-tools", default="", help="comma-separated tools to deny")
    cmd.add_argument(
        "--db",
        default=os.environ.get(ENV_VARS["path"]) or default_server_db(),
        help=f"SQLite file, postgresql:// URL, or {MEMORY} (default: $VELKOR_DB, else %(default)s)",
    )
    cmd.add_argument(
        "--api-key",
        default=os.environ.get(ENV_VARS["api_key"]) or None,
        help="key every request must send as 'Authorization: Bearer <key>' (default:"
        " $VELKOR_API_KEY; prefer the variable, arguments show in process lists)",
    )
    cmd.add_argument(
        "--processes",
        type=int,
        default=1,
        help="server processes sharing the port; over 1 needs a file or PostgreSQL --db (1)",
    )
    defaults = ServerLimits()
    for field in dataclasses.fields(ServerLimits):
        default = getattr(defaults, field.name)
        cmd.add_argument(
            "--" + field.name.replace("_", "-"),
            type=type(default),
            default=default,
            help=f"{_LIMIT_HELP[field.name]} (%(default)s)",
        )
    args = parser.parse_args(argv)
    deny = [name.strip() for name in args.deny_tools.split(",") if name.strip()]
    if args.processes < 1:
        print(f"error: --processes must be at least 1, not {args.processes}", file=sys.stderr)
        return 1
    if args.processes > 1 and args.db == MEMORY:
        print(
            f"error: --processes {args.processes} needs a database the processes share"
            f" (--db a SQLite file or a postgresql:// URL): with {MEMORY} each process would"
            " keep data of its own, and a client would see whichever it reached",
            file=sys.stderr,
        )
        return 1
    try:
        limits = ServerLimits(
            **{f.name: getattr(args, f.name) for f in dataclasses.fields(ServerLimits)}
        )

        def make(port: int = args.port, reuse_port: bool = False) -> VelkorServer:
            return VelkorServer(
                args.host,
                port,
                project=args.project or ["default"],
                deny_tools=deny,
                db=args.db,
                api_key=args.api_key,
                limits=limits,
                reuse_port=reuse_port,
            )

        if args.processes > 1:
            from ._server import bind_address, reserve_port

            reserved = reserve_port(*bind_address(args.host, args.port, args.api_key))
        else:
            server = make()
    except (OSError, OverflowError, TypeError, ValueError) as exc:
        print(f"error: cannot serve on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    if args.processes > 1:
        with reserved:
            return _supervise(reserved, args.processes, make, limits.shutdown_timeout)
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    with server:
        server.start()
        print(f"Velkor server listening on {server.url}", flush=True)
        while not stop.wait(1.0):
            pass
        print("stopping: finishing requests in flight", flush=True)
    print("stopped", flush=True)
    return 0


def _child(make: Callable[..., object], port: int, ready: int, parent: int) -> int:
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent passes a Ctrl-C on as SIGTERM
    signal.pthread_sigmask(signal.SIG_UNBLOCK, (signal.SIGTERM, signal.SIGINT))
    try:
        server = make(port, reuse_port=True)
        server.start()  # type: ignore[attr-defined]
    except Exception as exc:
        print(f"error: server process {os.getpid()} cannot serve: {exc}", file=sys.stderr)
        return 1
    with server:  # type: ignore[attr-defined]
        os.write(ready, b"1")
        os.close(ready)
        while not stop.wait(0.5):
            if os.getppid() != parent:  # the supervisor was killed: do not linger
                break
    return 0


def _describe(status: int) -> str:
    code = os.waitstatus_to_exitcode(status)
    return f"was killed by signal {-code}" if code < 0 else f"exited with status {code}"


def _supervise(
    reserved: socket.socket, processes: int, make: Callable[..., object], grace: float
) -> int:
    from ._server import url_of

    host, port = reserved.getsockname()[:2]
    stop = threading.Event()
    signals = (signal.SIGTERM, signal.SIGINT)
    # Blocked across the forks, so a signal reaches a child only once its handler is set.
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    for signum in signals:
        signal.signal(signum, lambda *_: stop.set())
    sys.stdout.flush()
    sys.stderr.flush()
    children: dict[int, int] = {}  # pid -> read end of its ready pipe
    parent = os.getpid()
    for _ in range(processes):
        ready_read, ready_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(ready_read)
            for fd in children.values():
                os.close(fd)
            reserved.close()
            code = 1
            try:
                code = _child(make, port, ready_write, parent)
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(code)
        os.close(ready_write)
        children[pid] = ready_read
    signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)
    failed = False
    for ready_read in children.values():
        started = os.read(ready_read, 1) == b"1"  # nothing: it failed and exited
        os.close(ready_read)
        failed = failed or not started
    alive = set(children)
    if not failed:
        pids = ", ".join(map(str, alive))
        print(f"Velkor server listening on {url_of(host, port)} (processes {pids})", flush=True)
    while not failed and not stop.is_set():
        pid, status = os.waitpid(-1, os.WNOHANG)
        if pid:
            alive.discard(pid)
            print(f"error: server process {pid} {_describe(status)}", file=sys.stderr)
            failed = True
        else:
            time.sleep(0.1)
    print("stopping: finishing requests in flight", flush=True)
    for pid in alive:
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace + 5.0
    while alive:
        for pid in list(alive):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                alive.discard(pid)
                if os.waitstatus_to_exitcode(status) != 0:
                    print(f"error: server process {pid} {_describe(status)}", file=sys.stderr)
                    failed = True
        if alive and time.monotonic() > deadline:
            for pid in alive:
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.02)
    print("stopped", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
