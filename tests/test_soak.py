"""Long runs: every path of both modules many times over, and a large cancelled gather."""

import asyncio
import threading
import time
from types import SimpleNamespace

from conftest import Recorder, assert_no_leak, denied

import velkor_agent_hooks.adapters as adapters
import velkor_agent_hooks.parlow as parlow


class Text(str):
    pass


def down(*args, **kwargs):
    # A fresh exception each time: re-raising one instance would grow its traceback.
    raise LookupError("down")


def every_path():
    """Callables covering the success and error paths of every function."""
    ok = Recorder()
    failing = Recorder(context=down, remember=down, gate=down, observe=[], doctor=down)
    memory, bad_memory = adapters.LangChainMemory(ok), adapters.LangChainMemory(failing)
    store, bad_store = adapters.LangGraphStore(ok), adapters.LangGraphStore(failing)
    hooks, bad_hooks = adapters.AgentHooks(ok, "a"), adapters.AgentHooks(failing, "a")
    refusing = Recorder(gate=denied())
    deny = adapters.AgentHooks(refusing, "a")
    facade, bad_facade = parlow.AsyncVelkorClient(ok), parlow.AsyncVelkorClient(failing)

    def guard(h, fail=False):
        with h.guard("tool", {"k": 1}):
            if fail:
                raise KeyError("block")

    async def operations(f):
        await f.remember("t")
        await f.context("q", max_tokens=2.5)
        await f.remember_turns(({"role": "user", "text": "x"},))
        await f.gate("tool", tool_input={"k": 1})
        await f.observe(tool_name="tool", fields={"n": 1})
        await f.doctor()

    calls = [
        lambda: memory.load_memory_variables({"input": 4}),
        lambda: memory.save_context({"query": "q"}, {"answer": "a"}),
        lambda: memory.memory_variables,
        lambda: bad_memory.load_memory_variables({}),
        lambda: bad_memory.save_context({"input": "q"}, {}),
        lambda: adapters.LangChainMemory(ok, session_id=Text("s")),
        lambda: store.put(["a", "b"], "k", {"v": [1, 2]}),
        lambda: store.search(("a",), query="q", limit=3.5),
        lambda: bad_store.put([], "k", "v"),
        lambda: store.put([1], "k", "v"),
        lambda: store.search([], query="q", limit="x"),
        lambda: hooks.after_tool("t", result="x" * 2000),
        lambda: bad_hooks.after_tool("t"),
        lambda: guard(hooks),
        lambda: guard(hooks, fail=True),
        lambda: guard(deny),
        lambda: guard(bad_hooks),
        lambda: hooks.before_tool(None),
        lambda: adapters.openai_tools(),
        lambda: adapters.openai_tools(1),
        lambda: adapters.dispatch(ok, "velkor_context", {"max_tokens": "12"}),
        lambda: adapters.dispatch(ok, "velkor_remember", {"text": 5}),
        lambda: adapters.dispatch(ok, "velkor_gate", {"tool_input": {"a": 1}}),
        lambda: adapters.dispatch(ok, "velkor_context", {"max_tokens": "abc"}),
        lambda: adapters.dispatch(ok, "nope", {}),
        lambda: adapters.dispatch(ok, Text("velkor_gate"), {}),
        lambda: asyncio.run(operations(facade)),
        lambda: asyncio.run(operations(bad_facade)),
        lambda: facade.observe("positional"),
        lambda: facade.context("q", max_tokens="5"),
        lambda: facade.gate("t").close(),
        lambda: parlow.AsyncVelkorClient(ok, extra=1),
    ]
    return calls, (ok, failing, refusing)


def test_every_path_many_times_without_growth():
    calls, recorders = every_path()

    def one_round():
        for call in calls:
            try:
                call()
            except (LookupError, TypeError, ValueError, PermissionError):
                pass
        for recorder in recorders:
            recorder.calls.clear()

    assert_no_leak(one_round, rounds=150, warmup=30, limit=64 * 1024)


def test_thousand_operations_with_cancellations_lose_nothing():
    started, finished = set(), set()
    lock = threading.Lock()
    release = threading.Event()
    held = {"t0", "t1", "t2"}  # these calls wait in their workers until cancelled

    def remember(text, **kwargs):
        with lock:
            started.add(text)
        if text in held:
            release.wait(10)
        time.sleep(0.0002)
        with lock:
            finished.add(text)
        return {"text": text}

    facade = parlow.AsyncVelkorClient(SimpleNamespace(remember=remember))
    threads_before = threading.active_count()

    async def main():
        tasks = [asyncio.create_task(facade.remember(f"t{i}")) for i in range(1000)]
        while not held <= started:
            await asyncio.sleep(0.001)
        doomed = [0, 1, 2, *range(999, 0, -7)][:100]
        for i in doomed:
            assert tasks[i].cancel()
        release.set()
        return await asyncio.gather(*tasks, return_exceptions=True)

    results = asyncio.run(main())  # also waits for the executor's workers to finish
    cancelled = {i for i, r in enumerate(results) if isinstance(r, asyncio.CancelledError)}
    assert len(cancelled) == 100
    kept = [f"t{i}" for i in range(1000) if i not in cancelled]
    assert [r for r in results if isinstance(r, dict)] == [{"text": t} for t in kept]
    # Calls a worker had started complete although their awaiters were cancelled.
    assert started == finished and finished >= set(kept) | held
    assert threading.active_count() == threads_before
