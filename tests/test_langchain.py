"""The LangChain 1.x middleware in real `create_agent` loops, on LangChain's fake model."""

import asyncio
import subprocess
import sys
import threading
from typing import Annotated

import pydantic
import pytest
from langchain.agents import create_agent
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, SystemMessage, ToolMessage
from langchain_core.tools import InjectedToolCallId, tool
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.types import Command

from velkor_agent_hooks.adapters import AgentHooks
from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.langchain import (
    MEMORY_HEADER,
    VelkorGovernanceMiddleware,
    VelkorMemoryMiddleware,
)

DENY_REASON = "deny_tools policy lists this tool"


class FakeModel(GenericFakeChatModel):
    """Scripted replies; keeps every message list it was called with."""

    seen: list = []

    def bind_tools(self, tools, *, tool_choice=None, **kwargs):
        return self

    def _generate(self, messages, stop=None, run_manager=None, **kwargs):
        self.seen.append(list(messages))
        return super()._generate(messages, stop=stop, run_manager=run_manager, **kwargs)


def scripted(*replies):
    return FakeModel(messages=iter([AIMessage(r) if isinstance(r, str) else r for r in replies]))


def run(agent, mode, text, thread=None):
    config = {"configurable": {"thread_id": thread}} if thread else None
    payload = {"messages": [{"role": "user", "content": text}]}
    if mode == "ainvoke":
        return asyncio.run(agent.ainvoke(payload, config))
    return agent.invoke(payload, config)


MODES = ["invoke", "ainvoke"]

TOOL_CALLS = [
    {"name": "search_web", "args": {"q": "lisbon"}, "id": "call_ok"},
    {"name": "shell", "args": {"cmd": "rm -rf /"}, "id": "call_denied"},
    {"name": "flaky", "args": {}, "id": "call_boom"},
    {"name": "ghost", "args": {}, "id": "call_ghost"},
]


@pytest.fixture
def ran():
    return []


@pytest.fixture
def tools(ran):
    @tool
    def search_web(q: str) -> str:
        """Search the web."""
        ran.append("search_web")
        return f"3 results for {q}"

    @tool
    def shell(cmd: str) -> str:
        """Run a shell command."""
        ran.append("shell")
        return "done"

    @tool
    def flaky() -> str:
        """A tool that breaks."""
        ran.append("flaky")
        raise RuntimeError("boom: disk full")

    return [search_web, shell, flaky]


def governed_agent(client, tools, calls=TOOL_CALLS, **options):
    model = scripted(AIMessage("", tool_calls=calls), "All done.")
    middleware = VelkorGovernanceMiddleware(AgentHooks(client, "planner"), **options)
    return model, create_agent(model, tools=tools, middleware=[middleware])


def by_trace(client):
    events = {}
    for event in client.audit_events():
        events.setdefault(event["trace_id"], []).append(event)
    return events


@pytest.mark.parametrize("mode", MODES)
def test_denied_tool_never_runs_and_each_outcome_is_audited(mode, tools, ran):
    client = VelkorClient(deny_tools=["shell"])
    model, agent = governed_agent(client, tools)

    result = run(agent, mode, "find flights", thread="t-1")

    assert result["messages"][-1].content == "All done."
    assert sorted(ran) == ["flaky", "search_web"]
    # What the model read back on its second call.
    replies = {m.tool_call_id: m for m in model.seen[1] if isinstance(m, ToolMessage)}
    assert replies.keys() == {c["id"] for c in TOOL_CALLS}
    assert (replies["call_ok"].status, replies["call_ok"].content) == (
        "success",
        "3 results for lisbon",
    )
    for call_id, name, words in [
        ("call_denied", "shell", DENY_REASON),
        ("call_boom", "flaky", "boom: disk full"),
        ("call_ghost", "ghost", "not a valid tool"),
    ]:
        assert replies[call_id].status == "error"
        assert replies[call_id].name == name
        assert words in replies[call_id].content

    events = by_trace(client)
    assert events.keys() == {c["id"] for c in TOOL_CALLS}
    assert [(e["kind"], e["outcome"]) for e in events["call_denied"]] == [("gate", "DENIED")]
    assert events["call_denied"][0]["tool_input"] == {"cmd": "rm -rf /"}
    expected = {
        "call_ok": ("SUCCESS", "3 results for lisbon"),
        "call_boom": ("FAILED", "boom: disk full"),
        "call_ghost": ("FAILED", "Error: ghost is not a valid tool"),
    }
    for call_id, (status, preview) in expected.items():
        gate, observe = events[call_id]
        assert (gate["kind"], gate["outcome"], observe["kind"]) == ("gate", "ALLOWED", "observe")
        assert observe["outcome_status"] == status
        assert observe["fields"]["result_preview"].startswith(preview)
        assert gate["session_id"] == observe["session_id"] == "t-1"
        assert gate["agent_id"] == observe["agent_id"] == "planner"


def test_raise_tool_errors_reports_then_hands_the_exception_to_langchain(tools, ran):
    client = VelkorClient()
    _, agent = governed_agent(client, tools, TOOL_CALLS[2:3], raise_tool_errors=True)
    with pytest.raises(RuntimeError, match="boom"):
        run(agent, "invoke", "go")
    failed = [e for e in client.audit_events() if e.get("outcome_status") == "FAILED"]
    assert [e["trace_id"] for e in failed] == ["call_boom"]


def test_a_tool_answering_with_a_command_is_previewed_from_its_message():
    @tool
    def set_city(city: str, tool_call_id: Annotated[str, InjectedToolCallId]) -> Command:
        """Remember the city."""
        reply = ToolMessage(f"city set to {city}", tool_call_id=tool_call_id)
        return Command(update={"messages": [reply]})

    client = VelkorClient()
    call = {"name": "set_city", "args": {"city": "Porto"}, "id": "call_cmd"}
    _, agent = governed_agent(client, [set_city], [call])
    run(agent, "invoke", "go")
    report = by_trace(client)["call_cmd"][-1]
    assert (report["outcome_status"], report["fields"]) == (
        "SUCCESS",
        {"result_preview": "city set to Porto"},
    )


class WatchedClient(VelkorClient):
    """Notes the thread of every call; `gate` holds until the event loop has run again."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.threads = []
        self.gate_started = threading.Event()
        self.loop_ran = threading.Event()

    def _note(self):
        self.threads.append(threading.get_ident())

    def gate(self, *args, **kwargs):
        self._note()
        self.gate_started.set()
        assert self.loop_ran.wait(5), "the event loop was blocked while the gate ran"
        return super().gate(*args, **kwargs)

    def observe(self, **kwargs):
        self._note()
        return super().observe(**kwargs)

    def context(self, *args, **kwargs):
        self._note()
        return super().context(*args, **kwargs)

    def remember_turns(self, *args, **kwargs):
        self._note()
        return super().remember_turns(*args, **kwargs)


def test_async_hooks_keep_the_event_loop_free(tools):
    client = WatchedClient(deny_tools=["shell"])
    calls = [TOOL_CALLS[0]]
    model = scripted(AIMessage("", tool_calls=calls), "Fine.")
    agent = create_agent(
        model,
        tools=tools,
        middleware=[
            VelkorMemoryMiddleware(client),
            VelkorGovernanceMiddleware(AgentHooks(client, "planner")),
        ],
    )

    async def main():
        async def tick_once_gate_waits():
            while not client.gate_started.is_set():
                await asyncio.sleep(0.001)
            client.loop_ran.set()

        ticker = asyncio.create_task(tick_once_gate_waits())
        result = await agent.ainvoke(
            {"messages": [{"role": "user", "content": "search lisbon"}]},
            {"configurable": {"thread_id": "t-async"}},
        )
        await ticker
        return threading.get_ident(), result

    loop_thread, result = asyncio.run(main())
    assert result["messages"][-1].content == "Fine."
    # context (before each of the two model calls), gate, observe, remember_turns
    assert len(client.threads) == 5
    assert loop_thread not in client.threads


APPROVAL_POLICY = """
@id("delete-needs-ok") @approval @reason("a person approves deletes")
forbid(principal, action, resource == Tool::"delete_file");
permit(principal, action, resource);
"""


def paused_agent(client, deleted):
    @tool
    def delete_file(path: str) -> str:
        """Delete a file."""
        deleted.append(path)
        return f"deleted {path}"

    call = {"name": "delete_file", "args": {"path": "a.txt"}, "id": "call_del"}
    model = scripted(AIMessage("", tool_calls=[call]), "Done.")
    middleware = VelkorGovernanceMiddleware(AgentHooks(client, "planner"))
    agent = create_agent(
        model, tools=[delete_file], middleware=[middleware], checkpointer=InMemorySaver()
    )
    return model, agent


def invoke(agent, mode, payload, config):
    if mode == "ainvoke":
        return asyncio.run(agent.ainvoke(payload, config))
    return agent.invoke(payload, config)


T1 = {"configurable": {"thread_id": "t-1"}}
EDIT = {"type": "edit", "edited_action": {"name": "delete_file", "args": {"path": "b.txt"}}}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    ("answer", "elsewhere", "ran", "reply", "settled"),
    [
        ({"type": "approve"}, None, ["a.txt"], "deleted a.txt", [("used", "ana")]),
        (
            {"type": "reject", "message": "keep it"},
            None,
            [],
            "ana rejected it: keep it",
            [("denied", "ana")],
        ),
        (EDIT, None, ["b.txt"], "ran with the arguments", [("denied", "ana"), ("used", "ana")]),
        ({"type": "approve"}, "bob", [], "was denied", [("denied", "bob")]),
    ],
    ids=["approve", "reject", "edit", "denied-elsewhere"],
)
def test_an_approval_pauses_the_run_and_the_resumed_decision_settles_it(
    mode, answer, elsewhere, ran, reply, settled
):
    client = VelkorClient(policy=APPROVAL_POLICY)
    deleted = []
    model, agent = paused_agent(client, deleted)

    paused = invoke(agent, mode, {"messages": [{"role": "user", "content": "clean up"}]}, T1)
    (request,) = paused["__interrupt__"]
    (pending,) = client.approvals("pending")
    assert request.value == {
        "type": "tool_approval",
        "tool_call_id": "call_del",
        "name": "delete_file",
        "args": {"path": "a.txt"},
        "description": f"Velkor approval {pending['id']}: a person approves deletes",
        "approval_id": pending["id"],
        "reason": "a person approves deletes",
    }
    assert deleted == []
    if elsewhere:
        client.decide_approval(pending["id"], False, by=elsewhere)

    as_ana = {"configurable": {"thread_id": "t-1", "reviewer": "ana"}}
    resumed = invoke(agent, mode, Command(resume=answer), as_ana)

    assert resumed["messages"][-1].content == "Done."
    assert deleted == ran
    (message,) = [m for m in model.seen[1] if isinstance(m, ToolMessage)]
    assert reply in message.content
    assert message.status == ("success" if ran else "error")
    rows = sorted(client.approvals(), key=lambda a: a["created_at"])
    assert [(a["status"], a["decided_by"]) for a in rows] == settled
    if answer is EDIT:
        assert rows[1]["tool_input"] == {"path": "b.txt"}


def test_an_edit_may_not_switch_tools_and_the_pause_can_be_answered_again():
    client = VelkorClient(policy=APPROVAL_POLICY)
    deleted = []
    _, agent = paused_agent(client, deleted)
    agent.invoke({"messages": [{"role": "user", "content": "clean up"}]}, T1)
    other = {"type": "edit", "edited_action": {"name": "shell", "args": {"cmd": "rm a.txt"}}}
    with pytest.raises(pydantic.ValidationError):
        agent.invoke(Command(resume=other), T1)
    assert deleted == []
    agent.invoke(Command(resume={"type": "approve"}), T1)
    assert deleted == ["a.txt"]
    assert [(a["status"], a["decided_by"]) for a in client.approvals()] == [("used", "langchain")]


def system_text(messages):
    return "\n".join(m.text for m in messages if isinstance(m, SystemMessage))


@pytest.mark.parametrize("mode", MODES)
def test_memory_is_recalled_and_saved_per_thread(mode):
    client = VelkorClient()
    model = scripted("Noted: Lisbon.", "Alfama, noted.", "You fly to Lisbon.", "I don't know.")
    agent = create_agent(
        model,
        tools=[],
        system_prompt="You are a travel assistant.",
        middleware=[VelkorMemoryMiddleware(client)],
        checkpointer=InMemorySaver(),
    )

    run(agent, mode, "I fly to Lisbon on 12 March.", thread="ana")
    run(agent, mode, "My hotel is in Alfama.", thread="bob")
    run(agent, mode, "Which city do I fly to?", thread="ana")
    run(agent, mode, "Which city do I fly to?", thread="bob")

    first, _, ana_again, bob_again = (system_text(seen) for seen in model.seen)
    assert first == "You are a travel assistant."
    assert ana_again.startswith("You are a travel assistant.\n\n" + MEMORY_HEADER)
    assert "I fly to Lisbon on 12 March." in ana_again
    assert "Alfama" not in ana_again
    assert "Lisbon" not in bob_again

    # One entry per turn, the second ana run not saving the first turn again.
    stored = [(m["session_id"], m["role"], m["text"]) for m in client.memories()]
    assert stored == [
        ("ana", "user", "I fly to Lisbon on 12 March."),
        ("ana", "assistant", "Noted: Lisbon."),
        ("bob", "user", "My hotel is in Alfama."),
        ("bob", "assistant", "Alfama, noted."),
        ("ana", "user", "Which city do I fly to?"),
        ("ana", "assistant", "You fly to Lisbon."),
        ("bob", "user", "Which city do I fly to?"),
        ("bob", "assistant", "I don't know."),
    ]


def test_runs_without_a_thread_share_the_default_session():
    client = VelkorClient()
    model = scripted("Noted.", "Lisbon.")
    memory = VelkorMemoryMiddleware(client, default_session_id="solo")
    agent = create_agent(model, tools=[], middleware=[memory])

    run(agent, "invoke", "I fly to Lisbon.")
    run(agent, "invoke", "Where do I fly?")

    assert "I fly to Lisbon." in system_text(model.seen[1])
    assert {m["session_id"] for m in client.memories()} == {"solo"}


def test_bad_arguments_are_refused_at_construction():
    client = VelkorClient()
    with pytest.raises(TypeError, match="AgentHooks"):
        VelkorGovernanceMiddleware(client)
    with pytest.raises(TypeError, match="max_tokens"):
        VelkorMemoryMiddleware(client, max_tokens="200")
    with pytest.raises(ValueError, match="max_tokens"):
        VelkorMemoryMiddleware(client, max_tokens=-1)
    with pytest.raises(ValueError, match="default_session_id"):
        VelkorMemoryMiddleware(client, default_session_id="")


def test_import_without_langchain_names_the_extra():
    code = "import sys; sys.modules['langchain'] = None; import velkor_agent_hooks.langchain"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError" in result.stderr
    assert "velkor-agent-hooks[langchain]" in result.stderr
