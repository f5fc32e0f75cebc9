"""One project's service over a storage: what the embedded client and the server run.

Each operation of the table in ``client/_operations`` has a handler here, found by name on
the service's parts: memory, governance, the keyed store, and inspection. Arguments arrive
checked by the table.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .. import __version__
from .governance import Governance
from .governance.approvals import DEFAULT_TTL
from .memory import Memory
from .memory.embeddings import Embedder
from .storage import Storage
from .store import KeyedStore

if TYPE_CHECKING:
    from .governance.policy import Policy


class Service:
    def __init__(
        self,
        storage: Storage,
        project: str,
        deny_tools: frozenset[str],
        policy: Policy | None = None,
        approval_ttl: float = DEFAULT_TTL,
        memory_ttl: float | None = None,
        embedder: Embedder | None = None,
    ) -> None:
        self.storage = storage
        self.project = project
        self.governance = Governance(storage, deny_tools, policy, approval_ttl)
        self.memory = Memory(storage, self.governance.record, memory_ttl, embedder)
        self.store = KeyedStore(storage)
        self._parts = (self.memory, self.governance, self.store, self)

    def handler(self, name: str) -> Callable[..., Any]:
        for part in self._parts:
            method = getattr(part, "op_" + name, None)
            if method is not None:
                return method  # type: ignore[no-any-return]
        raise LookupError(f"no handler for operation {name!r}")

    def op_doctor(self) -> dict[str, Any]:
        memories, events = self.storage.counts()
        return {
            "ok": True,
            "version": __version__,
            "project": self.project,
            "base_url": None,
            "backend": "embedded",
            "storage": self.storage.kind,
            "memories": memories,
            "audit_events": events,
            "deny_tools": sorted(self.governance.deny_tools),
            "policy_version": policy.version if (policy := self.governance.policy) else None,
            "embedder": embedder.name if (embedder := self.memory.embedder) else None,
        }

    def close(self) -> None:
        self.storage.close()
