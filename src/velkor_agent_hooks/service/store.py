"""The keyed store: JSON documents under a namespace and a key, as LangGraph's store keeps them.

Every operation runs through ``Storage.run_items``, alone or as a batch (``batch_items``): a
batch runs in order, each operation seeing the ones before it, its writes in one transaction.
An item put with ``ttl`` seconds expires that long after it was written or last read with
``refresh_ttl``; expired items are never returned, and writes purge them a batch at a time.
"""

from __future__ import annotations

import time
from typing import Any

from .clock import now
from .storage import Storage

PURGE_EVERY = 1.0
PURGE_BATCH = 500
_WRITES = frozenset({"put_item", "delete_item"})


class KeyedStore:
    def __init__(self, storage: Storage) -> None:
        self.storage = storage
        self._next_purge = 0.0

    def _run(self, ops: list[tuple[str, dict[str, Any]]]) -> list[Any]:
        if any(name in _WRITES for name, _ in ops):
            self._purge_some()
        return self.storage.run_items(ops, now())

    def _purge_some(self) -> None:
        moment = time.monotonic()
        if moment >= self._next_purge:
            self._next_purge = moment + PURGE_EVERY
            self.storage.purge_items(now(), PURGE_BATCH)

    def op_put_item(self, **args: Any) -> dict[str, Any]:
        return self._run([("put_item", args)])[0]  # type: ignore[no-any-return]

    def op_get_item(self, **args: Any) -> dict[str, Any] | None:
        return self._run([("get_item", args)])[0]  # type: ignore[no-any-return]

    def op_delete_item(self, **args: Any) -> bool:
        return self._run([("delete_item", args)])[0]  # type: ignore[no-any-return]

    def op_search_items(self, **args: Any) -> list[dict[str, Any]]:
        return self._run([("search_items", args)])[0]  # type: ignore[no-any-return]

    def op_list_namespaces(self, **args: Any) -> list[tuple[str, ...]]:
        return self._run([("list_namespaces", args)])[0]  # type: ignore[no-any-return]

    def op_batch_items(self, ops: list[tuple[str, dict[str, Any]]]) -> list[tuple[str, Any]]:
        """(operation, result) for each, in order."""
        results = self._run(ops) if ops else []
        return [(name, result) for (name, _), result in zip(ops, results, strict=True)]

    def op_purge_items(self) -> int:
        return self.storage.purge_items(now())
