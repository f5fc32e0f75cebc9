"""The CrewAI bridge driving real crews offline with scripted models."""

from datetime import datetime, timedelta

import pytest
from conftest import AnalysisLLM, embed, tool_call
from crewai import Agent, Crew, Task
from crewai.memory.types import MemoryRecord
from crewai.memory.unified_memory import Memory
from crewai.tools import tool
from crewai.tools.tool_failure import ToolFailure

from velkor_agent_hooks.client import VelkorClient, VelkorConnectionError
from velkor_agent_hooks.crewai import VelkorMemoryStorage, VelkorToolHooks

ran = []


@tool("search")
def search(q: str) -> str:
    """Search the web."""
    ran.append("search")
    return f"3 results for {q}"


@tool("shell")
def shell(cmd: str) -> str:
    """Run a shell command."""
    ran.append("shell")
    return "ran"


@tool("book")
def book(city: str) -> str:
    """Book a room."""
    ran.append("book")
    raise RuntimeError(f"no rooms in {city}")


@tool("lookup")
def lookup(ref: str) -> str:
    """Look a booking up."""
    ran.append("lookup")
    return ToolFailure(message=f"no booking {ref}", code="not_found")


def run_crew(llm, tools, memory=None, description="Plan a trip to Lisbon"):
    agent = Agent(role="planner", goal="plan", backstory="plans trips", llm=llm, tools=tools)
    task = Task(description=description, expected_output="a plan", agent=agent)
    crew = Crew(agents=[agent], tasks=[task], memory=memory or False)
    return crew, crew.kickoff()


def test_crew_runs_allowed_tools_blocks_denied_one_and_reports_each_outcome(scripted):
    client = VelkorClient(deny_tools=["shell"])
    llm = scripted(
        [
            tool_call("search", {"q": "lisbon"}, "c1"),
            tool_call("shell", {"cmd": "rm -rf /"}, "c2"),
            tool_call("book", {"city": "Porto"}, "c3"),
            tool_call("lookup", {"ref": "B7"}, "c4"),
        ],
        "all done",
    )
    ran.clear()
    with VelkorToolHooks(client):
        crew, output = run_crew(llm, [search, shell, book, lookup])

    assert output.raw == "all done"
    assert sorted(ran) == ["book", "lookup", "search"]
    seen = llm.tool_messages()
    assert seen["c1"] == "3 results for lisbon"
    assert seen["c2"].startswith("Tool call 'shell' was blocked and did not run: deny_tools")

    events = client.audit_events()
    gates = {e["tool_name"]: e for e in events if e["kind"] == "gate"}
    assert {name: e["outcome"] for name, e in gates.items()} == {
        "search": "ALLOWED",
        "shell": "DENIED",
        "book": "ALLOWED",
        "lookup": "ALLOWED",
    }
    observed = {
        e["tool_name"]: (e["outcome_status"], e["fields"]["result_preview"])
        for e in events
        if e["kind"] == "observe"
    }
    assert observed == {
        "search": ("SUCCESS", "3 results for lisbon"),
        "book": ("FAILED", "Error executing tool: no rooms in Porto"),
        "lookup": ("FAILED", "no booking B7 (code: not_found)"),
    }
    # One trace id per call, shared by its gate and its report.
    traces = {e["tool_name"]: e["trace_id"] for e in events if e["kind"] == "observe"}
    assert all(gates[name]["trace_id"] == trace for name, trace in traces.items())
    assert len({e["trace_id"] for e in gates.values()}) == 4
    assert {(e["agent_id"], e["session_id"]) for e in events} == {("planner", str(crew.id))}
    assert gates["book"]["tool_input"] == {"city": "Porto"}


def test_a_gate_that_cannot_be_asked_blocks_the_call(scripted):
    class Unreachable(VelkorClient):
        def gate(self, tool_name, **kwargs):
            raise VelkorConnectionError("connection refused")

    client = Unreachable()
    llm = scripted([tool_call("search", {"q": "lisbon"}, "c1")], "gave up")
    ran.clear()
    with VelkorToolHooks(client, "planner-7", session_id="s1"):
        run_crew(llm, [search])

    assert ran == []
    assert llm.tool_messages()["c1"] == (
        "Tool call 'search' was blocked and did not run: the governance check failed "
        "(VelkorConnectionError: connection refused)"
    )
    assert client.audit_events() == []


APPROVAL_POLICY = """
@id("shell-needs-ok") @approval @reason("a person approves shell commands")
forbid(principal, action, resource == Tool::"shell");
permit(principal, action, resource);
"""


@pytest.mark.parametrize("approve", [True, False], ids=["approved", "denied"])
def test_a_call_awaiting_approval_runs_when_the_agent_makes_it_again(scripted, approve):
    client = VelkorClient(policy=APPROVAL_POLICY)
    ls = {"cmd": "ls /tmp"}

    def person_decides():
        (pending,) = client.approvals("pending")
        client.decide_approval(pending["id"], approve, by="ana")
        return [tool_call("shell", ls, "c3")]

    llm = scripted(
        [tool_call("shell", ls, "c1")],
        [tool_call("shell", ls, "c2")],  # asked again before anyone decided
        person_decides,
        [tool_call("shell", ls, "c4")],  # spent: asked afresh
        "done",
    )
    ran.clear()
    with VelkorToolHooks(client):
        run_crew(llm, [shell])

    replies = [m["content"] for m in llm.calls[-1] if m["role"] == "tool"]  # in call order
    first_id = client.approvals()[-1]["id"]
    assert replies[0] == replies[1]
    assert replies[0].startswith(f"Tool call 'shell' awaits approval (approval id {first_id})")
    if approve:
        assert replies[2] == "ran" and ran == ["shell"]
    else:
        assert replies[2].endswith("was denied by ana") and ran == []
    assert "awaits approval" in replies[3] and first_id not in replies[3]


def memory_for(client, crew, user=""):
    return Memory(
        llm=AnalysisLLM(model="analysis"),
        storage=VelkorMemoryStorage(client, crew=crew, user=user),
        embedder=embed,
    )


def test_crew_memory_is_recalled_by_the_same_crew_and_user_only(scripted):
    client = VelkorClient()
    first = scripted("Book the Alfama guesthouse for the Lisbon trip in May.")
    memory = memory_for(client, "travel", "ana")
    run_crew(first, [], memory)
    memory.drain_writes()

    stored = client.search_items(("crewai",))
    assert [item["value"]["content"] for item in stored] == [
        "Book the Alfama guesthouse for the Lisbon trip in May."
    ]
    assert stored[0]["value"]["scope"] == "/trips"

    again = scripted("done")
    run_crew(again, [], memory_for(client, "travel", "ana"), "Plan the Lisbon trip in May")
    assert "Alfama guesthouse" in again.prompt_text()

    for crew, user in [("travel", "bob"), ("billing", "ana")]:
        other = scripted("done")
        run_crew(other, [], memory_for(client, crew, user), "Plan the Lisbon trip in May")
        assert "Alfama" not in other.prompt_text()


def record(content, scope, **fields):
    return MemoryRecord(content=content, scope=scope, embedding=embed([content])[0], **fields)


def test_storage_scopes_filters_and_deletion():
    client = VelkorClient()
    store = VelkorMemoryStorage(client, crew="travel", user="ana.b")
    old = datetime.utcnow() - timedelta(days=40)
    records = [
        record("lisbon hotel booked", "/team/lisbon", categories=["travel"], created_at=old),
        record("lisbon flight booked", "/team", categories=["travel", "flights"]),
        record("porto dinner planned", "/teamwork", metadata={"city": "porto"}),
    ]
    store.save(records)
    hotel, flight, dinner = records

    query = embed(["lisbon booked"])[0]
    found = [r.content for r, _ in store.search(query, scope_prefix="/team")]
    assert sorted(found) == ["lisbon flight booked", "lisbon hotel booked"]
    ranked = store.search(query, categories=["flights"], limit=5)
    assert [r.id for r, _ in ranked] == [flight.id]
    assert store.search(query, metadata_filter={"city": "porto"})[0][0].id == dinner.id
    assert store.search(query, min_score=0.99) == []

    assert store.list_scopes("/") == ["/team", "/teamwork"]
    assert store.list_scopes("/team") == ["/team/lisbon"]
    info = store.get_scope_info("/team")
    assert (info.record_count, info.categories, info.child_scopes) == (
        2,
        ["flights", "travel"],
        ["/team/lisbon"],
    )
    assert store.list_categories() == {"travel": 2, "flights": 1}
    assert [r.id for r in store.list_records(limit=2)][-1] != hotel.id  # newest first

    moved = hotel.model_copy(update={"scope": "/archive", "content": "lisbon hotel cancelled"})
    store.update(moved)
    assert store.get_record(hotel.id).content == "lisbon hotel cancelled"
    assert store.count("/team") == 1 and store.count("/archive") == 1

    assert store.delete(older_than=datetime.utcnow() - timedelta(days=30)) == 1
    assert store.delete(record_ids=[flight.id, "missing"]) == 1
    assert [r.id for r in store.list_records()] == [dinner.id]
    store.reset()
    assert store.count() == 0


def test_storages_of_other_crews_or_users_share_nothing():
    client = VelkorClient()
    ana = VelkorMemoryStorage(client, crew="travel", user="ana")
    kept = record("ana likes window seats", "/")
    ana.save([kept])
    query = embed(["window seats"])[0]
    for other in [
        VelkorMemoryStorage(client, crew="travel", user="bob"),
        VelkorMemoryStorage(client, crew="travel"),
        VelkorMemoryStorage(client, crew="billing", user="ana"),
    ]:
        assert other.search(query) == []
        assert other.get_record(kept.id) is None
        assert other.delete(record_ids=[kept.id]) == 0
        other.reset()
    assert ana.get_record(kept.id) == kept


def test_search_refuses_an_embedding_of_another_size():
    from crewai.memory.storage.backend import EmbeddingDimensionMismatchError

    store = VelkorMemoryStorage(VelkorClient(), crew="travel")
    store.save([record("lisbon", "/")])
    with pytest.raises(EmbeddingDimensionMismatchError):
        store.search([1.0, 0.0])
