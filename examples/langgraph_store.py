"""A LangGraph-style store: put values under a namespace, search it for context."""

from velkor_agent_hooks.adapters import LangGraphStore
from velkor_agent_hooks.client import VelkorClient


def main(client: VelkorClient | None = None) -> None:
    store = LangGraphStore(client or VelkorClient())
    namespace = ("users", "ana")
    print("put:", store.put(namespace, "profile", {"name": "Ana", "city": "Porto", "tz": "WET"}))
    print("put:", store.put(namespace, "note", "Ana prefers short answers."))

    for hit in store.search(namespace, query="Which city does Ana live in?", limit=2):
        print(f"hit: namespace={hit['namespace']} score={hit['score']} hash={hit['hash']}")
        print("     value:", hit["value"].replace("\n", " | "))
    print("no match:", store.search(namespace, query="zzz unrelated"))


if __name__ == "__main__":
    main()
