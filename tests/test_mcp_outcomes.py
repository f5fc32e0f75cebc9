"""What the MCP server records of a host's tool calls (the gate's decisions, no outcome), and
the approval cycle a host goes through with it."""

import sys

import anyio
import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from test_mcp import DEADLINE, server_env

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.service.cli import main as velkor

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


POLICY = """
@id("delete-needs-ok") @approval @reason("a person approves deletes")
forbid(principal, action, resource == Tool::"delete_file");
permit(principal, action, resource);
"""


@pytest.mark.parametrize("verdict", ["approve", "deny"])
async def test_a_gate_awaiting_approval_allows_the_same_call_once_a_person_approves(
    tmp_path, verdict
):
    db, policy = str(tmp_path / "velkor.db"), tmp_path / "policy.cedar"
    policy.write_text(POLICY)
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "velkor_agent_hooks.mcp"],
        env=server_env(VELKOR_DB=db, VELKOR_POLICY=str(policy)),
    )
    ask = {"tool_name": "delete_file", "agent_id": "claw", "tool_input": {"path": "a.txt"}}
    with anyio.fail_after(DEADLINE):
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()

            async def gate():
                return (await session.call_tool("velkor_gate", ask)).structured_content

            asked = await gate()
            assert (asked["allow"], asked["outcome"]) == (False, "APPROVAL_REQUIRED")
            assert asked["reason"] == "a person approves deletes"
            assert await gate() == asked  # still pending: the same approval

            # The person, from the command line on the same database.
            assert (
                velkor(["approvals", verdict, asked["approval_id"], "--by", "ana", "--db", db]) == 0
            )
            decided = await gate()
            after = await gate()

    if verdict == "approve":
        assert (decided["allow"], decided["outcome"]) == (True, "APPROVED")
    else:
        assert decided["allow"] is False
        assert decided["reason"].endswith("was denied by ana")
    # Spent either way: the next ask is a new approval.
    assert after["outcome"] == "APPROVAL_REQUIRED"
    assert after["approval_id"] != asked["approval_id"]
