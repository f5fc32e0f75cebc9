"""LangGraph's own store kept by Velkor: a StateGraph compiled with store=VelkorStore(client).

The nodes use the store exactly as LangGraph's documentation writes them, through
`runtime.store`: an async node searches, then a sync node writes. No model is needed.
"""

import asyncio
import uuid
from dataclasses import dataclass
from typing import TypedDict

from langgraph.graph import END, START, StateGraph
from langgraph.graph.state import CompiledStateGraph
from langgraph.runtime import Runtime

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.langgraph import VelkorStore


@dataclass
class Context:
    user_id: str


class State(TypedDict, total=False):
    message: str
    reply: str


def remember(state: State, runtime: Runtime[Context]) -> State:
    """Keeps every message as a memory of the user who sent it."""
    namespace = ("memories", runtime.context.user_id)
    if runtime.store:
        runtime.store.put(namespace, str(uuid.uuid4()), {"text": state["message"]})
    return {}


async def respond(state: State, runtime: Runtime[Context]) -> State:
    """Answers with the memories most relevant to the message, found by the store."""
    namespace = ("memories", runtime.context.user_id)
    memories = []
    if runtime.store:
        memories = await runtime.store.asearch(namespace, query=state["message"], limit=2)
    recalled = "; ".join(f"{m.value['text']} ({m.score:g})" for m in memories if m.score)
    return {"reply": f"I remember: {recalled}" if recalled else "Nothing yet."}


def build(client: VelkorClient) -> CompiledStateGraph[State, Context, State, State]:
    builder = StateGraph(State, context_schema=Context)
    builder.add_node(remember)
    builder.add_node(respond)
    builder.add_edge(START, "respond")  # recall first, so a message does not find itself
    builder.add_edge("respond", "remember")
    builder.add_edge("remember", END)
    return builder.compile(store=VelkorStore(client))


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient()
    graph = build(client)

    async def chat(user_id: str, message: str) -> None:
        result = await graph.ainvoke({"message": message}, context=Context(user_id=user_id))
        print(f"{user_id}: {message!r} -> {result['reply']}")

    async def conversation() -> None:
        await chat("ana", "My favourite city is Porto.")
        await chat("ana", "I fly to Lisbon on 12 March.")
        await chat("bob", "Which city is my favourite?")  # Ana's memories are not Bob's
        await chat("ana", "Which city is my favourite?")

    asyncio.run(conversation())

    store = VelkorStore(client)
    print("namespaces:", store.list_namespaces(prefix=("memories",)))
    for item in store.search(("memories", "ana"), limit=5):
        print(f"ana's memory {item.key[:8]}: {item.value} (updated {item.updated_at:%H:%M:%S})")


if __name__ == "__main__":
    main()
