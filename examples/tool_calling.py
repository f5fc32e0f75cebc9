"""A tool-calling loop: offer the schemas, dispatch the model's calls, guard real tools."""

import json
from typing import Any

from velkor_agent_hooks.adapters import AgentHooks, dispatch, openai_tools
from velkor_agent_hooks.client import GovernanceDenied, VelkorClient


def run_tool(name: str, arguments: dict[str, Any]) -> str:
    """The host's own tools."""
    if name == "search_web":
        return f"3 results for {arguments['q']!r}"
    if name == "shell":
        return "rm -rf /tmp/cache"
    raise RuntimeError(f"tool {name} crashed")


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["shell"])
    tools = openai_tools()
    print("offered to the model:", [t["function"]["name"] for t in tools])
    print("first schema:", json.dumps(tools[0]))

    # Calls a model might make to the Velkor tools themselves.
    model_calls: list[tuple[str, dict[str, Any]]] = [
        ("velkor_remember", {"text": "The user's deadline is Friday.", "role": "user"}),
        ("velkor_context", {"query": "When is the deadline?", "max_tokens": 200}),
        ("velkor_gate", {"tool_name": "shell", "agent_id": "planner"}),
    ]
    for name, arguments in model_calls:
        print(f"dispatch {name}: {dispatch(client, name, arguments)}")

    # The host's real tools run only inside the guard, which enforces the gate.
    hooks = AgentHooks(client, agent_id="planner")
    host_calls: list[tuple[str, dict[str, Any]]] = [
        ("search_web", {"q": "lisbon"}),
        ("shell", {}),
        ("flaky", {}),
    ]
    for name, arguments in host_calls:
        try:
            with hooks.guard(name, arguments, session_id="s1") as decision:
                print(f"{name}: allowed ({decision.outcome}) -> {run_tool(name, arguments)}")
        except GovernanceDenied as denied:
            print(f"{name}: blocked before running: {denied}")
        except RuntimeError as failure:
            print(f"{name}: failed and reported: {failure}")
    for event in client.audit_events():
        if event["kind"] == "observe":
            status, fields = event["outcome_status"], event["fields"]
            print(f"  reported {event['tool_name']}: {status} {fields}")


if __name__ == "__main__":
    main()
