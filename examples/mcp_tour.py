"""The MCP server as a host sees it: launched over stdio and driven by the SDK's own client."""

import json
import os
import sys
from typing import Any

import anyio
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.types import CallToolResult, TextContent

# What a desktop host's configuration says: command, args and env.
SERVER = StdioServerParameters(
    command=sys.executable,
    args=["-m", "velkor_agent_hooks.mcp"],
    # The SDK hands the server only a few safe variables unless told otherwise.
    env={**os.environ, "VELKOR_DENY_TOOLS": "shell"},
)


def show(name: str, result: CallToolResult) -> None:
    text = "".join(block.text for block in result.content if isinstance(block, TextContent))
    print(f"{name}: {'error: ' if result.is_error else ''}{text}")


async def tour() -> None:
    errlog = sys.__stderr__ or sys.stderr
    async with (
        stdio_client(SERVER, errlog=errlog) as (read, write),
        ClientSession(read, write) as session,
    ):
        await session.initialize()
        for tool in (await session.list_tools()).tools:
            print(f"tool {tool.name}: {tool.description}")
            print(f"  input schema: {json.dumps(tool.input_schema)}")

        calls: list[tuple[str, dict[str, Any]]] = [
            ("velkor_remember", {"text": "The user's deadline is Friday.", "role": "user"}),
            ("velkor_context", {"query": "When is the deadline?", "max_tokens": 200}),
            ("velkor_gate", {"tool_name": "shell", "agent_id": "planner"}),
            ("velkor_gate", {"tool_name": "search_web", "tool_input": {"q": "lisbon"}}),
            # A mistake a model might make comes back as an error result it can read.
            ("velkor_remember", {"text": ""}),
        ]
        for name, arguments in calls:
            result = await session.call_tool(name, arguments)
            if not isinstance(result, CallToolResult):
                raise TypeError(f"{name}: expected a tool result, got {type(result).__name__}")
            show(name, result)


def main() -> None:
    anyio.run(tour)


if __name__ == "__main__":
    main()
