"""The one interface behind ``VelkorClient``, and the embedded backend.

A backend runs an operation of the table (``_operations``) on arguments the client has
already checked and returns the operation's result. The embedded backend runs the service
in this process; the HTTP backend (``_transport``) sends the operation to a server.
"""

from __future__ import annotations

from typing import Any, Protocol

from ._operations import Operation


class Backend(Protocol):
    kind: str

    def call(self, op: Operation, args: dict[str, Any]) -> Any:
        """The operation's result; a listing returns every row."""

    def close(self) -> None: ...


class EmbeddedBackend:
    """The service of one project, run in this process over the storage ``path`` names."""

    kind = "embedded"

    def __init__(
        self,
        path: str | None,
        project: str,
        deny_tools: frozenset[str],
        policy: Any = None,
        approval_ttl: float = 3600.0,
        memory_ttl: float | None = None,
        embedder: Any = None,
    ) -> None:
        # Loaded here, not at import: a client of a remote server never pays for storage.
        from ..service import open_service

        self.service = open_service(
            path, project, deny_tools, policy, approval_ttl, memory_ttl, embedder
        )

    def call(self, op: Operation, args: dict[str, Any]) -> Any:
        handler = self.service.handler(op.name)
        if op.page_key is not None:
            return handler(limit=None, offset=0, **args)
        return handler(**args)

    def close(self) -> None:
        self.service.close()
