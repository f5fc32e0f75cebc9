"""Memory that recalls what was meant and forgets when told, on the embedded client."""

from velkor_agent_hooks.client import VelkorClient


def main() -> None:
    with VelkorClient() as client:
        client.remember_turns(
            [
                {"role": "user", "text": "Where am I flying next week?"},
                {"role": "assistant", "text": "You fly to Lisbon on Monday, back on Friday."},
                {"role": "user", "text": "And the hotel?"},
                {"role": "assistant", "text": "Casa Azul, by the river, two nights."},
            ],
            session_id="trip",
            user_id="ana",
            timestamp="2026-05-04T09:00:00+00:00",
        )
        client.remember("Bob's cat is called Tom", session_id="bob-chat", user_id="bob")
        client.remember("Call the bank about the card", session_id="todo", ttl=3600)
        print("recall 'where am I flying?' for ana:")
        for memory in client.recall("where am I flying?", limit=3, user_id="ana"):
            print(f"  {memory['score']:.2f}  {memory['text']}")
        print("context 'which hotel did I book?' within 30 tokens:")
        print("  " + client.context("which hotel did I book?", max_tokens=30).text)
        print("forget ana's memories:", client.forget(user_id="ana"))
        print("left:", [m["text"] for m in client.memories()])
        print("audit:", [(e["kind"], e.get("erased")) for e in client.audit_events()])


if __name__ == "__main__":
    main()
