"""A CrewAI crew, governed, with memory kept by the service. Scripted models, no network.

The crew's agent calls an allowed, a denied and a failing tool; the denied one never runs and
the agent reads why; the audit shows each outcome under one trace id per call. The crew's
memory (CrewAI's own Memory, on VelkorMemoryStorage) keeps the result, and a second crew of
the same owner recalls it, while another user's crew does not.

Run it in a venv with CrewAI: `.venv-crewai/bin/python examples/crewai_crew.py`.
"""

import hashlib
import json
import math
import os
import shutil
import tempfile

for flag in ("CREWAI_DISABLE_TELEMETRY", "OTEL_SDK_DISABLED"):
    os.environ.setdefault(flag, "true")
os.environ.setdefault("CREWAI_TRACING_ENABLED", "false")
# CrewAI keeps run records under the data home: a throwaway one for the demo.
DATA = os.environ["XDG_DATA_HOME"] = tempfile.mkdtemp(prefix="crewai-demo-")

from crewai import Agent, Crew, Task  # noqa: E402
from crewai.llms.base_llm import BaseLLM  # noqa: E402
from crewai.memory.analyze import ExtractedMemories, MemoryAnalysis  # noqa: E402
from crewai.memory.unified_memory import Memory  # noqa: E402
from crewai.tools import tool  # noqa: E402

from velkor_agent_hooks.client import VelkorClient  # noqa: E402
from velkor_agent_hooks.crewai import VelkorMemoryStorage, VelkorToolHooks  # noqa: E402


class ScriptedLLM(BaseLLM):
    """Answers with the next scripted turn: tool calls, or the final text."""

    turns: list = []
    seen: list = []

    def call(self, messages, *args, **kwargs):
        self.seen = list(messages) if isinstance(messages, list) else [messages]
        return self.turns.pop(0)

    def supports_function_calling(self):
        return True

    def get_input_tokens_count(self, messages, *args, **kwargs):
        return len(str(messages)) // 4  # CrewAI's own estimate, without its warning


class MemoryLLM(BaseLLM):
    """Memory's analysis model: each task's result is one memory, filed under /trips."""

    def call(self, messages, *args, response_model=None, **kwargs):
        text = messages[-1]["content"]
        if response_model is ExtractedMemories:
            lines = text.splitlines()
            return ExtractedMemories(memories=[ln[8:] for ln in lines if ln.startswith("Result: ")])
        if response_model is MemoryAnalysis:
            return MemoryAnalysis(suggested_scope="/trips", categories=["travel"], importance=0.8)
        return response_model() if response_model else ""

    def supports_function_calling(self):
        return True


def embed(texts):
    """A stand-in embedder: hashed words, so texts sharing words are near."""
    vectors = []
    for text in texts:
        vector = [0.0] * 32
        for word in text.lower().split():
            vector[hashlib.sha256(word.strip(".,?!").encode()).digest()[0] % 32] += 1.0
        norm = math.sqrt(sum(x * x for x in vector)) or 1.0
        vectors.append([x / norm for x in vector])
    return vectors


@tool("search_web")
def search_web(q: str) -> str:
    """Search the web."""
    return f"3 results for {q!r}"


@tool("shell")
def shell(cmd: str) -> str:
    """Run a shell command."""
    raise AssertionError("a denied tool must never run")


@tool("book_hotel")
def book_hotel(city: str) -> str:
    """Book a hotel."""
    raise RuntimeError(f"no rooms left in {city}")


def call(name, arguments, call_id):
    return {
        "id": call_id,
        "type": "function",
        "function": {"name": name, "arguments": json.dumps(arguments)},
    }


def crew_run(llm, description, memory, tools=()):
    agent = Agent(
        role="planner",
        goal="Plan trips",
        backstory="A careful planner.",
        llm=llm,
        tools=list(tools),
    )
    task = Task(description=description, expected_output="A plan.", agent=agent)
    return Crew(agents=[agent], tasks=[task], memory=memory).kickoff().raw


def memory_of(client, user):
    storage = VelkorMemoryStorage(client, crew="travel", user=user)
    return Memory(llm=MemoryLLM(model="memory"), storage=storage, embedder=embed)


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["shell"])
    llm = ScriptedLLM(
        model="scripted",
        turns=[
            [
                call("search_web", {"q": "lisbon hotels"}, "call_search"),
                call("shell", {"cmd": "rm -rf /tmp/cache"}, "call_shell"),
                call("book_hotel", {"city": "Lisbon"}, "call_book"),
            ],
            "Stay at the Alfama guesthouse in Lisbon; booking must be done by phone.",
        ],
    )
    memory = memory_of(client, "ana")
    with VelkorToolHooks(client):
        answer = crew_run(llm, "Plan a trip to Lisbon.", memory, [search_web, shell, book_hotel])
    memory.drain_writes()
    for message in llm.seen:
        if message.get("role") == "tool":
            print(f"  agent read for {message['tool_call_id']}: {message['content']}")
    print("  crew says:", answer)
    print("audit:")
    for event in client.audit_events():
        status = event.get("outcome") or event.get("outcome_status")
        print(f"  {event['kind']:8} {event['tool_name']:11} {event['trace_id'][:15]:16} {status}")

    for user in ("ana", "bob"):
        later = ScriptedLLM(model="scripted", turns=["Noted."])
        crew_run(later, "Plan the Lisbon trip again.", memory_of(client, user))
        prompt = "\n".join(str(m.get("content")) for m in later.seen)
        recalled = [ln.strip() for ln in prompt.splitlines() if "(score=" in ln]
        print(f"  a later crew for {user} recalls: {recalled or 'nothing'}")
    shutil.rmtree(DATA, ignore_errors=True)


if __name__ == "__main__":
    main()
