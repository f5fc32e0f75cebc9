"""Checked with mypy --strict: VelkorStore goes wherever LangGraph and LangChain take a store."""

from typing import TypedDict

from langchain.agents import create_agent
from langgraph.graph import START, StateGraph
from langgraph.runtime import Runtime
from langgraph.store.base import BaseStore, Item

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.langgraph import VelkorStore


class State(TypedDict):
    note: str


def node(state: State, runtime: Runtime[None]) -> State:
    if runtime.store:
        item: Item | None = runtime.store.get(("notes",), "latest")
        if item:
            return {"note": str(item.value["text"])}
    return state


client = VelkorClient()
builder = StateGraph(State)
builder.add_node(node)
builder.add_edge(START, "node")
graph = builder.compile(store=VelkorStore(client))
agent = create_agent("openai:gpt-4o-mini", tools=[], store=VelkorStore(client))
store: BaseStore = VelkorStore(client)

VelkorStore()  # error: the client is required
VelkorStore(client).put(("notes",), "k", "text")  # error: values are mappings
