"""What the MCP server records of a host's tool calls: the gate's decisions, no outcome."""

import sys

import anyio
import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from test_mcp import DEADLINE, server_env

from velkor_agent_hooks.client import VelkorClient

pytestmark = pytest.mark.anyio


@pytest.fixture
def anyio_backend():
    return "asyncio"


async def test_a_host_gating_its_calls_over_mcp_gets_no_outcome_recorded_for_it(tmp_path):
    db = str(tmp_path / "velkor.db")
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "velkor_agent_hooks.mcp"],
        env=server_env(VELKOR_DB=db, VELKOR_DENY_TOOLS="shell"),
    )
    with anyio.fail_after(DEADLINE):
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            # The host asks before each of its calls; book then raises in the host, search works.
            for tool in ("search", "shell", "book"):
                await session.call_tool("velkor_gate", {"tool_name": tool, "agent_id": "claw"})

    with VelkorClient(path=db) as client:
        events = client.audit_events()
    assert [(e["kind"], e["tool_name"], e["outcome"]) for e in events] == [
        ("gate", "search", "ALLOWED"),
        ("gate", "shell", "DENIED"),
        ("gate", "book", "ALLOWED"),
    ]
