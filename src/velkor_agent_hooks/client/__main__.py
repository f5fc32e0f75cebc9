"""``python -m velkor_agent_hooks.client serve``: the server's command line."""

from __future__ import annotations

import argparse
import dataclasses
import os
import signal
import sys
import threading
from collections.abc import Sequence

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
    try:
        limits = ServerLimits(
            **{f.name: getattr(args, f.name) for f in dataclasses.fields(ServerLimits)}
        )
        server = VelkorServer(
            args.host,
            args.port,
            project=args.project or ["default"],
            deny_tools=deny,
            db=args.db,
            api_key=args.api_key,
            limits=limits,
        )
    except (OSError, OverflowError, TypeError, ValueError) as exc:
        print(f"error: cannot serve on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
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


if __name__ == "__main__":
    sys.exit(main())
