"""Long runs: the facade on a real event loop many times over, and a large cancelled gather."""

import asyncio
import threading
import time
from types import SimpleNamespace

from conftest import Recorder, assert_no_leak

import velkor_agent_hooks.parlow as parlow


def down(*args, **kwargs):
    # A fresh exception each time: re-raising one instance would grow its traceback.
    raise LookupError("down")


def test_operations_on_a_real_loop_without_growth():
    # Each path is leak-tested alone elsewhere with the loop stood in for; here the
    # coroutines run under asyncio.run with worker threads, as hosts run them.
    ok = Recorder()
    failing = Recorder(context=down, remember=down, gate=down, observe=[], doctor=down)
    facades = parlow.AsyncVelkorClient(ok), parlow.AsyncVelkorClient(failing)

    async def operations(f):
        await f.remember("t")
        await f.context("q", max_tokens=2.5)
        await f.remember_turns(({"role": "user", "text": "x"},))
        await f.gate("tool", tool_input={"k": 1})
        await f.observe(tool_name="tool", fields={"n": 1})
        await f.doctor()

    async def both():
        for f in facades:
            try:
                await operations(f)
            except LookupError:
                pass

    def one_round():
        asyncio.run(both())
        ok.calls.clear()
        failing.calls.clear()

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
