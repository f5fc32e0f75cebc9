"""The Agents SDK bridge, driven by the SDK's own scripted model."""

import asyncio
import subprocess
import sys
import threading

import pytest
from agents import Agent, RunConfig, Runner, RunState, function_tool
from agents.testing import ScriptedModel, assistant_message, function_call

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.openai_agents import (
    VelkorRunHooks,
    VelkorToolApprovals,
    velkor_tool_guardrail,
)


class ThreadRecordingClient(VelkorClient):
    """Notes the thread of every governance call."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.threads = []

    def gate(self, *args, **kwargs):
        self.threads.append(threading.get_ident())
        return super().gate(*args, **kwargs)

    def observe(self, **kwargs):
        self.threads.append(threading.get_ident())
        return super().observe(**kwargs)


def test_run_blocks_denied_tool_and_reports_each_outcome():
    client = ThreadRecordingClient(deny_tools=["shell"])
    gate = velkor_tool_guardrail(client, "planner", session_id="s1")
    hooks = VelkorRunHooks(client, "planner", session_id="s1")
    ran = []

    @function_tool(tool_input_guardrails=[gate])
    def search(q: str) -> str:
        ran.append("search")
        return f"3 results for {q}"

    @function_tool(tool_input_guardrails=[gate])
    def shell(cmd: str) -> str:
        ran.append("shell")
        return "ran"

    @function_tool(tool_input_guardrails=[gate])
    def book(city: str) -> str:
        ran.append("book")
        raise RuntimeError(f"no rooms in {city}")

    @function_tool(
        tool_input_guardrails=[gate], failure_error_function=hooks.failure_error_function
    )
    def pay(amount: int) -> str:
        ran.append("pay")
        raise ValueError("card declined")

    model = ScriptedModel(
        [
            [
                function_call("search", {"q": "lisbon"}, call_id="c_search"),
                function_call("shell", {"cmd": "rm -rf /"}, call_id="c_shell"),
                function_call("book", {"city": "Porto"}, call_id="c_book"),
                function_call("pay", {"amount": 90}, call_id="c_pay"),
            ],
            [assistant_message("all done")],
        ]
    )
    agent = Agent(name="planner", model=model, tools=[search, shell, book, pay])

    async def run():
        loop_thread = threading.get_ident()
        result = await Runner.run(
            agent, "go", hooks=hooks, run_config=RunConfig(tracing_disabled=True)
        )
        return loop_thread, result

    loop_thread, result = asyncio.run(run())

    assert result.final_output == "all done"
    assert sorted(ran) == ["book", "pay", "search"]
    seen = {
        item["call_id"]: item["output"]
        for item in model.last_call.input
        if isinstance(item, dict) and item.get("type") == "function_call_output"
    }
    assert "blocked by governance: deny_tools policy" in seen["c_shell"]
    assert seen["c_search"] == "3 results for lisbon"

    gates = {e["trace_id"]: e for e in client.audit_events() if e["kind"] == "gate"}
    assert {k: (e["tool_name"], e["outcome"]) for k, e in gates.items()} == {
        "c_search": ("search", "ALLOWED"),
        "c_shell": ("shell", "DENIED"),
        "c_book": ("book", "ALLOWED"),
        "c_pay": ("pay", "ALLOWED"),
    }
    assert gates["c_pay"]["tool_input"] == {"amount": 90}
    observed = {
        e["trace_id"]: (e["tool_name"], e["outcome_status"], e["fields"]["result_preview"])
        for e in client.audit_events()
        if e["kind"] == "observe"
    }
    assert observed == {
        "c_search": ("search", "SUCCESS", "3 results for lisbon"),
        "c_book": ("book", "FAILED", "no rooms in Porto"),
        "c_pay": ("pay", "FAILED", "card declined"),
    }
    assert all(
        e["session_id"] == "s1" and e["agent_id"] == "planner" for e in client.audit_events()
    )
    assert client.threads and loop_thread not in client.threads


def test_run_formatter_still_words_failures_and_own_failure_functions_are_unknown():
    client = VelkorClient()
    hooks = VelkorRunHooks(client, "planner")

    @function_tool
    def book(city: str) -> str:
        raise RuntimeError(f"no rooms in {city}")

    def own_message(ctx, error):
        return "quotes are down"

    @function_tool(failure_error_function=own_message)
    def quote(city: str) -> str:
        raise RuntimeError("timeout")

    @function_tool(failure_error_function=own_message)
    def weather(city: str) -> str:
        return "sunny"

    model = ScriptedModel(
        [
            [
                function_call("book", {"city": "Porto"}, call_id="c_book"),
                function_call("quote", {"city": "Porto"}, call_id="c_quote"),
                function_call("weather", {"city": "Porto"}, call_id="c_weather"),
            ],
            [assistant_message("done")],
        ]
    )
    config = RunConfig(
        tool_error_formatter=lambda args: f"[{args.tool_name}] {args.error}",
        tracing_disabled=True,
    )
    agent = Agent(name="planner", model=model, tools=[book, quote, weather])
    asyncio.run(Runner.run(agent, "go", hooks=hooks, run_config=config))

    seen = {
        item["call_id"]: item["output"]
        for item in model.last_call.input
        if isinstance(item, dict) and item.get("type") == "function_call_output"
    }
    assert seen["c_book"] == "[book] no rooms in Porto"
    assert seen["c_quote"] == "quotes are down"
    observed = {
        e["trace_id"]: e["outcome_status"] for e in client.audit_events() if e["kind"] == "observe"
    }
    assert observed == {"c_book": "FAILED", "c_quote": "UNKNOWN", "c_weather": "UNKNOWN"}


APPROVAL_POLICY = """
@id("delete-needs-ok") @approval @reason("a person approves deletes")
forbid(principal, action, resource == Tool::"delete_file");
permit(principal, action, resource);
"""
NO_TRACING = RunConfig(tracing_disabled=True)


def outputs(model):
    return {
        item["call_id"]: item["output"]
        for item in model.last_call.input
        if isinstance(item, dict) and item.get("type") == "function_call_output"
    }


def approval_agent(approvals, ran, model=None):
    @approvals.govern
    @function_tool
    def delete_file(path: str) -> str:
        ran.append(("delete_file", path))
        return f"deleted {path}"

    @approvals.govern
    @function_tool
    def search(q: str) -> str:
        ran.append(("search", q))
        return "3 results"

    model = model or ScriptedModel(
        [
            [
                function_call("delete_file", {"path": "a.txt"}, call_id="c_del"),
                function_call("search", {"q": "old files"}, call_id="c_search"),
            ],
            [assistant_message("done")],
        ]
    )
    return model, Agent(name="planner", model=model, tools=[delete_file, search])


@pytest.mark.parametrize(
    ("how", "ran_it", "says", "settled"),
    [
        ("approve", True, "deleted a.txt", ("used", "ana")),
        ("plain-approve", True, "deleted a.txt", ("used", "openai-agents")),
        ("elsewhere", True, "deleted a.txt", ("used", "openai-agents")),
        ("reject", False, "'delete_file' was rejected by ana: keep it", ("denied", "ana")),
        ("denied-first", False, "was denied", ("denied", "bob")),
    ],
)
def test_approval_required_pauses_the_run_and_the_resumed_state_settles_it(
    how, ran_it, says, settled
):
    client = VelkorClient(policy=APPROVAL_POLICY)
    approvals = VelkorToolApprovals(client, "planner", session_id="s1")
    ran = []
    model, agent = approval_agent(approvals, ran)

    async def cycle(agent):
        paused = await Runner.run(agent, "clean up", run_config=NO_TRACING)
        (item,) = paused.interruptions
        row = approvals.approval(item)
        assert (row["status"], row["tool_input"], row["reason"]) == (
            "pending",
            {"path": "a.txt"},
            "a person approves deletes",
        )
        assert ran == [("search", "old files")]
        state = paused.to_state()
        if how == "approve":
            approvals.approve(state, item, by="ana")
        elif how == "reject":
            approvals.reject(state, item, by="ana", note="keep it")
        else:
            if how == "denied-first":
                client.decide_approval(row["id"], False, by="bob")
            state.approve(item)
        if how == "elsewhere":  # resumed by another process, from the saved state
            fresh = VelkorToolApprovals(client, "planner", session_id="s1")
            _, agent = approval_agent(fresh, ran, model)
            state = await RunState.from_json(agent, state.to_json())
        return await Runner.run(agent, state, run_config=NO_TRACING)

    result = asyncio.run(cycle(agent))

    assert result.final_output == "done"
    assert (("delete_file", "a.txt") in ran) is ran_it
    assert says in outputs(model)["c_del"]
    (row,) = client.approvals()
    assert (row["status"], row["decided_by"]) == settled
    gates = [(e["trace_id"], e["outcome"]) for e in client.audit_events() if e["kind"] == "gate"]
    assert gates[:2] == [("c_del", "APPROVAL_REQUIRED"), ("c_search", "ALLOWED")]
    assert len(gates) == (3 if how != "reject" else 2)  # the approved gate, for all but reject


def test_the_guardrail_alone_answers_awaiting_approval_and_runs_the_call_made_again():
    client = VelkorClient(policy=APPROVAL_POLICY)
    gate = velkor_tool_guardrail(client, "planner")
    ran = []

    @function_tool(tool_input_guardrails=[gate])
    def delete_file(path: str) -> str:
        ran.append(path)
        return f"deleted {path}"

    def ask(call_id):
        model = ScriptedModel(
            [
                [function_call("delete_file", {"path": "a.txt"}, call_id=call_id)],
                [assistant_message("ok")],
            ]
        )
        agent = Agent(name="planner", model=model, tools=[delete_file])
        asyncio.run(Runner.run(agent, "clean up", run_config=NO_TRACING))
        return outputs(model)[call_id]

    first = ask("c1")
    (pending,) = client.approvals("pending")
    assert f"awaits approval (approval id {pending['id']})" in first and ran == []
    client.decide_approval(pending["id"], True, by="ana")
    assert ask("c2") == "deleted a.txt" and ran == ["a.txt"]


def test_import_without_the_sdk_names_the_extra():
    code = (
        "import sys; sys.modules['agents'] = None\n"
        "try:\n import velkor_agent_hooks.openai_agents\n"
        "except ImportError as e: print(e)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "velkor-agent-hooks[openai-agents]" in out.stdout
