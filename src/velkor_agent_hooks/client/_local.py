"""The service itself, over a storage: what the embedded client and the server run."""

from __future__ import annotations

import uuid
from datetime import UTC, datetime
from typing import Any

from ._storage import Storage, words
from ._types import ContextResult, GateDecision, pack_context


def now() -> str:
    return datetime.now(UTC).isoformat()


class LocalBackend:
    """Memory, governance and the keyed store of one project. Inputs arrive validated."""

    kind = "embedded"

    def __init__(self, storage: Storage, deny_tools: frozenset[str]) -> None:
        self.storage = storage
        self._deny = deny_tools

    def store(
        self, items: list[tuple[str, str]], session_id: str, user_id: str, timestamp: str
    ) -> list[str]:
        stamp = timestamp or now()
        rows = [
            {
                "id": f"mem_{uuid.uuid4().hex}",
                "session_id": session_id,
                "role": role,
                "text": text,
                "user_id": user_id,
                "timestamp": stamp,
            }
            for role, text in items
        ]
        self.storage.add_memories(rows)
        return [row["id"] for row in rows]

    def recall(self, query: str, max_tokens: int, session_id: str | None) -> ContextResult:
        ranked = self.storage.ranked_texts(query, session_id)
        return pack_context(ranked, max_tokens, ranked_by_query=bool(words(query)))

    def decide(self, event: dict[str, Any]) -> GateDecision:
        name = event["tool_name"]
        allow = name not in self._deny
        decision = GateDecision(
            allow=allow,
            governed=True,
            reason="no policy denies this tool" if allow else "deny_tools policy lists this tool",
            degraded=False,
            outcome="ALLOWED" if allow else "DENIED",
            tool_name=name,
            trace_id=event["trace_id"],
        )
        self.record({**event, "allow": allow, "outcome": decision.outcome})
        return decision

    def record(self, event: dict[str, Any]) -> str:
        event_id = f"evt_{uuid.uuid4().hex}"
        self.storage.add_event({"event_id": event_id, "recorded_at": now(), **event})
        return event_id

    def memories(self) -> list[dict[str, Any]]:
        return self.storage.list_memories()

    def events(self) -> list[dict[str, Any]]:
        return self.storage.list_events()

    def status(self) -> dict[str, Any]:
        memories, events = self.storage.counts()
        return {
            "backend": self.kind,
            "storage": self.storage.kind,
            "memories": memories,
            "audit_events": events,
            "deny_tools": sorted(self._deny),
        }

    def put_item(self, namespace: tuple[str, ...], key: str, value: dict[str, Any]) -> dict:
        return self.storage.put_item(namespace, key, value, now())

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        return self.storage.get_item(namespace, key)

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        return self.storage.delete_item(namespace, key)

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        return self.storage.search_items(prefix, query, filter, limit, offset)

    def list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]:
        return self.storage.list_namespaces(prefix, suffix, max_depth, limit, offset)

    def close(self) -> None:
        self.storage.close()
