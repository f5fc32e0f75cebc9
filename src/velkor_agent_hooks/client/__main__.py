"""``python -m velkor_agent_hooks.client serve``: the local server's command line."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Sequence

from ._server import VelkorServer
from ._storage import MEMORY, default_server_db


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velkor_agent_hooks.client")
    commands = parser.add_subparsers(dest="command", required=True)
    serve_cmd = commands.add_parser("serve", help="serve the Velkor API over HTTP")
    serve_cmd.add_argument("--host", default="127.0.0.1", help="address to bind (127.0.0.1)")
    serve_cmd.add_argument("--port", type=int, default=8787, help="port; 0 picks a free one")
    serve_cmd.add_argument("--project", default="default", help="project served (default)")
    serve_cmd.add_argument("--deny-tools", default="", help="comma-separated tools to deny")
    serve_cmd.add_argument(
        "--db",
        default=os.environ.get("VELKOR_DB") or default_server_db(),
        help=f"SQLite file, postgresql:// URL, or {MEMORY} (default: $VELKOR_DB, else %(default)s)",
    )
    args = parser.parse_args(argv)
    deny = [name.strip() for name in args.deny_tools.split(",") if name.strip()]
    try:
        server = VelkorServer(
            args.host, args.port, project=args.project, deny_tools=deny, db=args.db
        )
    except (OSError, OverflowError, ValueError) as exc:
        print(f"error: cannot serve on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    with server:
        print(f"Velkor server listening on {server.url}", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
