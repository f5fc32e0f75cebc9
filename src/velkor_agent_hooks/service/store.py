"""The keyed store: JSON documents under a namespace and a key, as LangGraph's store keeps them."""

from __future__ import annotations

from typing import Any

from .clock import now
from .storage import Storage


class KeyedStore:
    def __init__(self, storage: Storage) -> None:
        self.storage = storage

    def op_put_item(
        self, namespace: tuple[str, ...], key: str, value: dict[str, Any]
    ) -> dict[str, Any]:
        return self.storage.put_item(namespace, key, value, now())

    def op_get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        return self.storage.get_item(namespace, key)

    def op_delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        return self.storage.delete_item(namespace, key)

    def op_search_items(
        self,
        namespace_prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        return self.storage.search_items(namespace_prefix, query, filter, limit, offset)

    def op_list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]:
        return self.storage.list_namespaces(prefix, suffix, max_depth, limit, offset)
