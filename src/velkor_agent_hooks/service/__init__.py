"""The Velkor service: memory, governance and the keyed store of a project over a storage.

``open_service`` is what the embedded client and the server start from. The layers:
``storage`` keeps rows (SQLite or PostgreSQL, one shared SQL layer, numbered migrations);
``memory``, ``governance`` and ``store`` hold the rules; ``server`` serves the operations
over HTTP; ``cli`` is the ``velkor`` command.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._service import Service
from .governance.approvals import DEFAULT_TTL
from .memory.embeddings import resolve
from .storage import open_storage

if TYPE_CHECKING:
    from .governance.policy import Policy

__all__ = ["Service", "open_service"]


def open_service(
    path: str | None,
    project: str,
    deny_tools: frozenset[str] = frozenset(),
    policy: Policy | None = None,
    approval_ttl: float = DEFAULT_TTL,
    memory_ttl: float | None = None,
    embedder: Any = None,
) -> Service:
    """The service of ``project`` over the storage ``path`` names (see ``open_storage``);
    ``embedder`` as ``memory.embeddings.resolve`` takes it."""
    resolved = resolve(embedder)
    storage = open_storage(path, project)
    try:
        return Service(storage, project, deny_tools, policy, approval_ttl, memory_ttl, resolved)
    except BaseException:
        storage.close()
        raise
