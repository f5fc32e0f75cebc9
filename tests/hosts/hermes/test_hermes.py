"""The Velkor plugin as Hermes loads it, driving real agents against a scripted model."""

import importlib.metadata
import json
import os
import subprocess
import sys

import pytest
from conftest import HOME, ran

from velkor_agent_hooks import hermes
from velkor_agent_hooks.client import VelkorClient, VelkorConnectionError


@pytest.fixture
def client():
    client = VelkorClient(deny_tools=["shell"])
    hermes.set_client(client)
    yield client
    hermes.set_client(None)


def test_agent_tool_calls_are_gated_and_their_outcomes_reported(agent_for, model, client):
    agent = agent_for(
        [
            ("search", {"q": "lisbon"}, "c1"),
            ("shell", {"cmd": "rm -rf /"}, "c2"),
            ("book", {"city": "Porto"}, "c3"),
        ],
        "all done",
    )
    assert agent.run_conversation("plan a trip")["final_response"] == "all done"

    assert sorted(ran) == ["book", "search"]
    blocked = json.loads(model.tool_results()["c2"])["error"]
    assert blocked.startswith("Tool call 'shell' was blocked and did not run: deny_tools")
    events = client.audit_events()
    gates = {e["trace_id"]: e["outcome"] for e in events if e["kind"] == "gate"}
    assert gates == {"c1": "ALLOWED", "c2": "DENIED", "c3": "ALLOWED"}
    observed = {
        e["trace_id"]: (e["outcome_status"], e["fields"]["result_preview"])
        for e in events
        if e["kind"] == "observe"
    }
    assert observed.keys() == {"c1", "c3"}
    assert observed["c1"] == ("SUCCESS", '{"results": "3 results for lisbon"}')
    assert observed["c3"][0] == "FAILED" and "no rooms in Porto" in observed["c3"][1]
    assert {(e["agent_id"], e["session_id"]) for e in events} == {("hermes", agent.session_id)}


def test_a_gate_that_cannot_be_asked_blocks_the_call(agent_for, model):
    class Unreachable(VelkorClient):
        def gate(self, tool_name, **kwargs):
            raise VelkorConnectionError("connection refused")

    hermes.set_client(Unreachable())
    try:
        agent_for([("search", {"q": "lisbon"}, "c1")], "gave up").run_conversation("go")
    finally:
        hermes.set_client(None)
    assert ran == []
    assert json.loads(model.tool_results()["c1"])["error"] == (
        "Tool call 'search' was blocked and did not run: the governance check failed "
        "(VelkorConnectionError: connection refused)"
    )


APPROVAL_POLICY = """
@id("shell-needs-ok") @approval @reason("a person approves shell commands")
forbid(principal, action, resource == Tool::"shell");
permit(principal, action, resource);
"""


@pytest.mark.parametrize("approve", [True, False], ids=["approved", "denied"])
def test_a_call_awaiting_approval_runs_when_the_model_makes_it_again(agent_for, model, approve):
    client = VelkorClient(policy=APPROVAL_POLICY)
    hermes.set_client(client)
    ls = {"cmd": "ls /tmp"}

    def person_decides():
        (pending,) = client.approvals("pending")
        client.decide_approval(pending["id"], approve, by="ana")
        return [("shell", ls, "c3")]

    agent = agent_for(
        [("shell", ls, "c1")],
        [("shell", ls, "c2")],  # asked again before anyone decided
        person_decides,
        [("shell", ls, "c4")],  # spent: asked afresh
        "done",
        max_iterations=8,
    )
    try:
        assert agent.run_conversation("tidy up")["final_response"] == "done"
    finally:
        hermes.set_client(None)

    results = model.tool_results()
    first_id = client.approvals()[-1]["id"]
    asked = json.loads(results["c1"])["error"]
    assert asked.startswith(f"Tool call 'shell' awaits approval (approval id {first_id})")
    assert json.loads(results["c2"])["error"] == asked
    if approve:
        assert json.loads(results["c3"]) == {"output": "ran"} and ran == ["shell"]
    else:
        assert json.loads(results["c3"])["error"].endswith("was denied by ana") and ran == []
    again = json.loads(results["c4"])["error"]
    assert "awaits approval" in again and first_id not in again


def memory_texts(client):
    return [(m["session_id"], m["role"], m["text"]) for m in client.memories()]


def test_memory_recalls_a_users_earlier_session_and_keeps_each_turn_once(agent_for, model, client):
    first = agent_for("Noted: May 3.", "Enjoy Lisbon!", user_id="ana")
    turn = first.run_conversation("My flight to Lisbon leaves May 3.")
    turn = first.run_conversation("Thanks!", conversation_history=turn["messages"])
    first.shutdown_memory_provider(turn["messages"])
    scope = "hermes/default/ana"
    assert memory_texts(client) == [
        (scope, "user", "My flight to Lisbon leaves May 3."),
        (scope, "assistant", "Noted: May 3."),
        (scope, "user", "Thanks!"),
        (scope, "assistant", "Enjoy Lisbon!"),
    ]

    agent_for("May 3.", user_id="ana").run_conversation("When does my flight to Lisbon leave?")
    assert "My flight to Lisbon leaves May 3." in model.user_text()
    agent_for("No idea.", user_id="bob").run_conversation("When does my flight to Lisbon leave?")
    assert "May 3" not in model.user_text()


def test_session_end_stores_the_turns_syncs_missed_and_late_syncs_add_nothing(client):
    provider = hermes.VelkorMemoryProvider()
    provider.initialize("s1", user_id="ana", agent_context="primary")
    history = [
        {"role": "user", "content": "Book Porto."},
        {"role": "assistant", "content": "Booked."},
        {"role": "user", "content": "And Lisbon?"},
        {"role": "assistant", "content": None, "tool_calls": [{"id": "c1"}]},
        {"role": "tool", "tool_call_id": "c1", "content": "{}"},
        {"role": "assistant", "content": [{"type": "text", "text": "Lisbon too."}]},
        {"role": "user", "content": "Interrupted question"},
    ]
    provider.sync_turn("Book Porto.", "Booked.", session_id="s1", messages=history[:2])
    provider.on_session_end(history)
    provider.sync_turn("And Lisbon?", "Lisbon too.", session_id="s1", messages=history[:6])
    provider.on_session_end(history)
    assert [text for _, _, text in memory_texts(client)] == [
        "Book Porto.",
        "Booked.",
        "And Lisbon?",
        "Lisbon too.",
    ]


def test_hermes_finds_the_plugin_in_its_home_and_among_its_entry_points():
    from plugins.memory import load_memory_provider

    assert hermes.install_plugin() == os.path.join(HOME, "plugins", "velkor")
    assert isinstance(load_memory_provider("velkor"), hermes.VelkorMemoryProvider)
    entry = importlib.metadata.entry_points(group="hermes_agent.plugins", name="velkor")
    assert [ep.load() for ep in entry] == [hermes]


def test_velkor_hermes_install_writes_the_plugin_and_says_what_next(tmp_path, capsys):
    from velkor_agent_hooks.service.cli import main

    assert main(["hermes", "install", "--home", str(tmp_path)]) == 0
    path, *steps = capsys.readouterr().out.splitlines()
    assert path == str(tmp_path / "plugins" / "velkor")
    assert sorted(os.listdir(path)) == ["__init__.py", "plugin.yaml"]
    assert [step.split(": ")[-1].strip() for step in steps] == [
        "hermes plugins enable velkor",
        "hermes config set memory.provider velkor",
    ]


def test_velkor_hermes_install_without_hermes_is_a_one_line_error():
    code = (
        "import sys; sys.modules['agent'] = None\n"
        "from velkor_agent_hooks.service.cli import main\n"
        "sys.exit(main(['hermes', 'install']))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == (
        "error: velkor_agent_hooks.hermes needs Hermes Agent: "
        "pip install 'velkor-agent-hooks[hermes]'\n"
    )
