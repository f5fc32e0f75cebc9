"""A LangChain 1.x agent under Velkor governance and memory, on a scripted offline model."""

from collections.abc import Callable, Sequence
from typing import Any

from langchain.agents import create_agent
from langchain_core.callbacks import CallbackManagerForLLMRun
from langchain_core.language_models import LanguageModelInput
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, BaseMessage, SystemMessage, ToolMessage
from langchain_core.outputs import ChatResult
from langchain_core.runnables import Runnable, RunnableConfig
from langchain_core.tools import BaseTool, tool
from langgraph.checkpoint.memory import InMemorySaver

from velkor_agent_hooks.adapters import AgentHooks
from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.langchain import VelkorGovernanceMiddleware, VelkorMemoryMiddleware


class ScriptedModel(GenericFakeChatModel):
    """Replies from a script; remembers the system message of each call to show it later."""

    system_seen: list[str] = []

    def bind_tools(
        self,
        tools: Sequence[dict[str, Any] | type | Callable[..., Any] | BaseTool],
        *,
        tool_choice: str | None = None,
        **kwargs: Any,
    ) -> Runnable[LanguageModelInput, AIMessage]:
        return self

    def _generate(
        self,
        messages: list[BaseMessage],
        stop: list[str] | None = None,
        run_manager: CallbackManagerForLLMRun | None = None,
        **kwargs: Any,
    ) -> ChatResult:
        self.system_seen.append(" ".join(m.text for m in messages if isinstance(m, SystemMessage)))
        return super()._generate(messages, stop=stop, run_manager=run_manager, **kwargs)


@tool
def search_flights(city: str) -> str:
    """Find flights to a city."""
    return f"3 flights to {city}, cheapest on 12 March"


@tool
def cancel_bookings() -> str:
    """Cancel every booking the user has."""
    raise AssertionError("a denied tool never runs")


@tool
def weather(city: str) -> str:
    """Today's weather in a city."""
    raise TimeoutError("weather service did not answer")


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["cancel_bookings"])
    model = ScriptedModel(
        messages=iter(
            [
                AIMessage(
                    "",
                    tool_calls=[
                        {"name": "search_flights", "args": {"city": "Lisbon"}, "id": "call_1"},
                        {"name": "cancel_bookings", "args": {}, "id": "call_2"},
                        {"name": "weather", "args": {"city": "Lisbon"}, "id": "call_3"},
                    ],
                ),
                AIMessage("Three flights to Lisbon; I may not cancel bookings."),
                AIMessage("You were looking at Lisbon."),
            ]
        )
    )
    agent = create_agent(
        model,
        tools=[search_flights, cancel_bookings, weather],
        system_prompt="You plan trips.",
        middleware=[
            VelkorMemoryMiddleware(client),
            VelkorGovernanceMiddleware(AgentHooks(client, agent_id="planner")),
        ],
        checkpointer=InMemorySaver(),
    )
    config: RunnableConfig = {"configurable": {"thread_id": "trip-42"}}

    result = agent.invoke({"messages": [{"role": "user", "content": "Flights to Lisbon?"}]}, config)
    print("the model was told:")
    for message in result["messages"]:
        if isinstance(message, ToolMessage):
            print(f"  {message.name} [{message.status}]: {message.text}")
    print("final answer:", result["messages"][-1].text)

    print("audit:")
    # The tools ran in parallel; sorting by trace id keeps each gate before its report.
    for event in sorted(client.audit_events(), key=lambda e: str(e["trace_id"])):
        if event["kind"] == "gate":
            print(f"  {event['trace_id']} gate {event['tool_name']}: {event['outcome']}")
        else:
            preview = event["fields"].get("result_preview", "")
            print(f"  {event['trace_id']} {event['outcome_status']}: {preview}")

    agent.invoke({"messages": [{"role": "user", "content": "Which city were flights to?"}]}, config)
    print("next turn, the system message the model got:")
    print("  " + model.system_seen[-1].replace("\n", "\n  "))


if __name__ == "__main__":
    main()
