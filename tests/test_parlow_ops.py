import asyncio
import contextvars
import functools
import gc
import inspect
import threading
import traceback
import warnings
from collections import OrderedDict
from fractions import Fraction
from types import MappingProxyType, SimpleNamespace

import pytest
from conftest import Recorder, assert_no_leak, denied, raises_each_time

import velkor_agent_hooks.parlow as parlow
from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.parlow import AsyncVelkorClient

FILE = "src/velkor_agent_hooks/parlow"
DICT_OPS = ["remember", "remember_turns", "observe", "doctor"]

GATE_KW = [
    ("agent_id", ""),
    ("session_id", ""),
    ("tool_input", None),
    ("system_id", ""),
    ("actor", ""),
    ("action", ""),
    ("purpose", None),
    ("capability", None),
    ("resource", None),
    ("approval_id", None),
    ("trace_id", ""),
]
OBSERVE_KW = [
    ("tool_name", "t"),
    ("agent_id", ""),
    ("session_id", ""),
    ("outcome_status", "SUCCESS"),
    ("fields", None),
    ("system_id", ""),
    ("actor", ""),
    ("purpose", None),
    ("capability", None),
    ("resource", None),
    ("trace_id", ""),
]

# name, args, kwargs of the facade call; args and ordered keywords the sync method receives.
DEFAULT_CALLS = [
    (
        "remember",
        ("hi",),
        {},
        ("hi",),
        [("role", "user"), ("session_id", "sdk"), ("user_id", ""), ("timestamp", "")],
    ),
    ("context", ("q",), {}, ("q",), [("max_tokens", 7000)]),
    (
        "remember_turns",
        ([],),
        {},
        ([],),
        [("session_id", "sdk"), ("user_id", ""), ("timestamp", "")],
    ),
    ("gate", ("t",), {}, ("t",), GATE_KW),
    ("observe", (), {"tool_name": "t"}, (), OBSERVE_KW),
    ("doctor", (), {}, (), []),
]
CALLS = [c[:3] for c in DEFAULT_CALLS]
IDS = [c[0] for c in DEFAULT_CALLS]


def frames(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


def call(facade, name, args=(), kwargs=None):
    return getattr(facade, name)(*args, **(kwargs or {}))


class Pause:
    """Stands in for asyncio.to_thread: suspends once, then runs the job on resumption."""

    def __init__(self, job):
        self.job = job

    def __await__(self):
        try:
            sent = yield "paused"
        except KeyError:
            return {"handled": "KeyError"}
        return self.job() if sent is None else sent


@pytest.fixture
def paused(monkeypatch):
    monkeypatch.setattr(parlow, "asyncio", SimpleNamespace(to_thread=Pause))


def drive(coro):
    assert coro.send(None) == "paused"
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


# ---------------------------------------------------------------- forwarding


@pytest.mark.parametrize("name, args, kwargs, sync_args, sync_kwargs", DEFAULT_CALLS, ids=IDS)
def test_defaults_are_passed_explicitly_in_order(
    recorder, name, args, kwargs, sync_args, sync_kwargs
):
    result = asyncio.run(call(AsyncVelkorClient(recorder), name, args, kwargs))
    [(method, got_args, got_kwargs)] = recorder.calls
    assert (method, got_args, list(got_kwargs.items())) == (name, sync_args, sync_kwargs)
    assert result is recorder.results[name]


@pytest.mark.parametrize("name", IDS)
def test_every_argument_reaches_its_keyword(recorder, name):
    sig = inspect.signature(getattr(AsyncVelkorClient, name))
    params = list(sig.parameters)[1:]
    special = {"max_tokens": 5, "turns": [{"n": 1}], "tool_input": {"n": 2}, "fields": {"n": 3}}
    values = {p: special.get(p, f"v-{p}") for p in params}
    # Reversed on purpose: the sync call must still get signature order.
    given = dict(reversed(values.items()))
    asyncio.run(call(AsyncVelkorClient(recorder), name, (), given))
    [(_, got_args, got_kwargs)] = recorder.calls
    positional = [] if name in ("observe", "doctor") else params[:1]
    assert list(got_args) == [values[p] for p in positional]
    assert list(got_kwargs.items()) == [(p, values[p]) for p in params if p not in positional]


# ---------------------------------------------------------------- call-time type tests


@pytest.mark.parametrize(
    "given, sent",
    [(2.9, 2), (True, 1), (Fraction(7, 2), 3), (-0.5, 0), (10**30, 10**30)],
)
def test_max_tokens_is_converted_at_the_call(recorder, given, sent):
    asyncio.run(AsyncVelkorClient(recorder).context("q", max_tokens=given))
    value = recorder.calls[0][2]["max_tokens"]
    assert (type(value), value) == (int, sent)


# ---------------------------------------------------------------- snapshots

SNAPSHOTS = {
    "gate": (lambda f, box: f.gate("t", tool_input=box), lambda c: c[2]["tool_input"]),
    "observe": (lambda f, box: f.observe(tool_name="t", fields=box), lambda c: c[2]["fields"]),
    "remember_turns": (lambda f, box: f.remember_turns([box]), lambda c: c[1][0][0]),
}


@pytest.mark.parametrize("name", SNAPSHOTS)
def test_snapshot_is_taken_at_the_first_step(recorder, name):
    start, sent = SNAPSHOTS[name]
    facade = AsyncVelkorClient(recorder)
    box = {"v": 1, "nested": []}

    async def main():
        coro = start(facade, box)
        box["v"] = 2  # before the first step: seen
        task = asyncio.create_task(coro)
        await asyncio.sleep(0)
        box["v"] = 3  # after it: not seen
        box["nested"].append("shared")
        await task

    asyncio.run(main())
    got = sent(recorder.calls[0])
    assert type(got) is dict
    assert got is not box
    assert got["v"] == 2
    assert got["nested"] is box["nested"]


@pytest.mark.parametrize("empty", [{}, MappingProxyType({})], ids=["dict", "proxy"])
def test_empty_mapping_gives_a_new_empty_dict(recorder, empty):
    facade = AsyncVelkorClient(recorder)
    asyncio.run(facade.gate("t", tool_input=empty))
    asyncio.run(facade.observe(tool_name="t", fields=empty))
    for _, _, kwargs in recorder.calls:
        got = kwargs.get("tool_input", kwargs.get("fields"))
        assert type(got) is dict
        assert got == {}
        assert got is not empty


def test_turns_become_a_list_of_new_dicts(recorder):
    facade = AsyncVelkorClient(recorder)
    first = {"role": "user", "text": "a"}
    turns = (first, MappingProxyType({"text": "b"}), [("text", "c")])
    asyncio.run(facade.remember_turns(turns))
    one_shot = iter([{"text": "d"}])
    asyncio.run(facade.remember_turns(one_shot))
    assert list(one_shot) == []
    growing = [{"text": "e"}]
    coro = facade.remember_turns(growing)
    growing.append({"text": "f"})  # before the first step: seen
    asyncio.run(coro)
    sent = [c[1][0] for c in recorder.calls]
    assert sent == [
        [first, {"text": "b"}, {"text": "c"}],
        [{"text": "d"}],
        [{"text": "e"}, {"text": "f"}],
    ]
    assert all(type(s) is list and all(type(t) is dict for t in s) for s in sent)
    assert sent[0][0] is not first
    assert sent[2] is not growing


class NoSync:
    pass


AWAIT_ERRORS = [
    ("gate", ("t",), {"tool_input": 5}, TypeError, Recorder()),
    ("observe", (), {"tool_name": "t", "fields": [1]}, TypeError, Recorder()),
    ("remember_turns", ([{"text": "a"}, 7],), {}, TypeError, Recorder()),
    ("remember_turns", (5,), {}, TypeError, Recorder()),
    ("gate", ("t",), {"tool_input": 5}, TypeError, NoSync()),  # snapshot before `sync`
    ("remember", ("x",), {}, AttributeError, object()),
    ("doctor", (), {}, AttributeError, NoSync()),
]


@pytest.mark.parametrize("name, args, kwargs, exc, sync", AWAIT_ERRORS)
def test_first_step_errors_come_from_the_await(name, args, kwargs, exc, sync):
    facade = AsyncVelkorClient(object())
    coro = call(facade, name, args, kwargs)
    if isinstance(sync, NoSync):
        del facade.sync
    else:
        facade.sync = sync
    with pytest.raises(exc) as info:
        asyncio.run(coro)
    assert (name, FILE) in frames(info.value)
    assert getattr(sync, "calls", []) == []


# ---------------------------------------------------------------- results


class DictSub(dict):
    pass


@pytest.mark.parametrize("name", DICT_OPS)
@pytest.mark.parametrize(
    "bad, type_name",
    [(DictSub(a=1), "DictSub"), (OrderedDict(), "OrderedDict"), ([], "list"), ("x", "str")],
)
def test_dict_results_are_checked(name, bad, type_name):
    args, kwargs = dict((c[0], c[1:]) for c in CALLS)[name]
    facade = AsyncVelkorClient(Recorder(**{name: lambda *a, **k: bad}))
    with pytest.raises(TypeError, match=rf"^Expected dict, got {type_name}$") as info:
        asyncio.run(call(facade, name, args, kwargs))
    assert (name, FILE) in frames(info.value)


@pytest.mark.parametrize("name", ["gate", "context"])
@pytest.mark.parametrize("result", [denied(), DictSub(), [], 0])
def test_gate_and_context_results_are_returned_unchanged(name, result):
    facade = AsyncVelkorClient(Recorder(**{name: lambda *a, **k: result}))
    assert asyncio.run(call(facade, name, ("x",))) is result


@pytest.mark.parametrize("name, args, kwargs", CALLS, ids=IDS)
def test_sync_errors_propagate_unchanged(name, args, kwargs):
    error = LookupError("boom")
    facade = AsyncVelkorClient(Recorder(**{name: error}))
    with pytest.raises(LookupError) as info:
        asyncio.run(call(facade, name, args, kwargs))
    assert info.value is error
    assert (name, FILE) in frames(info.value)
    assert (f"velkor_agent_hooks.parlow.AsyncVelkorClient.{name}", FILE) not in frames(error)


# ---------------------------------------------------------------- threads and the loop


@pytest.mark.parametrize("name, args, kwargs", CALLS, ids=IDS)
def test_sync_call_runs_in_a_worker_thread(name, args, kwargs):
    seen = {}

    def record(*a, **k):
        seen["worker"] = threading.get_ident()

    facade = AsyncVelkorClient(Recorder(**{name: record}))

    async def main():
        seen["loop"] = threading.get_ident()
        return await call(facade, name, args, kwargs)

    assert asyncio.run(main()) is None
    assert seen["worker"] != seen["loop"]


def test_slow_sync_call_leaves_the_loop_free():
    release = threading.Event()
    facade = AsyncVelkorClient(Recorder(doctor=lambda: {"released": release.wait(10)}))
    coro = facade.doctor()
    seen = []

    async def releaser():
        await asyncio.sleep(0.01)
        seen.append((coro.cr_await is not None, coro.cr_running))
        release.set()

    async def main():
        result, _ = await asyncio.gather(coro, releaser())
        return result

    assert asyncio.run(main()) == {"released": True}
    assert seen == [(True, False)]


VAR = contextvars.ContextVar("parlow_test_var", default="unset")


def test_context_variables_reach_the_sync_call():
    facade = AsyncVelkorClient(Recorder(remember=lambda *a, **k: {"var": VAR.get()}))

    async def main():
        VAR.set("caller")
        return await facade.remember("x")

    assert asyncio.run(main()) == {"var": "caller"}


def test_cancel_raises_at_the_await_and_the_worker_completes():
    started, release, finished = threading.Event(), threading.Event(), threading.Event()

    def slow(*a, **k):
        started.set()
        release.wait(10)
        finished.set()
        return {"late": True}

    facade = AsyncVelkorClient(Recorder(remember=slow))
    seen = []

    async def waiter():
        try:
            await facade.remember("x")
        except asyncio.CancelledError:
            seen.append("cancelled at the await")
            raise

    async def main():
        task = asyncio.create_task(waiter())
        while not started.is_set():
            await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        release.set()

    asyncio.run(main())  # waits for the default executor
    assert seen == ["cancelled at the await"]
    assert finished.is_set()


def test_no_running_loop_fails_at_the_await(recorder):
    coro = AsyncVelkorClient(recorder).doctor()
    with pytest.raises(RuntimeError, match="no running event loop") as info:
        coro.send(None)
    assert ("doctor", FILE) in frames(info.value)
    assert recorder.calls == []


# ---------------------------------------------------------------- late lookups


def test_asyncio_partial_and_sync_are_read_when_the_coroutine_runs(monkeypatch, recorder):
    facade = AsyncVelkorClient(Recorder())
    gate, doctor = facade.gate("t", actor="a"), facade.doctor()
    jobs, partials = [], []

    def to_thread(job):
        jobs.append(job)
        return asyncio.to_thread(job)

    def partial(*args, **kwargs):
        partials.append((args[1:], list(kwargs)))
        return functools.partial(*args, **kwargs)

    monkeypatch.setattr(parlow, "asyncio", SimpleNamespace(to_thread=to_thread))
    monkeypatch.setattr(parlow, "partial", partial)
    facade.sync = recorder

    async def main():
        return await gate, await doctor

    assert asyncio.run(main()) == (recorder.results["gate"], recorder.results["doctor"])
    assert recorder.names() == ["gate", "doctor"]
    assert partials == [(("t",), [k for k, _ in GATE_KW])]
    assert isinstance(jobs[0], functools.partial)
    assert not isinstance(jobs[1], functools.partial)  # doctor hands over the method itself


def test_doctor_needs_no_partial(monkeypatch, recorder):
    monkeypatch.delattr(parlow, "partial")
    facade = AsyncVelkorClient(recorder)
    assert asyncio.run(facade.doctor()) == {"ok": True}
    with pytest.raises(NameError, match="'partial'"):
        asyncio.run(facade.remember("x"))


# ---------------------------------------------------------------- coroutine objects


@pytest.mark.parametrize("name, args, kwargs", CALLS, ids=IDS)
def test_coroutine_identity(recorder, name, args, kwargs):
    coro = call(AsyncVelkorClient(recorder), name, args, kwargs)
    try:
        assert (coro.__name__, coro.__qualname__) == (name, f"AsyncVelkorClient.{name}")
        assert asyncio.iscoroutine(coro)
        assert (coro.cr_running, coro.cr_await) == (False, None)
        with pytest.raises(TypeError):
            iter(coro)
    finally:
        coro.close()
    assert recorder.calls == []


@pytest.mark.parametrize("name, args, kwargs", CALLS, ids=IDS)
def test_never_awaited_warns_and_does_nothing(recorder, name, args, kwargs):
    facade = AsyncVelkorClient(recorder)
    pattern = rf"^coroutine 'AsyncVelkorClient\.{name}' was never awaited$"
    with pytest.warns(RuntimeWarning, match=pattern):
        coro = call(facade, name, args, kwargs)
        del coro
        gc.collect()
    assert recorder.calls == []


@pytest.mark.parametrize("finish", ["close", "throw"])
def test_closed_before_start_is_silent(recorder, finish):
    coro = AsyncVelkorClient(recorder).gate("t", tool_input={"a": 1})
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        if finish == "close":
            assert coro.close() is None
        else:
            with pytest.raises(KeyError):
                coro.throw(KeyError("early"))
        with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
            coro.send(None)
        del coro
        gc.collect()
    assert seen == []
    assert recorder.calls == []


def test_hand_driven_life_cycle(paused, recorder):
    facade = AsyncVelkorClient(recorder)
    coro = facade.remember("x")
    assert coro.send(None) == "paused"
    assert inspect.isgenerator(coro.cr_await)
    assert not coro.cr_running
    assert recorder.calls == []  # the job runs on resumption
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value is recorder.results["remember"]
    assert coro.cr_await is None
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
        coro.send(None)


def test_await_returns_an_iterator(paused, recorder):
    coro = AsyncVelkorClient(recorder).gate("t")
    it = coro.__await__()
    assert iter(it) is it
    assert next(it) == "paused"
    with pytest.raises(StopIteration) as stop:
        it.send("from the loop")
    assert stop.value.value == "from the loop"
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
        next(it)


def test_running_flag_inside_the_first_step(paused, monkeypatch, recorder):
    seen = []

    def partial(*args, **kwargs):
        seen.append(coro.cr_running)
        return functools.partial(*args, **kwargs)

    monkeypatch.setattr(parlow, "partial", partial)
    coro = AsyncVelkorClient(recorder).context("q")
    drive(coro)
    assert seen == [True]


def test_non_none_start_is_refused_and_leaves_it_unstarted(paused, recorder):
    coro = AsyncVelkorClient(recorder).doctor()
    with pytest.raises(TypeError, match=r"^can't send non-None value to a just-started coroutine$"):
        coro.send(1)
    assert recorder.calls == []
    assert drive(coro) == {"ok": True}


def test_throw_is_delegated_to_the_awaited_object(paused, recorder):
    facade = AsyncVelkorClient(recorder)
    handled = facade.observe(tool_name="t")
    handled.send(None)
    with pytest.raises(StopIteration) as stop:
        handled.throw(KeyError("k"))
    assert stop.value.value == {"handled": "KeyError"}

    unhandled = facade.observe(tool_name="t")
    unhandled.send(None)
    error = ValueError("v")
    with pytest.raises(ValueError) as info:
        unhandled.throw(error)
    assert info.value is error
    assert ("observe", FILE) in frames(error)
    assert recorder.calls == []


def test_close_is_delegated_to_the_awaited_object(paused, recorder):
    coro = AsyncVelkorClient(recorder).remember("x")
    coro.send(None)
    awaited = coro.cr_await
    assert coro.close() is None
    assert inspect.getgeneratorstate(awaited) == inspect.GEN_CLOSED
    assert coro.cr_await is None
    assert recorder.calls == []


def test_awaiting_a_finished_operation_fails(recorder):
    coro = AsyncVelkorClient(recorder).doctor()
    asyncio.run(coro)

    async def again():
        return await coro

    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
        asyncio.run(again())


# ---------------------------------------------------------------- embedded client


def test_end_to_end_with_the_embedded_client():
    facade = AsyncVelkorClient(project="p", deny_tools=["shell"])

    async def main():
        stored = await facade.remember("the cat sleeps", session_id="s1")
        turns = await facade.remember_turns([{"role": "user", "text": "dogs bark loudly"}])
        found = await asyncio.wait_for(facade.context("cat"), timeout=10)
        refused = await asyncio.create_task(facade.gate("shell", trace_id="tr"))
        observed = await facade.observe(tool_name="search", fields={"n": 1})
        with pytest.raises(ValueError, match="text must not be empty"):
            await facade.remember("   ")
        return stored, turns, found, refused, observed, await facade.doctor()

    stored, turns, found, refused, observed, doctor = asyncio.run(main())
    assert stored["stored"] is True and stored["session_id"] == "s1"
    assert turns["stored"] == 1
    assert found.text == "the cat sleeps"
    assert (refused.allow, refused.outcome, refused.trace_id) == (False, "DENIED", "tr")
    assert observed["recorded"] is True
    assert (doctor["memories"], doctor["audit_events"]) == (2, 2)


def test_many_operations_on_one_facade():
    facade = AsyncVelkorClient(VelkorClient(deny_tools=["shell"]))

    async def main():
        ops = []
        for i in range(200):
            if i % 4 == 0:
                ops.append(facade.gate("shell" if i % 8 else "search", tool_input={"i": i}))
            elif i % 4 == 1:
                ops.append(facade.observe(tool_name="search", fields={"i": i}))
            else:
                ops.append(facade.remember(f"note {i}", session_id=f"s{i}"))
        return await asyncio.gather(*ops)

    results = asyncio.run(main())
    assert len(results) == 200
    ids = {r["id"] for i, r in enumerate(results) if i % 4 >= 2}
    assert len(ids) == 100
    assert [r.allow for r in results[::4]] == [i % 8 == 0 for i in range(0, 200, 4)]
    assert len(facade.sync.memories()) == 100
    events = facade.sync.audit_events()
    assert sorted(e["fields"]["i"] for e in events if e["kind"] == "observe") == list(
        range(1, 200, 4)
    )


# ---------------------------------------------------------------- leaks


def fail(*args, **kwargs):
    raise LookupError("fresh each time")


def leak_scenarios():
    ok, failing = Recorder(), Recorder(remember=fail)
    bad_result = Recorder(remember=lambda *a, **k: DictSub())
    good, bad, wrong = (AsyncVelkorClient(c) for c in (ok, failing, bad_result))

    def all_six():
        drive(good.remember("x", role="r"))
        drive(good.context("q", max_tokens=2.5))
        drive(good.remember_turns(({"text": "a"}, [("text", "b")])))
        drive(good.gate("t", tool_input={"a": [1]}, purpose="p"))
        drive(good.observe(tool_name="t", fields={"b": 2}))
        drive(good.doctor())

    def thrown():
        coro = good.gate("t")
        coro.send(None)
        coro.throw(ValueError("in"))

    scenarios = {
        "success": all_six,
        "sync-raises": raises_each_time(LookupError, lambda: drive(bad.remember("x"))),
        "result-type": raises_each_time(TypeError, lambda: drive(wrong.remember("x"))),
        "snapshot-error": raises_each_time(TypeError, lambda: drive(good.gate("t", tool_input=5))),
        "thrown": raises_each_time(ValueError, thrown),
        "closed-unstarted": lambda: good.gate("t", tool_input={"a": 1}).close(),
    }

    def forgetting(fn):
        def run():
            fn()
            for rec in (ok, failing, bad_result):
                rec.calls.clear()

        return run

    return {name: forgetting(fn) for name, fn in scenarios.items()}


@pytest.mark.parametrize("scenario", list(leak_scenarios()))
def test_no_leaks(paused, scenario):
    assert_no_leak(leak_scenarios()[scenario])
