"""An OpenAI Agents SDK run, governed: a scripted model calls an allowed, a denied and a failing
tool; the denied one never runs, the model reads why, and the audit shows each outcome."""

import asyncio

from agents import Agent, RunConfig, Runner, function_tool
from agents.testing import ScriptedModel, assistant_message, function_call

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.openai_agents import VelkorRunHooks, velkor_tool_guardrail


async def run(client: VelkorClient) -> None:
    gate = velkor_tool_guardrail(client, agent_id="planner")
    hooks = VelkorRunHooks(client, agent_id="planner")

    @function_tool(tool_input_guardrails=[gate])
    def search_web(q: str) -> str:
        """Search the web."""
        return f"3 results for {q!r}"

    @function_tool(tool_input_guardrails=[gate])
    def shell(cmd: str) -> str:
        """Run a shell command."""
        raise AssertionError("a denied tool must never run")

    @function_tool(tool_input_guardrails=[gate])
    def book_hotel(city: str) -> str:
        """Book a hotel."""
        raise RuntimeError(f"no rooms left in {city}")

    model = ScriptedModel(
        [
            [
                function_call("search_web", {"q": "lisbon hotels"}, call_id="call_search"),
                function_call("shell", {"cmd": "rm -rf /tmp/cache"}, call_id="call_shell"),
                function_call("book_hotel", {"city": "Lisbon"}, call_id="call_book"),
            ],
            [assistant_message("Found hotels; booking failed; shell was not allowed.")],
        ]
    )
    agent = Agent(name="planner", model=model, tools=[search_web, shell, book_hotel])
    result = await Runner.run(
        agent,
        "Plan my trip.",
        hooks=hooks,
        run_config=RunConfig(tracing_disabled=True),
    )
    last_call = model.last_call
    assert last_call is not None
    for item in last_call.input:
        if isinstance(item, dict) and item.get("type") == "function_call_output":
            print(f"  model read for {item['call_id']}: {item['output']}")
    print("  model says:", result.final_output)


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["shell"])
    asyncio.run(run(client))
    print("audit:")
    for event in client.audit_events():
        status = event.get("outcome", event.get("outcome_status"))
        print(f"  {event['kind']:8} {event['tool_name']:11} {event['trace_id']:12} {status}")


if __name__ == "__main__":
    main()
