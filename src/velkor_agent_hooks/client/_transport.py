"""The remote backend: each operation as a JSON request to a Velkor server."""

from __future__ import annotations

import dataclasses
import http.client
import json
from typing import Any
from urllib.parse import quote, urlsplit

from ._types import (
    ContextResult,
    GateDecision,
    VelkorConnectionError,
    VelkorHTTPError,
    VelkorProtocolError,
    VelkorTimeout,
)
from ._wire import PROJECT_HEADER, ROUTES

_JSON_TYPES = {"str": str, "int": int, "bool": bool}


def _reply_fields(reply: dict[str, Any], where: str, **types: type) -> list[Any]:
    values = [reply.get(name) for name in types]
    for (name, kind), value in zip(types.items(), values, strict=True):
        # Exact types: JSON true must not pass for an int, nor 1 for a bool.
        if type(value) is not kind:
            raise VelkorProtocolError(f"{where}: reply field {name!r} is not a {kind.__name__}")
    return values


def _reply_result[T](cls: type[T], reply: dict[str, Any], where: str) -> T:
    fields = dataclasses.fields(cls)  # type: ignore[arg-type]
    types = {f.name: _JSON_TYPES[str(f.type)] for f in fields}
    return cls(*_reply_fields(reply, where, **types))


def _reply_rows(reply: dict[str, Any], where: str, key: str) -> list[Any]:
    (rows,) = _reply_fields(reply, where, **{key: list})
    if not all(type(row) is dict for row in rows):
        raise VelkorProtocolError(f"{where}: reply field {key!r} holds a non-object")
    return rows


def _item(row: dict[str, Any], where: str) -> dict[str, Any]:
    namespace = row.get("namespace")
    if type(namespace) is not list or not all(type(label) is str for label in namespace):
        raise VelkorProtocolError(f"{where}: item namespace is not a list of str")
    _reply_fields(row, where, key=str, value=dict, created_at=str, updated_at=str)
    return {**row, "namespace": tuple(namespace)}


def _arguments(event: dict[str, Any]) -> dict[str, Any]:
    """The keywords of the ``gate`` or ``observe`` call that built ``event``."""
    return {key: value for key, value in event.items() if key != "kind"}


class HttpBackend:
    """The embedded backend's operations, sent to a Velkor server. Inputs arrive validated."""

    kind = "http"

    def __init__(
        self,
        base_url: str,
        project: str,
        timeout: float,
        deny: frozenset[str],
        api_key: str | None = None,
    ) -> None:
        parts = urlsplit(base_url)
        if parts.scheme not in ("http", "https") or not parts.hostname or parts.query:
            raise ValueError(f"base_url must be http(s)://host[:port][/path], got {base_url!r}")
        port = parts.port  # ValueError for a port that is not a number in range
        https = parts.scheme == "https"
        self._connection = http.client.HTTPSConnection if https else http.client.HTTPConnection
        self._address = (parts.hostname, port)
        self._prefix = parts.path.rstrip("/")
        self._timeout = timeout
        self._deny = deny
        self._headers = {"Accept": "application/json", PROJECT_HEADER: quote(project)}
        if api_key:
            self._headers["Authorization"] = f"Bearer {api_key}"

    def _call(self, operation: str, payload: dict[str, Any] | None = None) -> dict:
        method, path = ROUTES[operation]
        where, headers, body = f"{method} {path}", dict(self._headers), None
        if payload is not None:
            # Serialise first: a value JSON cannot carry fails before any connection is made.
            body = json.dumps(payload).encode()
            headers["Content-Type"] = "application/json"
        conn = self._connection(*self._address, timeout=self._timeout)
        try:
            conn.request(method, self._prefix + path, body=body, headers=headers)
            response = conn.getresponse()
            status, data = response.status, response.read()
        except TimeoutError as exc:
            raise VelkorTimeout(f"{where}: no reply within {self._timeout:g} s") from exc
        except ConnectionError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        except http.client.HTTPException as exc:
            raise VelkorProtocolError(f"{where}: malformed HTTP reply: {exc!r}") from exc
        except OSError as exc:
            raise VelkorConnectionError(f"{where}: {exc}") from exc
        finally:
            conn.close()
        try:
            reply = json.loads(data)
        except ValueError:
            reply = None
        if status != 200:
            error = reply.get("error") if isinstance(reply, dict) else None
            if isinstance(error, dict) and isinstance(error.get("message"), str):
                raise VelkorHTTPError(status, error["message"], str(error.get("type") or ""))
            text = data.decode("utf-8", "replace").strip()[:200]
            raise VelkorHTTPError(status, text or http.client.responses.get(status, "error"))
        if type(reply) is not dict:
            raise VelkorProtocolError(f"{where}: reply is not a JSON object")
        return reply

    def store(
        self, items: list[tuple[str, str]], session_id: str, user_id: str, timestamp: str
    ) -> list[str]:
        turns = [{"role": role, "text": text} for role, text in items]
        payload = {"turns": turns, "session_id": session_id, "user_id": user_id}
        reply = self._call("remember", {**payload, "timestamp": timestamp})
        (ids,) = _reply_fields(reply, "remember", ids=list)
        if len(ids) != len(items) or not all(type(i) is str for i in ids):
            raise VelkorProtocolError(f"remember: expected {len(items)} ids, got {ids!r}")
        return ids

    def recall(self, query: str, max_tokens: int, session_id: str | None) -> ContextResult:
        payload: dict[str, Any] = {"query": query, "max_tokens": max_tokens}
        if session_id is not None:
            payload["session_id"] = session_id
        return _reply_result(ContextResult, self._call("context", payload), "context")

    def decide(self, event: dict[str, Any]) -> GateDecision:
        reply = self._call("gate", _arguments(event))
        decision = _reply_result(GateDecision, reply, "gate")
        if decision.allow and event["tool_name"] in self._deny:
            reason = "client deny_tools policy lists this tool"
            return dataclasses.replace(decision, allow=False, reason=reason, outcome="DENIED")
        return decision

    def record(self, event: dict[str, Any]) -> str:
        reply = self._call("observe", _arguments(event))
        return _reply_fields(reply, "observe", event_id=str)[0]

    def memories(self) -> list[dict[str, Any]]:
        return _reply_rows(self._call("memories"), "memories", "memories")

    def events(self) -> list[dict[str, Any]]:
        return _reply_rows(self._call("audit_events"), "audit-events", "events")

    def status(self) -> dict[str, Any]:
        reply = self._call("doctor")
        memories, events, deny, version = _reply_fields(
            reply, "doctor", memories=int, audit_events=int, deny_tools=list, version=str
        )
        return {
            "backend": self.kind,
            "memories": memories,
            "audit_events": events,
            "deny_tools": sorted(self._deny.union(map(str, deny))),
            "server_version": version,
        }

    def put_item(self, namespace: tuple[str, ...], key: str, value: dict[str, Any]) -> dict:
        reply = self._call("put_item", {"namespace": namespace, "key": key, "value": value})
        return _item(reply, "put_item")

    def get_item(self, namespace: tuple[str, ...], key: str) -> dict[str, Any] | None:
        reply = self._call("get_item", {"namespace": namespace, "key": key})
        item = reply.get("item")
        if item is None:
            return None
        if type(item) is not dict:
            raise VelkorProtocolError("get_item: reply field 'item' is not an object")
        return _item(item, "get_item")

    def delete_item(self, namespace: tuple[str, ...], key: str) -> bool:
        reply = self._call("delete_item", {"namespace": namespace, "key": key})
        return _reply_fields(reply, "delete_item", deleted=bool)[0]

    def search_items(
        self,
        prefix: tuple[str, ...],
        query: str | None,
        filter: dict[str, Any] | None,
        limit: int,
        offset: int,
    ) -> list[dict[str, Any]]:
        payload = {
            "namespace_prefix": prefix,
            "query": query,
            "filter": filter,
            "limit": limit,
            "offset": offset,
        }
        rows = _reply_rows(self._call("search_items", payload), "search_items", "items")
        return [_item(row, "search_items") for row in rows]

    def list_namespaces(
        self,
        prefix: tuple[str, ...] | None,
        suffix: tuple[str, ...] | None,
        max_depth: int | None,
        limit: int,
        offset: int,
    ) -> list[tuple[str, ...]]:
        payload = {
            "prefix": prefix,
            "suffix": suffix,
            "max_depth": max_depth,
            "limit": limit,
            "offset": offset,
        }
        reply = self._call("list_namespaces", payload)
        (rows,) = _reply_fields(reply, "list_namespaces", namespaces=list)
        if not all(type(ns) is list and all(type(x) is str for x in ns) for ns in rows):
            raise VelkorProtocolError("list_namespaces: a namespace is not a list of str")
        return [tuple(ns) for ns in rows]

    def close(self) -> None:
        pass
