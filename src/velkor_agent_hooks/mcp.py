"""The three Velkor tools as a Model Context Protocol server.

``python -m velkor_agent_hooks.mcp`` serves ``velkor_context``, ``velkor_remember`` and
``velkor_gate`` over stdio (what desktop and IDE hosts launch); ``--transport
streamable-http`` serves them over HTTP instead. Each tool's name, description and input
schema are those of :func:`velkor_agent_hooks.adapters.openai_tools`, and each call runs
through :func:`velkor_agent_hooks.adapters.dispatch` on one ``VelkorClient.from_env()``
made at start-up, so the environment picks the backend.

``velkor_gate`` answers as ``dispatch`` would, and for a call awaiting a person's approval
(outcome APPROVAL_REQUIRED) adds its ``approval_id``. The server remembers that id by the
call (agent, tool and input): asked again about the same call it names the approval, so once
a person approves it (``velkor approvals approve``) the answer is ``"allow": true`` (outcome
APPROVED), once; while pending the answer and the id stay the same; denied or expired it is
``"allow": false`` saying which, and the next ask starts a new approval.

A successful call returns the result dict as structured content and as JSON text. A call a
model can correct (arguments that do not match the schema or that the client rejects, an
unknown tool) returns an error result with the reason; so does a service failure. The server
itself keeps serving.

Needs the MCP SDK: ``pip install "velkor-agent-hooks[mcp]"``.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import socket
import sys
from collections.abc import Mapping, Sequence
from typing import Any

try:
    import anyio
    import anyio.to_thread
    import uvicorn
    from jsonschema.exceptions import best_match  # type: ignore[import-untyped]
    from jsonschema.protocols import Validator  # type: ignore[import-untyped]
    from jsonschema.validators import validator_for  # type: ignore[import-untyped]
    from mcp.server import Server, ServerRequestContext
    from mcp.server.stdio import stdio_server
    from mcp.server.transport_security import TransportSecuritySettings
    from mcp.types import (
        CallToolRequestParams,
        CallToolResult,
        ListToolsResult,
        PaginatedRequestParams,
        TextContent,
        Tool,
    )
    from starlette.types import ASGIApp, Receive, Scope, Send
except ImportError as exc:
    raise ImportError(
        'velkor_agent_hooks.mcp needs the MCP SDK: pip install "velkor-agent-hooks[mcp]"',
        name=exc.name,
    ) from exc

from . import __version__, _approvals
from .adapters import dispatch, openai_tools
from .client import VelkorClient, VelkorConnectionError, VelkorError, VelkorTimeout
from .service.auth import Authenticator, bind_address, resolve
from .service.auth import is_loopback as _address_is_loopback

__all__ = ["call_tool", "create_server", "main", "tools"]

API_KEY_ENV = "VELKOR_API_KEY"
HTTP_PATH = "/mcp"

_log = logging.getLogger(__name__)
_INSTRUCTIONS = (
    "Velkor conversational memory and governance. Call velkor_context to recall what is "
    "relevant to a question, velkor_remember to store a turn worth keeping, and velkor_gate "
    "before running a tool to learn whether policy allows it."
)


def tools() -> list[Tool]:
    """The MCP tool definitions, made from ``openai_tools()`` each time."""
    return [
        Tool(name=fn["name"], description=fn["description"], input_schema=fn["parameters"])
        for fn in (entry["function"] for entry in openai_tools())
    ]


def _error(message: str) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=message)], is_error=True)


def _gate(client: VelkorClient, arguments: Mapping[str, Any]) -> dict[str, Any]:
    tool_input = arguments.get("tool_input")
    decision = _approvals.gate(
        client,
        str(arguments["tool_name"]),
        tool_input if isinstance(tool_input, Mapping) else {},
        agent_id=str(arguments.get("agent_id", "")),
    )
    result: dict[str, Any] = {
        "allow": decision.allow,
        "governed": decision.governed,
        "reason": decision.reason,
        "degraded": decision.degraded,
        "outcome": decision.outcome,
    }
    if decision.outcome == _approvals.APPROVAL_REQUIRED:
        result["approval_id"] = decision.approval_id
    return result


def _schema_problem(validator: Validator, arguments: object) -> str | None:
    error = best_match(validator.iter_errors(arguments))
    if error is None:
        return None
    where = "/".join(str(part) for part in error.absolute_path)
    return f"{error.message} (at {where})" if where else error.message


def call_tool(
    client: VelkorClient,
    name: str,
    arguments: Mapping[str, Any] | None,
    validators: Mapping[str, Validator] | None = None,
) -> CallToolResult:
    """Run one tool call synchronously and turn every outcome into a ``CallToolResult``."""
    if validators is None:
        validators = _validators(tools())
    validator = validators.get(name)
    if validator is None:
        return _error(f"unknown Velkor tool: {name!r}; the tools are {', '.join(validators)}")
    arguments = {} if arguments is None else arguments
    problem = _schema_problem(validator, arguments)
    if problem is not None:
        return _error(f"invalid arguments for {name}: {problem}")
    try:
        result = (
            _gate(client, arguments) if name == "velkor_gate" else dispatch(client, name, arguments)
        )
    except (TypeError, ValueError) as exc:
        return _error(f"invalid arguments for {name}: {exc}")
    except (VelkorConnectionError, VelkorTimeout) as exc:
        return _error(f"the Velkor service is unreachable ({type(exc).__name__}): {exc}")
    except VelkorError as exc:
        return _error(f"the Velkor service failed ({type(exc).__name__}): {exc}")
    except Exception as exc:
        _log.exception("velkor tool %s raised", name)
        return _error(f"{name} failed ({type(exc).__name__}): {exc}")
    return CallToolResult(
        content=[TextContent(type="text", text=json.dumps(result))],
        structured_content=result,
    )


def _validators(defined: Sequence[Tool]) -> dict[str, Validator]:
    out: dict[str, Validator] = {}
    for tool in defined:
        cls = validator_for(tool.input_schema)
        cls.check_schema(tool.input_schema)
        out[tool.name] = cls(tool.input_schema)
    return out


def create_server(client: VelkorClient | None = None) -> Server[Any]:
    """A low-level MCP server offering the three tools on ``client`` (default: from_env).

    The low-level server is used because the high-level one derives input schemas from
    function signatures; here they must be ``openai_tools()``'s exactly.
    """
    velkor = VelkorClient.from_env() if client is None else client
    defined = tools()
    validators = _validators(defined)
    schemas = {tool.name: tool.input_schema for tool in defined}

    async def list_tools(
        ctx: ServerRequestContext[Any], params: PaginatedRequestParams | None
    ) -> ListToolsResult:
        return ListToolsResult(tools=[tool.model_copy(deep=True) for tool in defined])

    async def run_tool(
        ctx: ServerRequestContext[Any], params: CallToolRequestParams
    ) -> CallToolResult:
        # A remote backend blocks for up to its timeout; keep the event loop free.
        return await anyio.to_thread.run_sync(
            call_tool, velkor, params.name, params.arguments, validators
        )

    return Server(
        "velkor",
        version=__version__,
        instructions=_INSTRUCTIONS,
        get_tool_input_schema=schemas.get,
        on_list_tools=list_tools,
        on_call_tool=run_tool,
    )


class BearerAuth:
    """ASGI middleware: every HTTP request must carry ``Authorization: Bearer <key>``."""

    def __init__(self, app: ASGIApp, key: str) -> None:
        self.app = app
        self._auth = Authenticator(key)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            if not self._auth.accepts(dict(scope["headers"]).get(b"authorization")):
                body = b'{"error": "missing or wrong API key"}'
                await send(
                    {
                        "type": "http.response.start",
                        "status": 401,
                        "headers": [
                            (b"content-type", b"application/json"),
                            (b"content-length", str(len(body)).encode()),
                            (b"www-authenticate", b'Bearer realm="velkor"'),
                        ],
                    }
                )
                await send({"type": "http.response.body", "body": body})
                return
        await self.app(scope, receive, send)


async def _serve_stdio(server: Server[Any]) -> None:
    async with stdio_server() as (read_stream, write_stream):
        await server.run(read_stream, write_stream, server.create_initialization_options())


async def _serve_http(server: Server[Any], sock: socket.socket, host: str, key: str) -> None:
    security = None
    if is_loopback(host):
        # The SDK guards only a few loopback spellings against DNS rebinding; cover ours too.
        shown = f"[{host.strip('[]')}]" if ":" in host else host
        hosts = {"127.0.0.1", "localhost", "[::1]", shown}
        security = TransportSecuritySettings(
            allowed_hosts=[f"{h}:*" for h in sorted(hosts)],
            allowed_origins=[f"http://{h}:*" for h in sorted(hosts)],
        )
    app: ASGIApp = server.streamable_http_app(
        streamable_http_path=HTTP_PATH, host=host, transport_security=security
    )
    if key:
        app = BearerAuth(app, key)
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="on")
    await uvicorn.Server(config).serve(sockets=[sock])


def is_loopback(host: str) -> bool:
    """Whether ``host`` resolves to a loopback address."""
    if not host:
        return False
    try:
        return _address_is_loopback(resolve(host.strip("[]"), 0)[1])
    except OSError:
        return False


def _bind(host: str, port: int, key: str) -> socket.socket:
    # The same rules as the service's server: a key of 16 or more characters, or an address
    # that resolves to loopback.
    family, address = bind_address(host.strip("[]"), port, key or None)
    return socket.create_server(address, family=family)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m velkor_agent_hooks.mcp",
        description=(
            "Serve the Velkor tools velkor_context, velkor_remember and velkor_gate over the "
            "Model Context Protocol. The Velkor client is VelkorClient.from_env(): the "
            "VELKOR_* variables choose the backend (VELKOR_BASE_URL for a remote server, "
            "else embedded) and its settings (VELKOR_PROJECT, VELKOR_DENY_TOOLS, ...)."
        ),
        epilog=(
            "HTTP serves at http://HOST:PORT/mcp. On a host other than loopback it refuses to "
            f"start without an API key (--api-key or {API_KEY_ENV}); with a key set, every "
            "request must carry 'Authorization: Bearer <key>' or gets 401."
        ),
    )
    parser.add_argument(
        "--transport",
        choices=("stdio", "streamable-http"),
        default="stdio",
        help="stdio (default; what hosts launch) or streamable-http",
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="HTTP address to bind (default 127.0.0.1)"
    )
    parser.add_argument(
        "--port", type=int, default=8000, help="HTTP port (default 8000; 0 picks a free one)"
    )
    parser.add_argument(
        "--api-key",
        default=None,
        help=(
            f"key HTTP clients must send as a bearer token (default: ${API_KEY_ENV}, which "
            "is better: a command line is visible to other local users)"
        ),
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    key = args.api_key if args.api_key is not None else os.environ.get(API_KEY_ENV, "")
    key = key.strip()
    try:
        server = create_server()
    except (TypeError, ValueError, OSError) as exc:
        print(f"error: cannot make the Velkor client from the environment: {exc}", file=sys.stderr)
        return 2
    try:
        if args.transport == "stdio":
            anyio.run(_serve_stdio, server)
            return 0
        try:
            sock = _bind(args.host, args.port, key)
        except (OSError, OverflowError, ValueError) as exc:
            print(f"error: cannot serve on {args.host}:{args.port}: {exc}", file=sys.stderr)
            return 2 if isinstance(exc, ValueError) else 1
        with sock:
            bound_host, bound_port = sock.getsockname()[:2]
            shown = f"[{bound_host}]" if ":" in bound_host else bound_host
            print(f"Velkor MCP server on http://{shown}:{bound_port}{HTTP_PATH}", flush=True)
            anyio.run(_serve_http, server, sock, args.host, key)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
