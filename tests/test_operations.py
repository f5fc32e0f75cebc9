"""The operation table against what it drives: the first release's wire format, the client's
signatures, the service's handlers, the README's route list; and the package's layering."""

import ast
import http.client
import inspect
import json
import pathlib
from contextlib import closing

import pytest

from velkor_agent_hooks.client import VelkorClient, serve
from velkor_agent_hooks.client._operations import OPERATIONS, route_table
from velkor_agent_hooks.service import open_service

ROOT = pathlib.Path(__file__).parent.parent
PACKAGE = ROOT / "src" / "velkor_agent_hooks"
RECORDED = json.loads((ROOT / "tests" / "fixtures" / "release1_wire.json").read_text())
# Values that decide what a caller does next must read back as recorded; the rest (ids,
# times, and texts a better ranking may choose differently) only as the same JSON types.
STABLE = {"allow", "outcome", "governed", "degraded", "tool_name", "status", "recorded"}
STABLE |= {"stored", "session_id", "deleted", "namespace", "key", "value", "next_offset"}


def same_shape(recorded, now, key=None):
    if key is not None and key not in STABLE and not isinstance(recorded, dict | list):
        return type(recorded) is type(now)
    if isinstance(recorded, dict):
        # A newer server may add fields; an older client ignores them.
        return isinstance(now, dict) and all(
            k in now and same_shape(v, now[k], k) for k, v in recorded.items()
        )
    if isinstance(recorded, list):
        return (
            isinstance(now, list)
            and len(recorded) == len(now)
            and all(same_shape(a, b, key) for a, b in zip(recorded, now, strict=True))
        )
    return recorded == now or (key == "trace_id" and recorded.startswith("sdk_"))


def operation_of(line):
    method, target, _ = line.split(" ")
    path = target.split("?")[0]
    return next(op for op in OPERATIONS.values() if (op.method, op.path) == (method, path))


def test_the_first_releases_client_gets_the_replies_it_got():
    with serve(deny_tools=["shell"]) as server:
        conn = http.client.HTTPConnection(server.host, server.port, timeout=10)
        request_all(conn)


def request_all(conn):
    with closing(conn):
        for exchange in RECORDED:
            request = exchange["request"]
            method, target, _ = request["line"].split(" ")
            headers = dict(h.split(": ", 1) for h in request["headers"])
            conn.request(method, target, body=request["body"] or None, headers=headers)
            response = conn.getresponse()
            reply = json.loads(response.read())
            assert response.status == exchange["status"], request
            assert same_shape(exchange["reply"], reply), (request, reply)


def test_this_client_reads_the_first_releases_replies():
    for exchange in RECORDED:
        op = operation_of(exchange["request"]["line"])
        body = exchange["request"]["body"]
        args = op.from_wire(json.loads(body)) if body else {}
        if op.page_key is None:
            op.decode(exchange["reply"], args, op.name)  # no VelkorProtocolError


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_each_operation_has_a_handler_and_the_clients_defaults(name):
    op = OPERATIONS[name]
    service = open_service(None, "p")
    try:
        assert callable(service.handler(name))
    finally:
        service.close()
    method = getattr(VelkorClient, {"remember": "remember_turns"}.get(name, name))
    params = inspect.signature(method).parameters
    for arg in op.args:
        if arg.name in params and params[arg.name].default is not inspect.Parameter.empty:
            assert params[arg.name].default == arg.default, arg.name


def test_the_readme_lists_every_route_from_the_table():
    assert route_table() in (ROOT / "README.md").read_text()


def imports_of(path):
    """(module, [(imported module, names taken from it)]), function-level imports included."""
    module = ".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    module = module.removesuffix(".__init__")
    package = module if path.name == "__init__.py" else module.rsplit(".", 1)[0]
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found += [(alias.name, ()) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            target = node.module or ""
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            found.append((target, tuple(alias.name for alias in node.names)))
    return module, found


def edges(found, modules):
    # "from pkg import mod" depends on pkg.mod; "from mod import name" on mod.
    for target, names in found:
        subs = [f"{target}.{name}" for name in names if f"{target}.{name}" in modules]
        yield from subs or [target]


def test_no_import_circle_and_no_storage_or_http_serving_in_the_client():
    found = dict(imports_of(p) for p in PACKAGE.rglob("*.py"))
    modules = {m: set(edges(f, found)) for m, f in found.items()}
    graph = {m: {t for t in targets if t in modules and t != m} for m, targets in modules.items()}
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in graph[node]:
            assert state.get(nxt) != "open", " -> ".join([*trail, node, nxt])
            if nxt not in state:
                visit(nxt, [*trail, node])
        state[node] = "done"

    for node in graph:
        if node not in state:
            visit(node, [])
    client = {m: t for m, t in modules.items() if m.startswith("velkor_agent_hooks.client")}
    forbidden = ("sqlite3", "psycopg", "uvicorn", "http.server", "socketserver")
    for module, targets in client.items():
        assert not [t for t in targets if t.split(".")[0] in forbidden or t in forbidden], module
        reach = [t for t in targets if ".service.storage" in t or ".service.server" in t]
        # The package re-exports serve() and VelkorServer, loaded on first use.
        allowed = {"velkor_agent_hooks.service.server"} if module.endswith(".client") else set()
        assert set(reach) <= allowed, (module, reach)
