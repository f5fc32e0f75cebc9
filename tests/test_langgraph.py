"""VelkorStore as LangGraph uses it, side by side with LangGraph's InMemoryStore."""

import asyncio
import gc
import inspect
import operator
import subprocess
import sys
import threading
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Annotated, Any, TypedDict

import pytest
from langchain_core.embeddings import Embeddings
from langgraph.graph import START, StateGraph
from langgraph.runtime import Runtime
from langgraph.store.base import (
    BaseStore,
    GetOp,
    InvalidNamespaceError,
    ListNamespacesOp,
    MatchCondition,
    PutOp,
    SearchOp,
)
from langgraph.store.memory import InMemoryStore

from velkor_agent_hooks.client import VelkorClient, serve
from velkor_agent_hooks.client._operations import OPERATIONS
from velkor_agent_hooks.langgraph import VelkorStore
from velkor_agent_hooks.service import store as keyed
from velkor_agent_hooks.service.clock import stamp

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(params=["embedded", "http"])
def client(request):
    if request.param == "embedded":
        return VelkorClient()
    server = serve()
    request.addfinalizer(server.close)
    return VelkorClient(base_url=server.url, timeout=5)


@pytest.fixture
def store(client):
    return VelkorStore(client)


# The graph: documentation-style nodes, each recording what the store answered.


@dataclass
class Context:
    user_id: str


class State(TypedDict, total=False):
    seen: Annotated[list[Any], operator.add]


def rows(items):
    return sorted((tuple(i.namespace), i.key, repr(i.value)) for i in items)


def write(state: State, runtime: Runtime[Context]) -> State:
    store = runtime.store
    assert store is not None
    user = runtime.context.user_id
    memories = ("users", user, "memories")
    store.put(memories, "m1", {"text": "likes green tea", "kind": "food"})
    store.put(memories, "m2", {"text": "flies to Lisbon in March", "kind": "travel"})
    store.put(memories, "m3", {"text": "allergic to peanuts", "kind": "food", "tags": ["x"]})
    store.put(memories, "m1", {"text": "likes black tea", "kind": "food"})  # replaces
    store.put(("users", user, "profile"), "main", {"name": user.title(), "n": 1})
    store.put(("users", "bob", "memories"), "m1", {"text": "likes coffee", "kind": "food"})
    store.put(("users", "anabel", "memories"), "m1", {"text": "tea", "kind": "food"})
    got = store.get(memories, "m1")
    assert got is not None
    return {
        "seen": [
            ("get", got.namespace, got.key, got.value),
            (
                "get missing",
                store.get(memories, "nope"),
                store.get(("users", "bob", "memories"), "m9"),
            ),
        ]
    }


async def read(state: State, *, store: BaseStore) -> State:
    ana, mine = ("users", "ana"), ("users", "ana", "memories")
    seen: list[Any] = [
        ("all", rows(await store.asearch(ana, limit=50))),
        ("filter", rows(await store.asearch(ana, filter={"kind": "food"}))),
        ("filter $eq", rows(await store.asearch((), filter={"kind": {"$eq": "travel"}}))),
        ("filter list", rows(await store.asearch(ana, filter={"tags": ["x"]}))),
        ("filter two", rows(await store.asearch((), filter={"kind": "food", "text": "tea"}))),
        ("label prefix", rows(await store.asearch(("users", "an")))),
    ]
    await store.adelete(mine, "m2")
    await store.adelete(mine, "never-there")
    seen.append(("after delete", rows(await store.asearch(ana, limit=50))))
    seen.append(("deleted", await store.aget(mine, "m2")))
    return {"seen": seen}


async def namespaces(state: State, store: BaseStore) -> State:
    calls = [
        {},
        {"prefix": ("users",)},
        {"prefix": ("users", "*", "memories")},
        {"suffix": ("profile",)},
        {"prefix": ("users",), "suffix": ("memories",)},
        {"max_depth": 2},
        {"max_depth": 1},
        {"limit": 2, "offset": 1},
        {"prefix": ("nobody",)},
    ]
    seen = [
        (call, store.list_namespaces(**call), await store.alist_namespaces(**call))
        for call in calls
    ]
    return {"seen": seen}


def run_graph(store: BaseStore) -> list[Any]:
    builder = StateGraph(State, context_schema=Context)
    builder.add_node(write)
    builder.add_node(read)
    builder.add_node(namespaces)
    builder.add_edge(START, "write")
    builder.add_edge("write", "read")
    builder.add_edge("read", "namespaces")
    graph = builder.compile(store=store)
    result = asyncio.run(graph.ainvoke({"seen": []}, context=Context(user_id="ana")))
    return result["seen"]


def test_graph_nodes_see_what_in_memory_store_gives(store):
    ours, reference = run_graph(store), run_graph(InMemoryStore())
    assert ours == reference
    # Not vacuous: the calls found what was written, and isolation held.
    found = {entry[0]: entry[1] for entry in ours if isinstance(entry[0], str)}
    assert [row[1] for row in found["all"]] == ["m1", "m2", "m3", "main"]
    assert [row[0] for row in found["filter two"]] == [("users", "anabel", "memories")]
    assert found["label prefix"] == [] and len(found["after delete"]) == 3


def test_reads_and_deletes_create_no_namespace(store):
    # InMemoryStore lists a namespace once anything looked into it; a namespace here is
    # only ever one that holds an item.
    assert store.get(("ghost",), "k") is None
    store.delete(("ghost", "too"), "k")
    store.put(("gone",), "k", {})
    store.delete(("gone",), "k")
    assert store.list_namespaces() == [] and store.search(()) == []


class Letters(Embeddings):
    """Letter counts: texts sharing letters are near, as the tests need, and no model."""

    def embed_documents(self, texts):
        return [self.embed_query(text) for text in texts]

    def embed_query(self, text):
        return [float(text.lower().count(c)) for c in "abcdefghijklmnopqrstuvwxyz"]


def ranked(store, *args, **kwargs):
    return [
        (h.key, None if h.score is None else round(h.score, 4))
        for h in store.search(*args, **kwargs)
    ]


@pytest.mark.parametrize("fields", [None, ["text"], ["meta.title", "tags[*].name"], ["$"]], ids=str)
def test_semantic_search_ranks_as_in_memory_store(client, fields):
    config = {"dims": 26, "embed": Letters(), **({"fields": fields} if fields else {})}
    ours, reference = VelkorStore(client, index=config), InMemoryStore(index=config)
    docs = {
        "a": {"text": "zebra zone", "meta": {"title": "quiz"}, "tags": [{"name": "jazz"}]},
        "b": {"text": "apple pie", "meta": {"title": "banana"}, "tags": [{"name": "pear"}]},
        "c": {"text": "bee", "meta": {"title": "cab"}, "tags": []},
    }
    for subject in (ours, reference):
        for key, value in docs.items():
            subject.put(("docs",), key, value)
        subject.put(("docs",), "own", {"text": "x", "other": "zzz buzz"}, index=["other"])
        subject.put(("docs",), "none", {"text": "zebra"}, index=False)
    # The same cosine scores; words of the query may lift an item (the service ranks both).
    for query in ("zebra", "banana apple", "cab", "zzz"):
        ours_ranked, theirs = (
            ranked(ours, ("docs",), query=query),
            ranked(reference, ("docs",), query=query),
        )
        assert dict(ours_ranked) == dict(theirs) and len(ours_ranked) == len(theirs) == 5
    assert ours.index_config == config and ours.embeddings is not None


def test_without_an_index_the_query_is_ignored_as_langgraph_does(store):
    reference = InMemoryStore()
    for subject in (store, reference):
        subject.put(("d",), "a", {"text": "green tea"})
        subject.put(("d",), "b", {"text": "coffee"}, index=["text"])
    keys = {h.key for h in store.search(("d",), query="tea")}
    assert keys == {h.key for h in reference.search(("d",), query="tea")} == {"a", "b"}
    assert {h.score for h in store.search(("d",), query="tea")} == {None}


def test_items_carry_times_and_rewrites_keep_creation(store):
    ns = ("t",)
    store.put(ns, "k", {"v": 1})
    first = store.get(ns, "k")
    store.put(ns, "k", {"v": 2})
    second = store.get(ns, "k")
    assert isinstance(second.created_at, datetime) and second.created_at.tzinfo is not None
    assert second.created_at == first.created_at <= first.updated_at <= second.updated_at
    (hit,) = store.search(ns)
    assert (hit.value, hit.created_at, hit.updated_at) == (
        {"v": 2},
        second.created_at,
        second.updated_at,
    )


def test_pages_cover_every_item_once(store):
    for n in range(7):
        store.put(("p", str(n % 2)), f"k{n}", {"n": n})
    pages = [store.search(("p",), limit=3, offset=o) for o in (0, 3, 6)]
    keys = [i.key for page in pages for i in page]
    assert sorted(keys) == [f"k{n}" for n in range(7)] and [len(p) for p in pages] == [3, 3, 1]
    # Most recently written first.
    assert keys == [f"k{n}" for n in reversed(range(7))]


def test_batch_reads_see_the_state_before_its_writes(store):
    ns = ("b",)
    store.put(ns, "k", {"v": 0})
    ops = [
        PutOp(ns, "k", {"v": 1}),
        GetOp(ns, "k"),
        PutOp(ns, "k", {"v": 2}),
        PutOp(ns, "gone", {"v": 3}),
        PutOp(ns, "gone", None),
        SearchOp(ns),
        ListNamespacesOp(match_conditions=(MatchCondition("prefix", ns),)),
    ]
    for subject in (store, InMemoryStore()):
        if isinstance(subject, InMemoryStore):
            subject.put(ns, "k", {"v": 0})
        got = subject.batch(ops)
        assert [None if r is None else type(r).__name__ for r in got] == [
            None,
            "Item",
            None,
            None,
            None,
            "list",
            "list",
        ]
        assert got[1].value == {"v": 0} and [i.value for i in got[5]] == [{"v": 0}]
        assert got[6] == [ns]
        assert subject.get(ns, "k").value == {"v": 2} and subject.get(ns, "gone") is None


def test_conflicting_match_conditions_match_nothing(store):
    store.put(("a", "b", "c"), "k", {})
    store.put(("a", "x", "c"), "k", {})

    def listed(*conditions):
        (result,) = store.batch([ListNamespacesOp(match_conditions=conditions)])
        return result

    prefix = lambda *p: MatchCondition("prefix", p)  # noqa: E731
    assert listed(prefix("a", "*"), prefix("*", "b")) == [("a", "b", "c")]
    assert listed(prefix("a", "b"), prefix("a", "x")) == []
    assert listed(prefix("a"), MatchCondition("suffix", ("x", "c"))) == [("a", "x", "c")]


ITEM = {"text": "ok"}


class Awaiting:
    """A store's a* twins as its sync methods: each called, then awaited, in a running loop."""

    def __init__(self, store):
        self.store = store

    def __getattr__(self, name):
        method = getattr(self.store, "a" + name)

        async def call(*args, **kwargs):
            return await method(*args, **kwargs)

        return lambda *args, **kwargs: asyncio.run(call(*args, **kwargs))


@pytest.mark.parametrize("twins", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda s: s.put(("users", ""), "k", ITEM), InvalidNamespaceError),
        (lambda s: s.put(("users", "a.b"), "k", ITEM), InvalidNamespaceError),
        (lambda s: s.put((), "k", ITEM), InvalidNamespaceError),
        (lambda s: s.put(("users", 3), "k", ITEM), InvalidNamespaceError),
        (lambda s: s.put(("langgraph",), "k", ITEM), InvalidNamespaceError),
        (lambda s: s.batch([PutOp(("a\x00b",), "k", ITEM)]), InvalidNamespaceError),
        (lambda s: s.get(("a.b",), "k"), InvalidNamespaceError),
        (lambda s: s.search(("",)), InvalidNamespaceError),
        (lambda s: s.list_namespaces(prefix=("a.b",)), InvalidNamespaceError),
        (lambda s: s.list_namespaces(suffix=("\ud800",)), InvalidNamespaceError),
        (lambda s: s.get(("users",), " "), ValueError),
        (lambda s: s.get(("users",), "\ud800"), ValueError),
        (lambda s: s.get(("users",), "k", refresh_ttl=1), TypeError),
        (lambda s: s.delete(("users",), ""), ValueError),
        (lambda s: s.put(("users",), "", ITEM), ValueError),
        (lambda s: s.put(("users",), "k", "text"), TypeError),
        (lambda s: s.put(("users",), "k", {"at": datetime.now()}), TypeError),
        (lambda s: s.put(("users",), "k", {"x": float("nan")}), ValueError),
        (lambda s: s.put(("users",), "k", {1: "one"}), TypeError),
        (lambda s: s.put(("users",), "k", {"pair": (1, 2)}), TypeError),
        (lambda s: s.put(("users",), "k", {"s": "\ud800"}), ValueError),
        (lambda s: s.search(("users",), limit=-1), ValueError),
        (lambda s: s.search(("users",), offset=-1), ValueError),
        (lambda s: s.list_namespaces(limit=-1), ValueError),
        (lambda s: s.list_namespaces(max_depth=0), ValueError),
        (lambda s: s.search(("users",), filter={"n": {"$regex": "a"}}), ValueError),
        (lambda s: s.put(("users",), "k", ITEM, ttl=0), ValueError),
        (lambda s: s.batch([PutOp(None, "k", ITEM)]), InvalidNamespaceError),
        (lambda s: VelkorStore(VelkorClient(), ttl={"default": 5}), ValueError),
        (lambda s: s.batch([GetOp(("users",), "k"), "get"]), TypeError),
        # One bad operation refuses the whole batch, the good write before it included.
        (
            lambda s: s.batch([PutOp(("users",), "good", ITEM), PutOp(("users",), "k", {2: 2})]),
            TypeError,
        ),
    ],
)
def test_bad_input_is_refused_and_stores_nothing(call, error, twins):
    # Refused before the client is called, so one backend is enough.
    client = VelkorClient()
    store = VelkorStore(client)
    with pytest.raises(error) as info:
        call(Awaiting(store) if twins else store)
    assert str(info.value)
    assert store.search((), limit=100) == [] and store.list_namespaces() == []
    assert client.search_items((), limit=100) == []


def test_a_value_changed_after_aput_is_stored_as_it_was_at_the_call(store):
    async def run():
        value = {"t": ["é", {"n": 1.5, "b": True}]}
        put = asyncio.ensure_future(store.aput(("n",), "k", value))
        await asyncio.sleep(0)  # planned; sent once this turn of the loop is over
        value["t"][1]["n"] = 0
        await put

    asyncio.run(run())
    assert store.get(("n",), "k").value == {"t": ["é", {"n": 1.5, "b": True}]}


def test_operations_planned_without_the_table_are_as_it_would_check_them():
    ops = [
        GetOp(("a", "b"), "k", refresh_ttl=True),
        SearchOp(("a",), filter={"n": {"$gt": 1}}, limit=3, offset=1),
        PutOp(("a",), "k", None),
        PutOp(("a",), "k", {"v": [1, {"w": "é"}]}, ttl=2),
        ListNamespacesOp((MatchCondition("prefix", ("a", "*")),), max_depth=2, limit=5),
    ]
    for step in VelkorStore(VelkorClient())._plan(ops):
        assert OPERATIONS[step.name].bind(step.args) == step.args


@pytest.mark.parametrize(
    ("call", "same_as"),
    [
        (lambda s: s.search(["a", "b"]), lambda s: s.search(("a", "b"))),
        (lambda s: s.list_namespaces(prefix=["a"]), lambda s: s.list_namespaces(prefix=("a",))),
        (lambda s: s.list_namespaces(suffix=["c"]), lambda s: s.list_namespaces(suffix=("c",))),
        (lambda s: s.get(["a", "b", "c"], "k"), lambda s: s.get(("a", "b", "c"), "k")),
        # LangGraph's stores read a str as its characters, one label each.
        (
            lambda s: s.batch([ListNamespacesOp((MatchCondition("suffix", "bc"),))])[0],
            lambda s: [("a", "b", "c")],
        ),
    ],
)
def test_namespaces_given_as_lists_or_str_read_as_tuples(store, call, same_as):
    store.put(["a", "b", "c"], "k", {"v": 1})
    store.put(("a", "x"), "k", {"v": 2})
    assert call(store) == same_as(store) and call(store)


FILTERS = [
    {"n": {"$gt": 2}},
    {"n": {"$gte": 2, "$lt": 4}},
    {"n": {"$lte": 1.5}},
    {"n": {"$ne": 3}},
    {"n": {"$eq": 2.0}},
    {"n": {"$lt": float("inf")}},
    {"tag": {"$ne": "x"}},
    {"tag": None},
    {"meta": {"a": {"b": 1}}},
    {"list": [1, {"c": 2}]},
]


@pytest.mark.parametrize("filter", FILTERS, ids=str)
def test_filters_match_as_in_memory_store(store, filter):
    values = [
        {"n": 1, "tag": "x", "meta": {"a": {"b": 1, "z": 0}}},
        {"n": 2, "list": [1, {"c": 2, "d": 3}]},
        {"n": 3, "tag": "y", "meta": {"a": {"b": 2}}},
        {"n": 4, "tag": None, "list": [1, {"c": 2}]},
    ]
    reference = InMemoryStore()
    for subject in (store, reference):
        for index, value in enumerate(values):
            subject.put(("f",), str(index), value)
    assert {h.key for h in store.search(("f",), filter=filter)} == {
        h.key for h in reference.search(("f",), filter=filter)
    }


@pytest.mark.parametrize("twins", [False, True], ids=["sync", "async"])
def test_items_expire_and_reads_renew_them(client, monkeypatch, twins):
    clock = [datetime.now(UTC)]
    monkeypatch.setattr(keyed, "now", lambda: stamp(clock[0]))
    kept = VelkorStore(client, ttl={"default_ttl": 1, "refresh_on_read": False})
    store = Awaiting(kept) if twins else kept
    assert kept.supports_ttl and kept.ttl_config == {"default_ttl": 1, "refresh_on_read": False}
    store.put(("t",), "default", {"v": 1})  # a minute
    store.put(("t",), "long", {"v": 2}, ttl=3)
    store.put(("t",), "never", {"v": 3}, ttl=None)

    def live():
        return sorted(h.key for h in store.search(("t",), limit=9))

    clock[0] += timedelta(seconds=50)
    assert store.get(("t",), "default", refresh_ttl=True) is not None  # renewed to 1:50
    clock[0] += timedelta(seconds=50)
    assert live() == ["default", "long", "never"]
    assert store.get(("t",), "default") is not None  # refresh_on_read False: not renewed
    clock[0] += timedelta(seconds=11)
    assert live() == ["long", "never"] and store.get(("t",), "default") is None
    assert [h.key for h in store.search(("t",), refresh_ttl=True, limit=1)] == ["never"]
    clock[0] += timedelta(minutes=3)
    assert live() == ["never"] and store.list_namespaces() == [("t",)]
    assert kept.sweep_ttl() == 2 and kept.sweep_ttl() == 0
    store.put(("t",), "default", {"v": 4})
    clock[0] += timedelta(minutes=2)
    assert store.list_namespaces(prefix=("t",)) == [("t",)] and live() == ["never"]


def test_ttl_sweeper_starts_stops_and_awaits_as_langgraph_stores_do(store):
    future = store.start_ttl_sweeper(sweep_interval_minutes=1)
    assert asyncio.run(_awaited(future)) is future and not future.done()
    assert store.stop_ttl_sweeper(timeout=5) and store.stop_ttl_sweeper()
    assert future.result(timeout=5) is None


async def _awaited(future):
    return await future


class Counting:
    def __init__(self, backend):
        self.backend, self.calls = backend, 0

    def call(self, op, args):
        self.calls += 1
        return self.backend.call(op, args)


def test_a_batch_is_one_service_call_and_concurrent_calls_go_together(client):
    store = VelkorStore(client)
    counting = client._backend = Counting(client._backend)
    ns = ("b",)
    store.batch([PutOp(ns, str(n), {"n": n}) for n in range(50)] + [SearchOp(ns, limit=100)])
    assert counting.calls == 1

    async def concurrent():
        return await asyncio.gather(
            store.aput(ns, "new", {"n": -1}),
            store.aget(ns, "new"),
            store.adelete(ns, "0"),
            store.asearch(ns, filter={"n": {"$lt": 1}}),
            *(store.aget(ns, str(n)) for n in range(1, 200)),
        )

    got = asyncio.run(concurrent())
    # Sent in the order made: the get sees the put before it, the search the delete.
    assert got[1].value == {"n": -1} and [h.key for h in got[3]] == ["new"]
    assert [None if i is None else i.value["n"] for i in got[4:]][:3] == [1, 2, 3]
    assert counting.calls == 2


def test_abatch_does_not_block_the_event_loop():
    release = threading.Event()

    class Waiting(Counting):
        def call(self, op, args):
            # Only a loop that keeps running can set the event.
            assert release.wait(10), "the event loop was blocked"
            return super().call(op, args)

    client = VelkorClient()
    store = VelkorStore(client)
    store.put(("s",), "k", {"v": 1})
    client._backend = Waiting(client._backend)

    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                if ticks == 3:
                    release.set()
                await asyncio.sleep(0)

        task = asyncio.create_task(ticker())
        try:
            item = await store.aget(("s",), "k")
        finally:
            task.cancel()
        with pytest.raises(InvalidNamespaceError):
            await store.aput(("s.t",), "k", {})
        return item, ticks

    item, ticks = asyncio.run(main())
    assert item.value == {"v": 1} and ticks >= 3


async def _in_a_task_group(batch):
    try:
        async with asyncio.TaskGroup() as group:
            task = group.create_task(batch)
    except ExceptionGroup as failed:
        raise failed.exceptions[0] from None
    return task.result()


async def _from_another_thread(make):
    loop = asyncio.get_running_loop()
    return await asyncio.to_thread(lambda: asyncio.run_coroutine_threadsafe(make(), loop).result(5))


async def _from_another_loop(make):
    # Made on a loop of its own thread, handed to this one, as a coroutine can be.
    loop = asyncio.get_running_loop()

    async def there():
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(make(), loop))

    return await asyncio.to_thread(asyncio.run, there())


@pytest.mark.parametrize(
    "run",
    [
        lambda make: asyncio.run(make()),  # made before the loop runs
        lambda make: asyncio.run(asyncio.wait_for(make(), 5)),
        lambda make: asyncio.run(_in_a_task_group(make())),
        lambda make: asyncio.run(_from_another_thread(make)),
        lambda make: asyncio.run(_from_another_loop(make)),
    ],
)
def test_abatch_runs_wherever_asyncio_takes_a_coroutine(run):
    store = VelkorStore(VelkorClient())
    store.put(("a",), "k", {"v": 1})
    assert [i.value for i in run(lambda: store.abatch([GetOp(("a",), "k")]))] == [{"v": 1}]
    assert run(lambda: store.aget(("a",), "k")).value == {"v": 1}
    assert inspect.iscoroutinefunction(store.aput) and inspect.iscoroutinefunction(store.abatch)
    with pytest.raises(ValueError, match="key must not be empty"):
        run(lambda: store.abatch([GetOp(("a",), "")]))


def test_a_subclass_abatch_sees_every_async_call():
    seen = []

    class Logged(VelkorStore):
        async def abatch(self, ops):
            seen.extend(type(op).__name__ for op in ops)
            return await super().abatch(ops)

    store = Logged(VelkorClient())

    async def main():
        await store.aput(("a",), "k", {"v": 1})
        return await store.aget(("a",), "k")

    assert asyncio.run(main()).value == {"v": 1} and seen == ["PutOp", "GetOp"]


def test_a_call_cancelled_before_it_is_sent_is_not_and_loops_are_not_kept():
    store = VelkorStore(VelkorClient())

    async def main():
        task = asyncio.ensure_future(store.aput(("a",), "k", {"v": 1}))
        task.cancel()  # queued already, to be sent once this turn of the loop is over
        with pytest.raises(asyncio.CancelledError):
            await task
        await store.aput(("b",), "k", {"v": 2})

    for _ in range(3):
        asyncio.run(main())
    assert store.get(("a",), "k") is None and store.get(("b",), "k").value == {"v": 2}
    gc.collect()
    assert len(store._batchers) == 0


def test_velkor_store_needs_a_client():
    with pytest.raises(TypeError, match="VelkorClient"):
        VelkorStore(InMemoryStore())


def test_import_without_langgraph_names_the_extra():
    code = (
        "import sys; sys.modules['langgraph'] = None\n"
        "import velkor_agent_hooks.client, velkor_agent_hooks.adapters\n"
        "import velkor_agent_hooks.langgraph"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 1
    assert "ImportError: velkor_agent_hooks.langgraph needs LangGraph" in result.stderr
    assert 'pip install "velkor-agent-hooks[langgraph]"' in result.stderr


def test_type_checkers_accept_the_store_where_langgraph_takes_one():
    checked = ROOT / "tests" / "typing" / "langgraph_store.py"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(checked)],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    expected = {
        n for n, line in enumerate(checked.read_text().splitlines(), 1) if "# error" in line
    }
    reported = {
        int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line
    }
    assert reported == expected, result.stdout
