"""A LangChain-style conversation: each turn is saved, later questions recall it."""

from velkor_agent_hooks.adapters import LangChainMemory
from velkor_agent_hooks.client import VelkorClient


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient()
    memory = LangChainMemory(client, session_id="trip-planning")
    print("memory variables:", memory.memory_variables)

    turns = [
        ("I am flying to Lisbon on 12 March.", "Noted: Lisbon, 12 March."),
        ("My hotel is near the Alfama district.", "Alfama it is."),
        ("I prefer window seats on flights.", "Window seats, understood."),
    ]
    for question, answer in turns:
        memory.save_context({"input": question}, {"output": answer})
    print(f"saved {len(turns)} turns ({len(client.memories())} texts stored)")

    for question in ("Which city am I flying to?", "Where is my hotel?"):
        loaded = memory.load_memory_variables({"input": question})
        print(f"\nQ: {question}\nrecalled:\n  " + loaded["history"].replace("\n", "\n  "))


if __name__ == "__main__":
    main()
