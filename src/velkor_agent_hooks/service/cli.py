"""The ``velkor`` command: serve, inspect and maintain the service.

Errors are one line on stderr; the exit status is 2 for a usage error, 1 for a failure.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import pathlib
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from ..client._wire import ENV_VARS
from .storage import MEMORY, default_server_db

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


class Failure(Exception):
    """A command that could not do its job; its message is the one line printed."""


def _db_default() -> str:
    return os.environ.get(ENV_VARS["path"]) or default_server_db()


def _add_db(cmd: argparse.ArgumentParser) -> None:
    cmd.add_argument(
        "--db",
        default=None,
        help=f"SQLite file, postgresql:// URL, or {MEMORY} (default: $VELKOR_DB, else"
        f" {default_server_db()})",
    )


def _add_target(cmd: argparse.ArgumentParser) -> None:
    """--db for a local database, or --url for a server (key from $VELKOR_API_KEY)."""
    _add_db(cmd)
    cmd.add_argument("--url", default=None, help="a Velkor server's base URL instead of --db")
    cmd.add_argument("--project", default="default", help="the project (%(default)s)")


def _client(args: argparse.Namespace) -> Any:
    from ..client import VelkorClient

    if args.url and args.db:
        raise Failure("give --db or --url, not both")
    if args.url:
        key = os.environ.get(ENV_VARS["api_key"]) or None
        return VelkorClient(base_url=args.url, project=args.project, api_key=key)
    return VelkorClient(path=args.db or _db_default(), project=args.project)


def _json_lines(rows: Iterable[dict[str, Any]]) -> None:
    for row in rows:
        sys.stdout.write(json.dumps(row, ensure_ascii=False) + "\n")


def _shorten(text: str, width: int = 72) -> str:
    text = " ".join(text.split())
    return text if len(text) <= width else text[: width - 1] + "…"


def cmd_doctor(args: argparse.Namespace) -> int:
    with _client(args) as client:
        print(json.dumps(client.doctor(), indent=2))
    return 0


def cmd_migrate(args: argparse.Namespace) -> int:
    from .storage import open_storage
    from .storage.migrations import LATEST

    path = args.db or _db_default()
    storage = open_storage(None if path == MEMORY else path, "default")
    try:
        found = storage.schema_found
    finally:
        storage.close()
    if found == LATEST:
        print(f"{path}: schema version {LATEST}, up to date")
    elif found == 0:
        print(f"{path}: created at schema version {LATEST}")
    else:
        print(f"{path}: upgraded from schema version {found} to {LATEST}")
    return 0


def cmd_memories(args: argparse.Namespace) -> int:
    with _client(args) as client:
        rows = client.memories()
    if args.action == "export":
        _json_lines(rows)
        return 0
    for row in rows[-args.limit :]:
        print(f"{row['id']}  {row['session_id']}  {row['role']}  {_shorten(row['text'])}")
    return 0


def cmd_forget(args: argparse.Namespace) -> int:
    with _client(args) as client:
        erased = client.forget(args.memory_id, session_id=args.session, user_id=args.user)
    print(f"forgot {erased} memories")
    return 0


def cmd_reembed(args: argparse.Namespace) -> int:
    from .memory import reembed
    from .memory.embeddings import resolve
    from .storage import open_storage

    embedder = resolve(args.embedder)
    assert embedder is not None
    path = args.db or _db_default()
    storage = open_storage(None if path == MEMORY else path, args.project)
    try:
        why = storage.vector_support()
        if why is not None:
            raise Failure(f"embeddings need vector search, which {why}")
        done = reembed(storage, embedder)
    finally:
        storage.close()
    print(
        f"{args.project}: {done['embedded']} memories embedded with {done['model']}"
        + (f" ({done['dropped']} vectors of the previous model erased)" if done["dropped"] else "")
    )
    return 0


def cmd_audit(args: argparse.Namespace) -> int:
    with _client(args) as client:
        rows = client.audit_events()
    if args.action == "export":
        _json_lines(rows)
        return 0
    for row in rows[-args.limit :]:
        outcome = row.get("outcome") or row.get("outcome_status") or ""
        print(
            f"{row.get('recorded_at', '')}  {row.get('kind', '')}  {row.get('tool_name', '')}"
            f"  {outcome}  {row.get('agent_id', '')}  {row.get('trace_id', '')}"
        )
    return 0


def cmd_audit_verify(args: argparse.Namespace) -> int:
    with _client(args) as client:
        result = client.verify_audit()
    print(json.dumps(result))
    return 0 if result["ok"] else 1


def cmd_policy(args: argparse.Namespace) -> int:
    from .governance import policy

    if args.action == "check":
        code, text = policy.cli_check(args.file)
    else:
        context = {name: getattr(args, name) for name in ("session_id",) if getattr(args, name)}
        code, text = policy.cli_test(
            args.file, tool=args.tool, agent=args.agent, input_json=args.input, **context
        )
    print(text, file=sys.stdout if code != 2 else sys.stderr)
    return code


def cmd_approvals(args: argparse.Namespace) -> int:
    with _client(args) as client:
        if args.action == "list":
            for row in client.approvals(args.status):
                print(
                    f"{row['id']}  {row['status']}  {row['tool_name']}  {row['agent_id']}"
                    f"  {_shorten(json.dumps(row['tool_input']), 40)}  {row['reason']}"
                )
            return 0
        decided = client.decide_approval(
            args.approval_id, args.action == "approve", by=args.by, note=args.note
        )
    print(f"{decided['id']}: {decided['status']} by {decided['decided_by']}")
    return 0


def _add_serve(commands: Any) -> None:
    from .server import ServerLimits

    cmd = commands.add_parser(
        "serve",
        help="serve the Velkor API over HTTP",
        description="Serve the Velkor API over HTTP.",
    )
    cmd.add_argument("--host", default="127.0.0.1", help="address to bind (%(default)s)")
    cmd.add_argument("--port", type=int, default=8787, help="port; 0 picks a free one")
    cmd.add_argument(
        "--project",
        action="append",
        help="a project served; repeat for several (default: default)",
    )
    cmd.add_argument("--deny-tools", default="", help="comma-separated tools to deny")
    _add_db(cmd)
    cmd.add_argument(
        "--api-key",
        default=os.environ.get(ENV_VARS["api_key"]) or None,
        help="key every request must send as 'Authorization: Bearer <key>' (default:"
        " $VELKOR_API_KEY; prefer the variable, arguments show in process lists)",
    )
    _add_operators(cmd)
    cmd.add_argument(
        "--no-console", action="store_true", help="do not serve the console at /console"
    )
    cmd.add_argument(
        "--processes",
        type=int,
        default=1,
        help="server processes sharing the port; over 1 needs a file or PostgreSQL --db (1)",
    )
    cmd.add_argument(
        "--policy",
        default=os.environ.get(ENV_VARS["policy"]) or None,
        help="Cedar policy file every gate is decided by; SIGHUP reloads it (default:"
        " $VELKOR_POLICY)",
    )
    cmd.add_argument(
        "--embedder",
        default=None,
        help="embed memories with this model (e.g. wordllama) or module:attribute, a callable"
        " or LangChain Embeddings; the embeddings extra (default: words only)",
    )
    cmd.add_argument(
        "--memory-ttl",
        type=float,
        default=None,
        help="seconds a memory is kept unless remember gives its own ttl (default: forever)",
    )
    cmd.add_argument(
        "--approval-ttl",
        type=float,
        default=3600.0,
        help="seconds an approval may wait for a person before it expires (%(default)s)",
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
    cmd.set_defaults(run=cmd_serve)


OPERATORS_VAR = "VELKOR_OPERATORS"


def _add_operators(cmd: argparse.ArgumentParser) -> None:
    cmd.add_argument(
        "--operator",
        action="append",
        default=[],
        metavar="NAME=KEY",
        help="a person who may sign in to the console, and their key; repeat for several"
        f" (also ${OPERATORS_VAR}, NAME=KEY pairs separated by spaces; prefer it)",
    )


def _operators(args: argparse.Namespace) -> dict[str, str]:
    pairs = os.environ.get(OPERATORS_VAR, "").split() + list(args.operator)
    operators: dict[str, str] = {}
    for pair in pairs:
        name, equals, key = pair.partition("=")
        if not equals or not name or not key:
            raise Failure(f"an operator is given as NAME=KEY, not {pair.split('=')[0]!r}=...")
        if name in operators:
            raise Failure(f"operator {name!r} is given twice")
        operators[name] = key
    return operators


def _one_time_operator(args: argparse.Namespace, operators: dict[str, str]) -> str | None:
    """With nobody to sign in to the console, a key for this run only, for 'local'."""
    import importlib.util
    import secrets

    if operators or getattr(args, "api_key", None) or importlib.util.find_spec("jinja2") is None:
        return None
    key = secrets.token_urlsafe(24)
    operators["local"] = key
    return key


def _announce_console(url: str, key: str | None) -> None:
    if key is not None:
        print(f"console: {url}/console, sign in with this run's key {key}", file=sys.stderr)


def cmd_serve(args: argparse.Namespace) -> int:
    from .governance.policy import PolicyError
    from .server import ServerLimits, VelkorServer, reserve_port, url_of
    from .server.supervisor import say, supervise

    db = args.db or _db_default()
    deny = [name.strip() for name in args.deny_tools.split(",") if name.strip()]
    policy = pathlib.Path(args.policy) if args.policy else None
    if args.processes < 1:
        raise Failure(f"--processes must be at least 1, not {args.processes}")
    if args.processes > 1 and db == MEMORY:
        raise Failure(
            f"--processes {args.processes} needs a database the processes share"
            f" (--db a SQLite file or a postgresql:// URL): with {MEMORY} each process would"
            " keep data of its own, and a client would see whichever it reached"
        )
    operators = _operators(args)
    one_time = None if args.no_console else _one_time_operator(args, operators)
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
                db=db,
                api_key=args.api_key,
                limits=limits,
                reuse_port=reuse_port,
                policy=policy,
                approval_ttl=args.approval_ttl,
                memory_ttl=args.memory_ttl,
                embedder=args.embedder,
                operators=operators,
                console=not args.no_console,
            )

        if args.processes > 1:
            from .auth import bind_address

            reserved = reserve_port(*bind_address(args.host, args.port, args.api_key))
        else:
            server = make()
    except PolicyError as exc:
        raise Failure(f"policy refused: {exc}") from None
    except (OSError, OverflowError, TypeError, ValueError) as exc:
        raise Failure(f"cannot serve on {args.host}:{args.port}: {exc}") from None

    def reload(server: Any) -> None:
        if policy is None:
            return
        try:
            server.reload_policy(policy)
        except (OSError, ValueError) as exc:
            first = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            say(f"error: policy not reloaded, the old one stays in force: {first}", sys.stderr)
        else:
            say(f"policy reloaded from {policy}")

    if args.processes > 1:
        _announce_console(url_of(*reserved.getsockname()[:2]), one_time)
        with reserved:
            return supervise(reserved, args.processes, make, limits.shutdown_timeout, reload)
    stop = threading.Event()
    hup = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    signal.signal(signal.SIGHUP, lambda *_: hup.set())
    with server:
        server.start()
        print(f"Velkor server listening on {url_of(server.host, server.port)}", flush=True)
        _announce_console(server.url, one_time)
        while not stop.wait(0.2):
            if hup.is_set():
                hup.clear()
                reload(server)
        print("stopping: finishing requests in flight", flush=True)
    print("stopped", flush=True)
    return 0


def _add_console(commands: Any) -> None:
    cmd = commands.add_parser(
        "console",
        help="serve the console over a local database, on loopback",
        description="Serve the console (and the API) over a local database on 127.0.0.1.",
    )
    _add_db(cmd)
    cmd.add_argument("--port", type=int, default=8788, help="port; 0 picks a free one (8788)")
    cmd.add_argument(
        "--project", action="append", help="a project shown; repeat for several (default)"
    )
    cmd.add_argument(
        "--policy",
        default=os.environ.get(ENV_VARS["policy"]) or None,
        help="the Cedar policy file in force (default: $VELKOR_POLICY)",
    )
    _add_operators(cmd)
    cmd.set_defaults(run=cmd_console)


def cmd_console(args: argparse.Namespace) -> int:
    from .server import VelkorServer

    operators = _operators(args)
    one_time = _one_time_operator(args, operators)
    if not operators:
        raise Failure("the console needs jinja2: pip install 'velkor-agent-hooks[console]'")
    try:
        server = VelkorServer(
            "127.0.0.1",
            args.port,
            project=args.project or ["default"],
            db=args.db or _db_default(),
            policy=pathlib.Path(args.policy) if args.policy else None,
            operators=operators,
        )
    except (OSError, OverflowError, TypeError, ValueError) as exc:
        raise Failure(f"cannot serve the console on port {args.port}: {exc}") from None
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    with server:
        server.start()
        print(f"Velkor console on {server.console_url}", flush=True)
        _announce_console(server.url, one_time)
        stop.wait()
    return 0


def _listing(commands: Any, name: str, what: str, run: Callable[..., int]) -> Any:
    cmd = commands.add_parser(name, help=f"list or export the {what}", description=f"The {what}.")
    actions = cmd.add_subparsers(dest="action", required=True)
    shown = actions.add_parser(
        "list", help=f"the newest {what}, one line each", description=f"The newest {what}."
    )
    shown.add_argument("--limit", type=int, default=20, help="how many (%(default)s)")
    exported = actions.add_parser(
        "export", help=f"every one of the {what} as JSON lines", description=f"All the {what}."
    )
    for sub in (shown, exported):
        _add_target(sub)
        sub.set_defaults(run=run)
    return actions


def parser(prog: str = "velkor") -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=prog,
        description="Serve, inspect and maintain the Velkor memory and governance service.",
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_serve(commands)
    _add_console(commands)
    doctor = commands.add_parser(
        "doctor",
        help="check a database or server and print its state",
        description="Check a database or server and print its state as JSON.",
    )
    _add_target(doctor)
    doctor.set_defaults(run=cmd_doctor)
    migrate = commands.add_parser(
        "migrate",
        help="bring a database's schema up to this release",
        description="Bring a database's schema up to this release (opening it does the same).",
    )
    _add_db(migrate)
    migrate.set_defaults(run=cmd_migrate)
    memories = _listing(commands, "memories", "stored memories", cmd_memories)
    forget = memories.add_parser(
        "forget",
        help="erase a session's or a user's memories from every index",
        description="Erase every memory of a session or a user; recorded in the audit.",
    )
    which = forget.add_mutually_exclusive_group(required=True)
    which.add_argument("--session", help="the session whose memories go")
    which.add_argument("--user", help="the user whose memories go")
    which.add_argument("--id", dest="memory_id", help="one memory")
    _add_target(forget)
    forget.set_defaults(run=cmd_forget)
    again = memories.add_parser(
        "reembed",
        help="embed a project's memories with a model, all of them if it is a new one",
        description="Embed a project's memories with --embedder: those without a vector, or"
        " all of them when the project's memories were embedded with another model (whose"
        " vectors are erased first). Run it again after an interruption.",
    )
    again.add_argument("--embedder", required=True, help="a model name or module:attribute")
    _add_db(again)
    again.add_argument("--project", default="default", help="the project (%(default)s)")
    again.set_defaults(run=cmd_reembed)
    audit = _listing(commands, "audit", "audit events", cmd_audit)
    verify = audit.add_parser(
        "verify",
        help="check the audit's hash chain; status 1 if an event was changed",
        description="Check that no audit event was edited, deleted, inserted or reordered.",
    )
    _add_target(verify)
    verify.set_defaults(run=cmd_audit_verify)
    _add_policy(commands)
    _add_approvals(commands)
    _add_hermes(commands)
    return top


def _add_policy(commands: Any) -> None:
    cmd = commands.add_parser(
        "policy", help="check or try out a Cedar policy file", description="Cedar policy files."
    )
    actions = cmd.add_subparsers(dest="action", required=True, metavar="{check,test}")
    check = actions.add_parser(
        "check",
        help="validate a policy file; problems with file and line",
        description="Validate a policy file against the request shape; problems with file:line.",
    )
    test = actions.add_parser(
        "test",
        help="decide one tool call by a policy file",
        description="Decide one tool call by a policy file: the outcome, policies and reason.",
    )
    test.add_argument("--tool", required=True, help="the tool's name")
    test.add_argument("--agent", default="", help="the agent's id")
    test.add_argument("--input", default="{}", help="the tool input, a JSON object")
    test.add_argument("--session-id", dest="session_id", default="", help="the session")
    for sub in (check, test):
        sub.add_argument("file", help="the .cedar file")
        sub.set_defaults(run=cmd_policy)


def _add_approvals(commands: Any) -> None:
    cmd = commands.add_parser(
        "approvals",
        help="list, approve or deny tool calls waiting for a person",
        description="Tool calls a policy sent to a person.",
    )
    actions = cmd.add_subparsers(dest="action", required=True, metavar="{list,approve,deny}")
    shown = actions.add_parser(
        "list", help="approvals, pending first", description="Approvals, pending first."
    )
    shown.add_argument("--status", default=None, help="only those with this status")
    _add_target(shown)
    shown.set_defaults(run=cmd_approvals)
    for verb in ("approve", "deny"):
        sub = actions.add_parser(
            verb,
            help=f"{verb} a pending approval",
            description=f"{verb.capitalize()} a pending approval.",
        )
        sub.add_argument("approval_id", help="the approval's id")
        sub.add_argument("--by", required=True, help="who decides (recorded in the audit)")
        sub.add_argument("--note", default="", help="why")
        _add_target(sub)
        sub.set_defaults(run=cmd_approvals)


def _add_hermes(commands: Any) -> None:
    cmd = commands.add_parser(
        "hermes", help="set Hermes Agent up to use Velkor", description="Velkor in Hermes Agent."
    )
    actions = cmd.add_subparsers(dest="action", required=True, metavar="{install}")
    install = actions.add_parser(
        "install",
        help="write the Velkor plugin into Hermes's home",
        description="Write the Velkor plugin (memory and tool-call hooks) into Hermes's home.",
    )
    install.add_argument(
        "--home", default=None, help="Hermes's home (default: $HERMES_HOME, else ~/.hermes)"
    )
    install.set_defaults(run=cmd_hermes_install)


def cmd_hermes_install(args: argparse.Namespace) -> int:
    try:
        from ..hermes import install_plugin
    except ImportError as exc:  # Hermes is not installed: the message names the extra
        raise Failure(str(exc)) from None
    print(install_plugin(args.home))
    print("next: hermes plugins enable velkor")
    print("      hermes config set memory.provider velkor")
    return 0


def main(argv: Sequence[str] | None = None, prog: str = "velkor") -> int:
    try:
        top = parser(prog)
    except ImportError as exc:  # the server extra is missing
        print(f"error: {exc}", file=sys.stderr)
        return 1
    args = top.parse_args(argv)  # exits 2 on a usage error
    try:
        return int(args.run(args))
    except Failure as exc:
        message = str(exc)
    except (OSError, TypeError, ValueError, RuntimeError) as exc:
        message = f"{type(exc).__name__}: {exc}"
    except Exception as exc:  # a service error, e.g. VelkorError from a server
        message = f"{type(exc).__name__}: {exc}"
    print(f"error: {message.splitlines()[0] if message else 'failed'}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
