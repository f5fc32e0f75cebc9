"""CrewAI: governed tool calls through CrewAI's tool-call hooks, memory kept by the service.

``VelkorToolHooks`` gates every tool call CrewAI makes while it is registered (``register()``
or ``with hooks:``; CrewAI's hooks are process-wide, so every crew is governed). Each call
gets its own trace id, shared by its gate and its report. The agent id is the hooks' own or,
without one, the CrewAI agent's role; the session is the hooks' own or the crew's id.

* A denied call does not run: the before hook raises CrewAI's ``HookAborted``, and the after
  hook (which CrewAI runs for blocked calls too) replaces CrewAI's generic "blocked by hook"
  text with the reason, which the agent reads before it goes on.
* A call awaiting a person's approval is blocked the same way, the agent reading that it
  awaits approval, with the approval's id. The same call made again (agent, session, tool
  and input) names that approval: once approved it runs, once; while pending it gets the
  same answer; denied or expired it is blocked saying which, and the next one is asked
  afresh. The session is part of it: give ``session_id`` for retries in another crew.
* A failure of the service blocks the call too: CrewAI swallows any other exception a hook
  raises and runs the tool, so a gate that cannot be asked must say no.
* A call that ran is reported by the after hook with a preview of the text the agent reads:
  FAILED when the tool returned a ``ToolFailure`` or CrewAI's result is its own text for a
  raised exception, an unknown tool or a spent usage limit (the hook is handed that text,
  not the exception); SUCCESS otherwise. A call the gate allowed but another hook blocked is
  reported BLOCKED.

``VelkorMemoryStorage`` is a CrewAI ``StorageBackend`` for ``Memory(storage=...)`` whose
records live in the service's keyed store, one item per record under
``("crewai", "c:<crew>", "u:<user>", *scope labels)``: two crews, or two users of one crew,
never see each other's records, whatever scope CrewAI asks for. CrewAI hands ``search`` the
query's embedding, not its text, so each item keeps its record's embedding and search ranks
the records of the scope by cosine similarity (negative similarity counts as 0) here, after
reading them from the service; scope prefixes match whole labels ("/team" is not a prefix of
"/teamwork"). Each search reads every record of the scope, embeddings included: fine for
the few thousand memories of a crew on an embedded or nearby service, too slow for large
stores.

Both make blocking client calls, as CrewAI's own hooks and storages do.
"""

from __future__ import annotations

import asyncio
import math
import re
import threading
import uuid
from collections.abc import Iterator, Mapping, Sequence
from datetime import UTC, datetime
from typing import Any, Self

try:
    from crewai.hooks import (
        HookAborted,
        ToolCallHookContext,
        register_after_tool_call_hook,
        register_before_tool_call_hook,
        unregister_after_tool_call_hook,
        unregister_before_tool_call_hook,
    )
    from crewai.memory.storage.backend import EmbeddingDimensionMismatchError
    from crewai.memory.types import MemoryRecord, ScopeInfo
    from crewai.tools.tool_failure import ToolFailure
    from crewai.utilities.i18n import I18N_DEFAULT
except ImportError as exc:
    raise ImportError(
        "velkor_agent_hooks.crewai needs CrewAI: pip install 'velkor-agent-hooks[crewai]'"
    ) from exc

from . import _approvals
from .client import VelkorClient

__all__ = ["VelkorMemoryStorage", "VelkorToolHooks"]

_PREVIEW_CHARS = 1000
_BLOCKED_BY_HOOK = "Tool execution blocked by hook."
# CrewAI's own result texts for calls that did not succeed, as its executors word them.
_RAISED_NATIVE = "Error executing tool: "
_RAISED_REACT = I18N_DEFAULT.errors("tool_usage_exception").split("{error}")[0]
_UNKNOWN_TOOL = "Tool not found"
_USAGE_SPENT = re.compile(
    r"Tool '.*' has reached its (usage limit of \d+ times|maximum usage limit)"
)


def _preview(text: object) -> dict[str, str]:
    return {"result_preview": str(text)[:_PREVIEW_CHARS]}


def _failed(context: ToolCallHookContext) -> bool:
    raw = context.raw_tool_result
    if isinstance(raw, ToolFailure):
        return True
    text = context.tool_result
    if not isinstance(text, str) or not isinstance(raw, str) or raw != text:
        return False
    return (
        text.startswith(_RAISED_NATIVE)
        or text.lstrip().startswith(_RAISED_REACT)
        or text == _UNKNOWN_TOOL
        or _USAGE_SPENT.match(text) is not None
    )


class _Call:
    __slots__ = ("agent_id", "refusal", "session_id", "tool_input", "trace_id")

    def __init__(self, tool_input: dict[str, Any], agent_id: str, session_id: str) -> None:
        self.tool_input = tool_input  # held, so its id is not reused while the call runs
        self.agent_id = agent_id
        self.session_id = session_id
        self.trace_id = f"crewai_{uuid.uuid4().hex}"
        self.refusal: str | None = None


class VelkorToolHooks:
    """CrewAI before/after tool-call hooks that gate each call and report how it ended."""

    def __init__(
        self,
        client: VelkorClient,
        agent_id: str | None = None,
        *,
        session_id: str | None = None,
    ) -> None:
        self.client = client
        self.agent_id = agent_id
        self.session_id = session_id
        self._calls: dict[int, _Call] = {}
        self._lock = threading.Lock()

    def register(self) -> Self:
        """Registers both hooks with CrewAI (for every crew of the process)."""
        register_before_tool_call_hook(self.before_tool_call)
        register_after_tool_call_hook(self.after_tool_call)
        return self

    def unregister(self) -> None:
        unregister_before_tool_call_hook(self.before_tool_call)
        unregister_after_tool_call_hook(self.after_tool_call)

    def __enter__(self) -> Self:
        return self.register()

    def __exit__(self, *exc_info: object) -> None:
        self.unregister()

    def _identity(self, context: ToolCallHookContext) -> tuple[str, str]:
        agent_id = self.agent_id
        if agent_id is None:
            agent_id = str(getattr(context.agent, "role", "") or "")
        session_id = self.session_id
        if session_id is None:
            crew_id = getattr(context.crew, "id", None)
            session_id = "" if crew_id is None else str(crew_id)
        return agent_id, session_id

    def before_tool_call(self, context: ToolCallHookContext) -> None:
        """CrewAI's before hook: asks the gate; raises ``HookAborted`` unless allowed."""
        call = _Call(context.tool_input, *self._identity(context))
        with self._lock:
            self._calls[id(context.tool_input)] = call
        try:
            decision = _approvals.gate(
                self.client,
                context.tool_name,
                dict(context.tool_input),
                agent_id=call.agent_id,
                session_id=call.session_id,
                trace_id=call.trace_id,
            )
        except Exception as exc:
            call.refusal = (
                f"Tool call '{context.tool_name}' was blocked and did not run: the governance "
                f"check failed ({type(exc).__name__}: {exc})"
            )
            raise HookAborted(call.refusal, source="velkor") from exc
        if decision.allow:
            return
        if decision.outcome == _approvals.APPROVAL_REQUIRED:
            call.refusal = _approvals.awaiting(context.tool_name, decision)
        else:
            call.refusal = (
                f"Tool call '{context.tool_name}' was blocked and did not run: {decision.reason}"
            )
        raise HookAborted(call.refusal, source="velkor")

    def after_tool_call(self, context: ToolCallHookContext) -> str | None:
        """CrewAI's after hook: the refusal text for a denied call, else reports the outcome."""
        with self._lock:
            call = self._calls.pop(id(context.tool_input), None)
        if call is None or call.tool_input is not context.tool_input:
            return None
        if call.refusal is not None:
            return call.refusal
        text = context.tool_result
        if isinstance(text, str) and text.startswith(_BLOCKED_BY_HOOK):
            status = "BLOCKED"
        else:
            status = "FAILED" if _failed(context) else "SUCCESS"
        self.client.observe(
            tool_name=context.tool_name,
            agent_id=call.agent_id,
            session_id=call.session_id,
            outcome_status=status,
            fields=_preview(text),
            trace_id=call.trace_id,
        )
        return None


# ---------------------------------------------------------------- memory storage

_PAGE = 500


def _label(text: str) -> str:
    # Keyed-store labels may not hold "."; "*" would read as a wildcard when listing.
    return text.replace("%", "%25").replace(".", "%2E").replace("*", "%2A")


def _unlabel(label: str) -> str:
    return label.replace("%2A", "*").replace("%2E", ".").replace("%25", "%")


def _scope_labels(scope: str | None) -> tuple[str, ...]:
    return tuple(_label(part) for part in (scope or "").split("/") if part)


def _utc(moment: datetime) -> datetime:
    # CrewAI stamps records with naive UTC times; callers may pass aware ones.
    return moment.replace(tzinfo=UTC) if moment.tzinfo is None else moment


def _cosine(a: Sequence[float], b: Sequence[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b, strict=True))
    norms = math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b))
    return max(dot / norms, 0.0) if norms else 0.0


def _matches(
    record: MemoryRecord,
    categories: Sequence[str] | None,
    metadata_filter: Mapping[str, Any] | None,
) -> bool:
    if categories and not any(c in record.categories for c in categories):
        return False
    if metadata_filter:
        return all(record.metadata.get(k) == v for k, v in metadata_filter.items())
    return True


class VelkorMemoryStorage:
    """A CrewAI memory ``StorageBackend`` on the service's keyed store.

    ``crew`` and ``user`` name whose memories these are; each pair is its own store.
    """

    def __init__(self, client: VelkorClient, *, crew: str, user: str = "") -> None:
        if type(crew) is not str or not crew:
            raise ValueError("crew must be a non-empty str")
        if type(user) is not str:
            raise TypeError(f"user must be a str, got {type(user).__name__}")
        self.client = client
        self.root: tuple[str, ...] = ("crewai", _label(f"c:{crew}"), _label(f"u:{user}"))

    def __repr__(self) -> str:
        return f"VelkorMemoryStorage(root={self.root!r})"

    # Reading

    def _namespace(self, scope: str | None) -> tuple[str, ...]:
        return self.root + _scope_labels(scope)

    def _items(self, scope_prefix: str | None) -> Iterator[dict[str, Any]]:
        prefix, offset, seen = self._namespace(scope_prefix), 0, set()
        while True:
            page = self.client.search_items(prefix, limit=_PAGE, offset=offset)
            for item in page:
                # Pages follow update time; a record written meanwhile may come twice.
                if item["key"] not in seen:
                    seen.add(item["key"])
                    yield item
            if len(page) < _PAGE:
                return
            offset += _PAGE

    def _records(self, scope_prefix: str | None) -> list[MemoryRecord]:
        return [MemoryRecord.model_validate(item["value"]) for item in self._items(scope_prefix)]

    def _find(self, record_id: str) -> dict[str, Any] | None:
        found = self.client.search_items(self.root, filter={"id": record_id}, limit=1)
        return found[0] if found else None

    def get_record(self, record_id: str) -> MemoryRecord | None:
        item = self._find(record_id)
        return None if item is None else MemoryRecord.model_validate(item["value"])

    def search(
        self,
        query_embedding: list[float],
        scope_prefix: str | None = None,
        categories: list[str] | None = None,
        metadata_filter: dict[str, Any] | None = None,
        limit: int = 10,
        min_score: float = 0.0,
    ) -> list[tuple[MemoryRecord, float]]:
        if not query_embedding:
            return []
        scored = []
        for record in self._records(scope_prefix):
            if not record.embedding or not _matches(record, categories, metadata_filter):
                continue
            if len(record.embedding) != len(query_embedding):
                raise EmbeddingDimensionMismatchError(len(record.embedding), len(query_embedding))
            score = _cosine(query_embedding, record.embedding)
            if score >= min_score:
                scored.append((record, score))
        scored.sort(key=lambda pair: pair[1], reverse=True)
        return scored[: max(limit, 0)]

    def list_records(
        self, scope_prefix: str | None = None, limit: int = 200, offset: int = 0
    ) -> list[MemoryRecord]:
        if limit <= 0 or offset < 0:
            return []
        records = self._records(scope_prefix)
        records.sort(key=lambda r: _utc(r.created_at), reverse=True)
        return records[offset : offset + limit]

    def list_scopes(self, parent: str = "/") -> list[str]:
        base = self._namespace(parent)
        children: set[str] = set()
        offset = 0
        while True:
            page = self.client.list_namespaces(
                prefix=base, max_depth=len(base) + 1, limit=_PAGE, offset=offset
            )
            for namespace in page:
                if len(namespace) > len(base):
                    labels = namespace[len(self.root) :]
                    children.add("/" + "/".join(_unlabel(label) for label in labels))
            if len(page) < _PAGE:
                return sorted(children)
            offset += _PAGE

    def get_scope_info(self, scope: str) -> ScopeInfo:
        records = self._records(scope)
        created = [_utc(r.created_at) for r in records]
        return ScopeInfo(
            path="/" + "/".join(_unlabel(label) for label in _scope_labels(scope)),
            record_count=len(records),
            categories=sorted({c for r in records for c in r.categories}),
            oldest_record=min(created, default=None),
            newest_record=max(created, default=None),
            child_scopes=self.list_scopes(scope),
        )

    def list_categories(self, scope_prefix: str | None = None) -> dict[str, int]:
        counts: dict[str, int] = {}
        for record in self._records(scope_prefix):
            for category in record.categories:
                counts[category] = counts.get(category, 0) + 1
        return counts

    def count(self, scope_prefix: str | None = None) -> int:
        return sum(1 for _ in self._items(scope_prefix))

    # Writing

    def _put(self, record: MemoryRecord) -> None:
        value = record.model_dump(mode="json")
        value["embedding"] = None if record.embedding is None else list(record.embedding)
        self.client.put_item(self._namespace(record.scope), record.id, value)

    def save(self, records: list[MemoryRecord]) -> None:
        for record in records:
            self._put(record)

    def update(self, record: MemoryRecord) -> None:
        """Replaces the record with the same id, moving it if its scope changed."""
        old = self._find(record.id)
        if old is not None and tuple(old["namespace"]) != self._namespace(record.scope):
            self.client.delete_item(tuple(old["namespace"]), old["key"])
        self._put(record)

    def delete(
        self,
        scope_prefix: str | None = None,
        categories: list[str] | None = None,
        record_ids: list[str] | None = None,
        older_than: datetime | None = None,
        metadata_filter: dict[str, Any] | None = None,
    ) -> int:
        """Deletes the records that meet every criterion given; returns how many."""
        ids = None if record_ids is None else set(record_ids)
        deleted = 0
        for item in list(self._items(scope_prefix)):
            record = MemoryRecord.model_validate(item["value"])
            if ids is not None and record.id not in ids:
                continue
            if not _matches(record, categories, metadata_filter):
                continue
            if older_than is not None and _utc(record.created_at) >= _utc(older_than):
                continue
            deleted += self.client.delete_item(tuple(item["namespace"]), item["key"])
        return deleted

    def reset(self, scope_prefix: str | None = None) -> None:
        self.delete(scope_prefix=scope_prefix)

    # Async twins: the client is synchronous, so they run it in a worker thread.

    async def asave(self, records: list[MemoryRecord]) -> None:
        await asyncio.to_thread(self.save, records)

    async def asearch(
        self,
        query_embedding: list[float],
        scope_prefix: str | None = None,
        categories: list[str] | None = None,
        metadata_filter: dict[str, Any] | None = None,
        limit: int = 10,
        min_score: float = 0.0,
    ) -> list[tuple[MemoryRecord, float]]:
        return await asyncio.to_thread(
            self.search,
            query_embedding,
            scope_prefix,
            categories,
            metadata_filter,
            limit,
            min_score,
        )

    async def adelete(
        self,
        scope_prefix: str | None = None,
        categories: list[str] | None = None,
        record_ids: list[str] | None = None,
        older_than: datetime | None = None,
        metadata_filter: dict[str, Any] | None = None,
    ) -> int:
        return await asyncio.to_thread(
            self.delete, scope_prefix, categories, record_ids, older_than, metadata_filter
        )
