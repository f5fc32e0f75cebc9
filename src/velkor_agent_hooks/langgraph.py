"""LangGraph's own store interface over the Velkor keyed store.

``VelkorStore(client, index=None, ttl=None)`` is a ``langgraph.store.base.BaseStore``: pass it
wherever LangGraph takes a store (``StateGraph(...).compile(store=...)``,
``create_agent(store=...)``) and nodes reach it as ``runtime.store`` or through a ``store``
keyword. It implements ``batch`` and ``abatch``; ``get``, ``put``, ``delete``, ``search`` and
``list_namespaces`` are LangGraph's, built on ``batch``. Their ``a*`` twins check and queue
their operation as ``abatch`` would, and return the queued call itself rather than a
coroutine awaiting it (an awaitable that ``asyncio`` also takes as a coroutine); without a
running loop, with an index to embed for, or in a subclass with its own ``abatch``, they are
LangGraph's.

Behaviour, as ``langgraph.store.memory.InMemoryStore`` has it unless said otherwise:

* Items are kept by the service under (namespace, key); writing a key again replaces the
  value, ``created_at`` kept and ``updated_at`` renewed. A put whose value is None deletes.
  Namespaces are any sequence of labels (a tuple, a list, or a str, read label per character,
  as LangGraph's SQL stores read them); a namespace exists while it holds a live item.
* ``index={"embed": ..., "dims": ..., "fields": [...]}`` as LangGraph documents it (``embed``
  a LangChain ``Embeddings``, a function, or a "provider:model" string): a put embeds the texts
  at the fields (``"$"``, ``"a.b"``, ``"a[*].b"``; ``text_fields`` is taken for ``fields``),
  or at its own ``index=[...]``, or none with ``index=False``; the service keeps the vectors.
  ``search(query=...)`` then ranks by cosine similarity to the query's embedding, best over
  an item's texts, ``score`` the similarity; items without vectors follow, ``score`` None.
  Without an index the query is ignored, as LangGraph's stores ignore it.
* ``ttl={"default_ttl": minutes, "refresh_on_read": bool, "sweep_interval_minutes": ...}``:
  ``put(..., ttl=minutes)`` overrides the default; a read with ``refresh_ttl`` renews what it
  returns. The service keeps expiry: expired items are never returned, and purged.
  ``sweep_ttl``, ``start_ttl_sweeper`` and ``stop_ttl_sweeper`` are those of LangGraph's SQL
  stores.
* ``filter`` takes a value per field (objects match part of a value, lists whole) or the
  operators ``$eq``, ``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``; a missing field is null.
* A batch is one service call (one transaction embedded, one request over HTTP). Within it,
  reads see the store as it was before the batch's writes and writes apply in order, as in
  LangGraph's stores. Concurrent ``a*`` calls on one event loop are sent together, in the order
  they were made, each seeing the ones before it; their embeddings are computed first.
  Called in a running loop, ``abatch`` queues its operations at once, as an eager task
  starts; a caller cancelled before they are sent sends nothing.
* Every operation of a batch is checked before any is sent: one bad operation raises and the
  batch changes nothing.

Errors: a label that is not a non-empty ``str`` without "." or NUL, or an empty namespace where
an item lives, raises LangGraph's ``InvalidNamespaceError`` (a ``ValueError``); LangGraph's
``put`` refuses the root label "langgraph". Values must be mappings that JSON carries exactly
(``TypeError`` / ``ValueError``); negative ``limit``/``offset``, ``max_depth`` below 1, empty
keys and non-positive TTLs raise ``ValueError``.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import copy
import inspect
import threading
import weakref
from collections.abc import Callable, Coroutine, Generator, Iterable, Mapping
from datetime import datetime
from typing import Any, Literal

try:
    from langgraph.store.base import (
        NOT_PROVIDED,
        BaseStore,
        GetOp,
        IndexConfig,
        InvalidNamespaceError,
        Item,
        ListNamespacesOp,
        MatchCondition,
        NamespacePath,
        NotProvided,
        Op,
        PutOp,
        Result,
        SearchItem,
        SearchOp,
        TTLConfig,
        ensure_embeddings,
        get_text_at_path,
        tokenize_path,
    )
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "velkor_agent_hooks.langgraph needs LangGraph; install it with "
        'pip install "velkor-agent-hooks[langgraph]"'
    ) from exc

from .client import VelkorClient
from .client import _checks as check
from .client._operations import OPERATIONS

__all__ = ["VelkorStore"]

# Concurrent async calls sent together stop at about this many operations a call.
MERGE_LIMIT = 1000
_TTL_KEYS = frozenset({"default_ttl", "refresh_on_read", "sweep_interval_minutes", "omit_expired"})


class _Step:
    """One operation as sent: its service operation and arguments, and what to embed. It
    keeps nothing of the caller's operation: thousands may wait to be sent."""

    __slots__ = ("args", "name", "query", "texts")

    def __init__(self, name: str, args: dict[str, Any]) -> None:
        self.name, self.args = name, args
        self.texts: list[str] | None = None
        self.query: str | None = None


class VelkorStore(BaseStore):
    """A LangGraph ``BaseStore`` kept by the Velkor service; see the module docstring."""

    supports_ttl = True
    __slots__ = (
        "_batchers",
        "_fields",
        "_last",
        "_sweeper",
        "_sweeping",
        "client",
        "embeddings",
        "index_config",
        "ttl_config",
    )

    def __init__(
        self,
        client: VelkorClient,
        *,
        index: IndexConfig | None = None,
        ttl: TTLConfig | None = None,
    ) -> None:
        if not isinstance(client, VelkorClient):
            raise TypeError(f"client must be a VelkorClient, got {type(client).__name__}")
        self.client = client
        self.index_config: dict[str, Any] | None = None
        self.embeddings: Any = None
        self._fields: list[tuple[str, Any]] = []
        if index is not None:
            if not isinstance(index, Mapping):
                raise TypeError(f"index must be a mapping or None, got {type(index).__name__}")
            if "vectors" not in {arg.name for arg in OPERATIONS["put_item"].args}:
                raise NotImplementedError("semantic search needs a service that keeps vectors")
            self.index_config = dict(index)
            self.embeddings = ensure_embeddings(self.index_config.get("embed"))
            fields = self.index_config.get("fields") or self.index_config.get("text_fields")
            self._fields = _paths("index fields", fields or ["$"])
        self.ttl_config = _ttl_config(ttl)
        self._batchers: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _Batcher] = (
            weakref.WeakKeyDictionary()
        )
        self._last: tuple[weakref.ref[asyncio.AbstractEventLoop], _Batcher] | None = None
        self._sweeper: threading.Thread | None = None
        self._sweeping = threading.Event()

    def __repr__(self) -> str:
        return f"VelkorStore({self.client!r})"

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        steps = self._plan(ops)
        if self.embeddings is not None:
            self._embed(steps)
        return self._send([steps])[0]

    def abatch(self, ops: Iterable[Op]) -> Coroutine[Any, Any, list[Result]]:
        """LangGraph's ``abatch``; called in a running loop, the operations are checked and
        queued at once (errors are raised when awaited). What it returns may be awaited, or
        given to ``asyncio.create_task`` or ``asyncio.run``, as a coroutine would be."""
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # asyncio.run(store.abatch(ops)): runs in the loop to come
            return self._abatch(ops)
        if self.embeddings is not None:
            return self._abatch(ops)
        # Not a coroutine: a pending call costs a frame less, and with tens of thousands
        # pending the collector walks every one of them.
        try:
            steps = self._plan(ops)
        except Exception as exc:
            return _failed(loop, exc)
        return self._batcher(loop).submit(steps[0] if len(steps) == 1 else steps, loop)

    # LangGraph's own a* methods, each an abatch of one operation awaited in a coroutine of
    # its own: here the operation is queued as abatch queues it, and what is returned is the
    # queued call itself (asyncio.gather takes it without making a task of it).

    def aget(
        self, namespace: tuple[str, ...], key: str, *, refresh_ttl: bool | None = None
    ) -> Coroutine[Any, Any, Item | None]:
        loop = self._queueing()
        if loop is None:
            return super().aget(namespace, key, refresh_ttl=refresh_ttl)
        return self._queue_one(
            loop,
            lambda: _Step(
                "get_item",
                self._get_args(GetOp(namespace, str(key), _refresh(self.ttl_config, refresh_ttl))),
            ),
        )

    def asearch(
        self,
        namespace_prefix: tuple[str, ...],
        /,
        *,
        query: str | None = None,
        filter: dict[str, Any] | None = None,
        limit: int = 10,
        offset: int = 0,
        refresh_ttl: bool | None = None,
    ) -> Coroutine[Any, Any, list[SearchItem]]:
        loop = self._queueing()
        if loop is None:
            return super().asearch(
                namespace_prefix,
                query=query,
                filter=filter,
                limit=limit,
                offset=offset,
                refresh_ttl=refresh_ttl,
            )
        refresh = _refresh(self.ttl_config, refresh_ttl)
        op = SearchOp(namespace_prefix, filter, limit, offset, query, refresh)
        return self._queue_one(loop, lambda: self._search_step(op))

    def aput(
        self,
        namespace: tuple[str, ...],
        key: str,
        value: Mapping[str, Any],
        index: Literal[False] | list[str] | None = None,
        *,
        ttl: float | NotProvided | None = NOT_PROVIDED,
    ) -> Coroutine[Any, Any, None]:
        loop = self._queueing()
        if loop is None:
            return super().aput(namespace, key, value, index, ttl=ttl)

        def plan() -> _Step:
            op = PutOp(namespace, str(key), value, index, ttl=ttl)  # type: ignore[arg-type]
            step = self._put_step(op)  # NOT_PROVIDED there: the default TTL
            if step.args["namespace"][0] == "langgraph":
                raise InvalidNamespaceError(
                    f'Root label for namespace cannot be "langgraph". Got: {namespace}'
                )
            return step

        return self._queue_one(loop, plan)

    def adelete(self, namespace: tuple[str, ...], key: str) -> Coroutine[Any, Any, None]:
        loop = self._queueing()
        if loop is None:
            return super().adelete(namespace, key)
        return self._queue_one(loop, lambda: self._put_step(PutOp(namespace, str(key), None)))

    def alist_namespaces(
        self,
        *,
        prefix: NamespacePath | None = None,
        suffix: NamespacePath | None = None,
        max_depth: int | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> Coroutine[Any, Any, list[tuple[str, ...]]]:
        loop = self._queueing()
        if loop is None:
            return super().alist_namespaces(
                prefix=prefix, suffix=suffix, max_depth=max_depth, limit=limit, offset=offset
            )
        conditions = []
        if prefix:
            conditions.append(MatchCondition(match_type="prefix", path=prefix))
        if suffix:
            conditions.append(MatchCondition(match_type="suffix", path=suffix))
        op = ListNamespacesOp(tuple(conditions), max_depth, limit, offset)
        return self._queue_one(loop, lambda: _list_step(op))

    def _queue_one(self, loop: asyncio.AbstractEventLoop, plan: Callable[[], _Step]) -> Any:
        """Queues the one step ``plan`` makes; what it raises is raised where awaited."""
        try:
            step = plan()
        except Exception as exc:
            return _failed(loop, exc)
        return self._batcher(loop).submit(step, loop, one=True)

    def _queueing(self) -> asyncio.AbstractEventLoop | None:
        """The running loop when an a* call can be queued at once; else None, and the call is
        LangGraph's coroutine (no loop yet, embeddings to await, or abatch overridden)."""
        loop = asyncio._get_running_loop()
        if loop is None or self.embeddings is not None or type(self).abatch is not _ABATCH:
            return None
        return loop

    async def _abatch(self, ops: Iterable[Op]) -> list[Result]:
        steps = self._plan(ops)
        if self.embeddings is not None:
            await self._aembed(steps)
        loop = asyncio.get_running_loop()
        return await self._batcher(loop).submit(steps, loop)

    def _batcher(self, loop: asyncio.AbstractEventLoop) -> _Batcher:
        last = self._last  # a loop's calls come in runs: its batcher, without a lookup
        if last is not None and last[0]() is loop:
            return last[1]
        batcher = self._batchers.get(loop)
        if batcher is None:
            batcher = self._batchers[loop] = _Batcher(self)
        self._last = (weakref.ref(loop), batcher)
        return batcher

    # TTL sweeping, as LangGraph's SQL stores offer it; the service purges as it writes too.

    def sweep_ttl(self) -> int:
        """Erases the expired items now; how many."""
        return self.client.purge_items()

    def start_ttl_sweeper(self, sweep_interval_minutes: float | None = None) -> _Sweeping:
        """Sweeps every ``sweep_interval_minutes`` (default: the TTL config's, else 5) in a
        thread until ``stop_ttl_sweeper`` or the returned future's ``cancel``. The future may
        also be awaited, as LangGraph's async stores' is."""
        done = _Sweeping()
        done.add_done_callback(lambda f: self._sweeping.set() if f.cancelled() else None)
        if self._sweeper is not None and self._sweeper.is_alive():
            return done
        config = self.ttl_config or {}
        minutes = sweep_interval_minutes or config.get("sweep_interval_minutes") or 5
        seconds = check.check_timeout(minutes, "sweep_interval_minutes") * 60
        self._sweeping.clear()
        stop = self._sweeping

        def sweep(store_ref: weakref.ref[VelkorStore]) -> None:
            while not stop.wait(seconds):
                store = store_ref()
                if store is None:
                    break
                try:
                    store.sweep_ttl()
                except Exception:  # a sweep that fails is tried again at the next
                    pass
                del store
            if not done.done():
                done.set_result(None)

        self._sweeper = threading.Thread(
            target=sweep, args=(weakref.ref(self),), name="velkor-ttl-sweeper", daemon=True
        )
        self._sweeper.start()
        return done

    def stop_ttl_sweeper(self, timeout: float | None = None) -> bool:
        """Stops the sweeper; whether it stopped within ``timeout`` seconds (or was not running)."""
        sweeper = self._sweeper
        if sweeper is None or not sweeper.is_alive():
            return True
        self._sweeping.set()
        sweeper.join(timeout)
        if sweeper.is_alive():
            return False
        self._sweeper = None
        return True

    # Planning: every operation checked and put in the service's terms before any is sent.

    def _plan(self, ops: Iterable[Op]) -> list[_Step]:
        if type(ops) not in (list, tuple) and (
            isinstance(ops, str | bytes | Mapping) or not isinstance(ops, Iterable)
        ):
            raise TypeError(f"ops must be an iterable of operations, got {type(ops).__name__}")
        steps = []
        for op in ops:
            kind = type(op)
            if kind not in _OP_TYPES:  # a subclass
                kind = next((t for t in _OP_TYPES if isinstance(op, t)), kind)
            if kind is PutOp:
                step = self._put_step(op)
            elif kind is GetOp:
                step = _Step("get_item", self._get_args(op))
            elif kind is SearchOp:
                step = self._search_step(op)
            elif kind is ListNamespacesOp:
                step = _list_step(op)
            else:
                raise TypeError(f"unknown store operation: {type(op).__name__}")
            steps.append(step)
        return steps

    def _get_args(self, op: GetOp) -> dict[str, Any]:
        check.check_nonempty("key", op.key)
        namespace = _namespace("namespace", op.namespace)
        return {"namespace": namespace, "key": op.key, "refresh_ttl": _flag(op.refresh_ttl)}

    def _search_step(self, op: SearchOp) -> _Step:
        check.check_str("query", op.query, optional=True)
        check.check_int("limit", op.limit)
        check.check_int("offset", op.offset)
        query = op.query if op.query and self.embeddings is not None else None
        args = {
            "namespace_prefix": _namespace("namespace_prefix", op.namespace_prefix, empty=True),
            "query": query,
            "filter": None if op.filter is None else check.check_filter(copy.deepcopy(op.filter)),
            "limit": op.limit,
            "offset": op.offset,
            "refresh_ttl": _flag(op.refresh_ttl),
            "vector": None,
        }
        step = _Step("search_items", args)
        step.query = query
        return step

    def _put_step(self, op: PutOp) -> _Step:
        check.check_nonempty("key", op.key)
        namespace = _namespace("namespace", op.namespace)
        if op.value is None:
            return _Step("delete_item", {"namespace": namespace, "key": op.key})
        # A deep copy: the send comes later, from a worker.
        value = check.copy_json_mapping("value", op.value, optional=False, exact=True)
        ttl: Any = op.ttl
        if ttl is NOT_PROVIDED:  # an op built by hand
            ttl = (self.ttl_config or {}).get("default_ttl")
        if ttl is not None:
            ttl = check.check_timeout(ttl, "ttl") * 60  # minutes to seconds
        args = {"namespace": namespace, "key": op.key, "value": value, "ttl": ttl, "vectors": None}
        step = _Step("put_item", args)
        if self.embeddings is not None and op.index is not False:
            fields = self._fields if op.index is None else _paths("index", op.index)
            step.texts = [text for path, field in fields for text in _texts(value, path, field)]
        return step

    def _embed(self, steps: list[_Step]) -> None:
        texts = [text for step in steps if step.texts for text in step.texts]
        vectors = self.embeddings.embed_documents(texts) if texts else []
        queries = list(dict.fromkeys(step.query for step in steps if step.query))
        found = {query: self.embeddings.embed_query(query) for query in queries}
        _attach(steps, vectors, found)

    async def _aembed(self, steps: list[_Step]) -> None:
        texts = [text for step in steps if step.texts for text in step.texts]
        queries = list(dict.fromkeys(step.query for step in steps if step.query))
        documents = self.embeddings.aembed_documents(texts) if texts else _nothing()
        done = await asyncio.gather(documents, *map(self.embeddings.aembed_query, queries))
        _attach(steps, done[0], dict(zip(queries, done[1:], strict=True)))

    # Sending: plans of several callers in one service call, each plan's reads first.

    def _send(self, plans: list[list[_Step]]) -> list[list[Result]]:
        sent: list[tuple[int, int]] = []  # (plan, position) of each operation sent
        ops: list[tuple[str, dict[str, Any]]] = []
        for number, steps in enumerate(plans):
            order = sorted(range(len(steps)), key=lambda i: steps[i].name in _WRITES)
            for position in order:
                step = steps[position]
                if not step.name:
                    continue  # answered here: conditions that cannot both hold list nothing
                sent.append((number, position))
                ops.append((step.name, step.args))
        results: list[list[Result]] = [
            [None if step.name else [] for step in steps] for steps in plans
        ]
        if ops:
            # Checked in _plan already, on the caller's thread: sent as they are.
            done = self.client._backend.call(OPERATIONS["batch_items"], {"ops": ops})
            for (number, position), (_, raw) in zip(sent, done, strict=True):
                results[number][position] = _result(plans[number][position].name, raw)
        return results


# What they return is awaited as a coroutine's result is: inspect says so, as of LangGraph's.
for _name in ("abatch", "aget", "asearch", "aput", "adelete", "alist_namespaces"):
    inspect.markcoroutinefunction(getattr(VelkorStore, _name))
del _name

_WRITES = frozenset({"put_item", "delete_item"})
_SENT: tuple[_Step, ...] = ()
_ABATCH = VelkorStore.abatch
_OP_TYPES = (PutOp, GetOp, SearchOp, ListNamespacesOp)


class _Batcher:
    """The calls of one event loop waiting to be sent, sent together from a worker thread:
    as soon as ``MERGE_LIMIT`` operations wait, else once the loop has run what was ready,
    one send at a time, so that calls are sent in the order they were made. It holds no
    reference to its loop, which would keep every loop the store was used on alive."""

    def __init__(self, store: VelkorStore) -> None:
        self._store = weakref.ref(store)
        self._waiting: collections.deque[_Pending] = collections.deque()
        self._size = 0
        self._busy = False
        self._scheduled = False

    def submit(
        self, steps: _Step | list[_Step], loop: asyncio.AbstractEventLoop, *, one: bool = False
    ) -> Any:  # a _Pending, which callers take for the coroutine they await
        """Queues a plan (one step stands alone: a list less a waiting call); ``one``: the
        call's result is its only operation's, not a list."""
        future = _One(loop=loop) if one else _Pending(loop=loop)
        future.steps = steps
        self._waiting.append(future)
        self._size += _count(future)
        if not self._busy:
            # A full call starts now, in parallel with the loop making more.
            if self._size >= MERGE_LIMIT:
                self._flush(loop)
            elif not self._scheduled:
                self._scheduled = True
                loop.call_soon(self._flush_soon, loop)
        return future

    def _flush_soon(self, loop: asyncio.AbstractEventLoop) -> None:
        self._scheduled = False
        if not self._busy:
            self._flush(loop)

    def _flush(self, loop: asyncio.AbstractEventLoop) -> None:
        taken: list[_Pending] = []
        size = 0
        while self._waiting and (not taken or size + _count(self._waiting[0]) <= MERGE_LIMIT):
            future = self._waiting.popleft()
            self._size -= _count(future)
            if not future.done():  # not cancelled meanwhile
                taken.append(future)
                size += _count(future)
        store = self._store()
        if not taken or store is None:
            return
        self._busy = True
        plans = [
            [future.steps] if type(future.steps) is _Step else future.steps for future in taken
        ]
        for future in taken:
            future.steps = _SENT  # the results are all a caller keeps
        sending = loop.run_in_executor(None, store._send, plans)
        sending.add_done_callback(lambda done: self._sent(taken, done, loop))

    def _sent(
        self,
        taken: list[_Pending],
        done: asyncio.Future[list[list[Result]]],
        loop: asyncio.AbstractEventLoop,
    ) -> None:
        self._busy = False
        failure = asyncio.CancelledError() if done.cancelled() else done.exception()
        for index, future in enumerate(taken):
            if future.done():
                continue
            if failure is not None:  # every call sent together learns why it failed
                future.set_exception(failure)
            else:
                result = done.result()[index]
                future.set_result(result[0] if type(future) is _One else result)
        if self._waiting:
            self._flush(loop)


_BLOCKING = asyncio.Future._asyncio_future_blocking  # the C future's own slot


class _Pending(asyncio.Future[list[Result]]):
    """What ``abatch`` returns: a call already queued on the loop it was made in. There it
    is a future (awaited, or taken by ``asyncio.gather`` as it is); given to
    ``asyncio.create_task`` (or a TaskGroup), it is driven as a coroutine awaiting itself.
    Any other loop sees a coroutine, as it would LangGraph's, and its task awaits a future of
    its own that the call's outcome is relayed to."""

    __slots__ = ("relay", "steps")

    @property  # type: ignore[override]
    def _asyncio_future_blocking(self) -> bool | None:
        # None is what asyncio.isfuture reads as "not a future".
        if asyncio._get_running_loop() is not self.get_loop():
            return None
        return _BLOCKING.__get__(self)  # type: ignore[no-any-return]

    @_asyncio_future_blocking.setter
    def _asyncio_future_blocking(self, value: bool) -> None:
        _BLOCKING.__set__(self, value)

    # Its own iterator when awaited, too: no iterator object per waiting call.
    def __await__(self) -> _Pending:  # type: ignore[override]
        return self

    __iter__ = __await__

    def __next__(self) -> asyncio.Future[Any]:
        return self.send(None)

    def send(self, value: None) -> asyncio.Future[Any]:
        waited: asyncio.Future[Any] = self
        loop = asyncio._get_running_loop()
        if loop is not None and loop is not self.get_loop():
            waited = getattr(self, "relay", None) or _relay(self, loop)
        if waited.done():
            raise StopIteration(waited.result())
        waited._asyncio_future_blocking = True
        return waited

    def throw(self, typ: Any, val: Any = None, tb: Any = None) -> _Pending:
        self.close()
        if val is None:
            val = typ() if isinstance(typ, type) else typ
        raise val.with_traceback(tb) if tb is not None else val

    def close(self) -> None:
        relay = getattr(self, "relay", None)
        if relay is not None:
            relay.cancel()  # which cancels the call, on its loop
        elif asyncio._get_running_loop() in (None, self.get_loop()):
            self.cancel()
        else:
            self.get_loop().call_soon_threadsafe(self.cancel)


def _relay(pending: _Pending, loop: asyncio.AbstractEventLoop) -> asyncio.Future[Any]:
    """A future of ``loop`` (running on this thread) that takes the outcome of ``pending``,
    a call of another loop, and cancels it when cancelled."""
    relay: asyncio.Future[Any] = loop.create_future()
    home = pending.get_loop()

    def settle(done: _Pending) -> None:  # on the call's loop
        loop.call_soon_threadsafe(_copy_outcome, done, relay)

    def cancel(ended: asyncio.Future[Any]) -> None:
        if ended.cancelled():
            home.call_soon_threadsafe(pending.cancel)

    pending.relay = relay
    home.call_soon_threadsafe(pending.add_done_callback, settle)
    relay.add_done_callback(cancel)
    return relay


def _copy_outcome(source: asyncio.Future[Any], target: asyncio.Future[Any]) -> None:
    if target.done():
        return
    if source.cancelled():
        target.cancel()
    elif source.exception() is not None:
        target.set_exception(source.exception())  # type: ignore[arg-type]
    else:
        target.set_result(source.result())


collections.abc.Coroutine.register(_Pending)


class _One(_Pending):
    """A queued call of one operation, whose result is that operation's."""

    __slots__ = ()


def _failed(loop: asyncio.AbstractEventLoop, exc: Exception) -> Any:  # as submit's
    failed = _Pending(loop=loop)
    failed.set_exception(exc)
    return failed


def _refresh(config: TTLConfig | None, refresh_ttl: bool | None) -> bool:
    if refresh_ttl is not None:
        return refresh_ttl
    return True if config is None else bool(config.get("refresh_on_read", True))


def _count(future: _Pending) -> int:
    return 1 if type(future.steps) is _Step else len(future.steps)


class _Sweeping(concurrent.futures.Future[None]):
    """What ``start_ttl_sweeper`` returns: ``cancel()`` stops the sweeper; awaiting it, as
    LangGraph's async stores are awaited, gives the future itself."""

    def __await__(self) -> Generator[Any, None, _Sweeping]:
        return self
        yield  # a generator: awaiting it suspends nothing


async def _nothing() -> list[list[float]]:
    return []


def _attach(steps: list[_Step], vectors: list[Any], queries: dict[str, Any]) -> None:
    given = iter(vectors)
    for step in steps:
        if step.texts:
            step.args["vectors"] = [_vector(next(given)) for _ in step.texts]
        if step.query:
            step.args["vector"] = _vector(queries[step.query])


def _vector(value: Any) -> list[float]:
    return [float(x) for x in value]


def _texts(value: dict[str, Any], path: str, field: Any) -> list[str]:
    return get_text_at_path(value, field if path != "$" else path)


def _paths(name: str, value: object) -> list[tuple[str, Any]]:
    if isinstance(value, str) or not isinstance(value, list | tuple):
        raise TypeError(f"{name} must be a list of field paths, got {type(value).__name__}")
    for path in value:
        check.check_nonempty(f"{name} path", path)
    return [(path, path if path == "$" else tokenize_path(path)) for path in value]


def _ttl_config(ttl: object) -> dict[str, Any] | None:
    if ttl is None:
        return None
    if not isinstance(ttl, Mapping):
        raise TypeError(f"ttl must be a mapping or None, got {type(ttl).__name__}")
    config = dict(ttl)
    unknown = sorted(set(map(str, config)) - _TTL_KEYS)
    if unknown:
        raise ValueError(f"ttl: unknown settings {unknown}; known: {sorted(_TTL_KEYS)}")
    for key in ("default_ttl", "sweep_interval_minutes"):
        if config.get(key) is not None:
            check.check_timeout(config[key], f"ttl {key}")
    for key in ("refresh_on_read", "omit_expired"):
        if key in config:
            _flag(config[key], f"ttl {key}")
    return config


def _flag(value: object, name: str = "refresh_ttl") -> bool:
    if type(value) is not bool:
        raise TypeError(f"{name} must be bool, got {type(value).__name__}")
    return value


def _list_step(op: ListNamespacesOp) -> _Step:
    args = _list_args(op)
    conflict = _CONFLICT in (args["prefix"], args["suffix"])
    return _Step("" if conflict else "list_namespaces", args)


def _list_args(op: ListNamespacesOp) -> dict[str, Any]:
    patterns: dict[str, tuple[str, ...] | None] = {"prefix": None, "suffix": None}
    for condition in op.match_conditions or ():
        kind = condition.match_type
        if kind not in patterns:
            raise ValueError(f"match_type must be 'prefix' or 'suffix', got {kind!r}")
        path = _namespace(kind, condition.path, empty=True)
        patterns[kind] = _merge(patterns[kind], path, from_end=kind == "suffix")
    check.check_int("max_depth", op.max_depth, minimum=1, optional=True)
    check.check_int("limit", op.limit)
    check.check_int("offset", op.offset)
    return {**patterns, "max_depth": op.max_depth, "limit": op.limit, "offset": op.offset}


_CONFLICT = ("\x00",)  # two patterns no namespace can match at once


def _merge(old: tuple[str, ...] | None, new: tuple[str, ...], *, from_end: bool) -> tuple[str, ...]:
    """One pattern matching exactly the namespaces both match ("*" matches any label)."""
    if old is None or old == _CONFLICT:
        return new if old is None else old
    size = max(len(old), len(new))
    if from_end:
        a, b = ("*",) * (size - len(old)) + old, ("*",) * (size - len(new)) + new
    else:
        a, b = old + ("*",) * (size - len(old)), new + ("*",) * (size - len(new))
    merged = []
    for x, y in zip(a, b, strict=True):
        if x != y and "*" not in (x, y):
            return _CONFLICT
        merged.append(y if x == "*" else x)
    return tuple(merged)


def _namespace(name: str, value: object, *, empty: bool = False) -> tuple[str, ...]:
    if type(value) is tuple and (value or empty):
        joined = check.plain_labels(value)
        if joined is not None and "\x00" not in joined:
            return value
    if not isinstance(value, tuple | list | str):
        raise InvalidNamespaceError(
            f"{name} must be a sequence of str labels, got {type(value).__name__}"
        )
    labels = tuple(value)
    for label in labels:
        if not isinstance(label, str) or not label or "." in label or "\x00" in label:
            raise InvalidNamespaceError(
                f"{name} labels must be non-empty str without '.' or NUL: {labels!r}"
            )
    if not labels and not empty:
        raise InvalidNamespaceError(f"{name} must not be empty")
    try:
        check.check_encodable(name, "".join(labels))
    except ValueError as exc:
        raise InvalidNamespaceError(str(exc)) from None
    return labels


def _result(name: str, raw: Any) -> Result:
    if name == "get_item":
        return None if raw is None else _item(raw)
    if name == "search_items":
        return [_search_item(row) for row in raw]
    if name == "list_namespaces":
        return [tuple(ns) for ns in raw]
    return None


def _item(raw: Mapping[str, Any]) -> Item:
    return Item(
        value=raw["value"],
        key=raw["key"],
        namespace=tuple(raw["namespace"]),
        created_at=datetime.fromisoformat(raw["created_at"]),
        updated_at=datetime.fromisoformat(raw["updated_at"]),
    )


def _search_item(raw: Mapping[str, Any]) -> SearchItem:
    score = raw.get("score")
    return SearchItem(
        namespace=tuple(raw["namespace"]),
        key=raw["key"],
        value=raw["value"],
        created_at=datetime.fromisoformat(raw["created_at"]),
        updated_at=datetime.fromisoformat(raw["updated_at"]),
        score=None if score is None else float(score),
    )
