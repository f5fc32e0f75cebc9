"""Times every adapter operation against the plain-Python baseline, and every async operation
against a bare ``await asyncio.to_thread(fn)``, in one process with the two sides interleaved.

    python bench/run.py [--repeats N] [--json PATH] [--quick]

Prints a table (ns per operation, median of the repeats, native / baseline) and writes JSON.
"""

import argparse
import asyncio
import gc
import json
import os
import platform
import statistics
import sys
import time
import timeit
from functools import partial
from pathlib import Path
from types import SimpleNamespace

import baseline

import velkor_agent_hooks.adapters as native
import velkor_agent_hooks.parlow as parlow

CONTEXT = SimpleNamespace(text="remembered text", block_hash="abc", token_count=4, status="ok")
STORED = {"stored": True}


class Decision:
    allow, governed, reason, degraded, outcome = True, True, "ok", False, "ALLOWED"

    def require(self) -> None:
        return None


DECISION = Decision()


class InstantClient:
    """Answers at once, so the adapters' own cost is what is measured."""

    def context(self, query, max_tokens=2000):
        return CONTEXT

    def remember(self, text, *, role="user", session_id="sdk", user_id="", timestamp=""):
        return STORED

    def remember_turns(self, turns, *, session_id="sdk", user_id="", timestamp=""):
        return STORED

    def gate(self, tool_name, **kwargs):
        return DECISION

    def observe(self, **kwargs):
        return STORED

    def doctor(self):
        return STORED


SYNC_OPS = {
    "load_memory_variables": "memory.load_memory_variables(inputs)",
    "save_context": "memory.save_context(inputs, outputs)",
    "memory_variables": "memory.memory_variables",
    "put": "store.put(namespace, 'key', value)",
    "search": "store.search(namespace, query='q', limit=3)",
    "before_tool": "hooks.before_tool('search', tool_input, session_id='s', trace_id='t')",
    "after_tool": "hooks.after_tool('search', session_id='s', result='done', trace_id='t')",
    "guard": "with hooks.guard('search', tool_input, trace_id='t'):\n    pass",
    "openai_tools": "openai_tools()",
    "dispatch context": "dispatch(client, 'velkor_context', context_args)",
    "dispatch remember": "dispatch(client, 'velkor_remember', remember_args)",
    "dispatch gate": "dispatch(client, 'velkor_gate', gate_args)",
}

# Faster than the baseline is the target where the native side does real work of its own.
MUST_WIN = {"guard", "openai_tools", "dispatch context", "dispatch remember", "dispatch gate"}


def namespace_for(module):
    client = InstantClient()
    return {
        "client": client,
        "memory": module.LangChainMemory(client),
        "store": module.LangGraphStore(client),
        "hooks": module.AgentHooks(client, "agent"),
        "openai_tools": module.openai_tools,
        "dispatch": module.dispatch,
        "inputs": {"input": "what did we decide?"},
        "outputs": {"output": "ship on friday"},
        "namespace": ("users", "ana"),
        "value": "plain text value",
        "tool_input": {"q": "x"},
        "context_args": {"query": "q", "max_tokens": 300},
        "remember_args": {"text": "hi", "role": "user", "session_id": "s"},
        "gate_args": {"tool_name": "shell", "agent_id": "a", "tool_input": {"cmd": "ls"}},
    }


def time_stmt(stmt, namespace, number):
    return timeit.Timer(stmt, globals=namespace).timeit(number) / number * 1e9


def bench_sync(repeats, number):
    sides = {"native": namespace_for(native), "baseline": namespace_for(baseline)}
    samples = {op: {"native": [], "baseline": []} for op in SYNC_OPS}
    for r in range(repeats):
        for op, stmt in SYNC_OPS.items():
            order = ("native", "baseline") if r % 2 == 0 else ("baseline", "native")
            for side in order:
                samples[op][side].append(time_stmt(stmt, sides[side], number))
    return samples


async def time_pair(native_call, baseline_call, number):
    """Alternates the two sides await by await, so both see the same thread scheduling."""
    spent = {"native": 0, "baseline": 0}
    clock = time.perf_counter_ns
    for i in range(number):
        first, second = ("native", "baseline") if i % 2 == 0 else ("baseline", "native")
        calls = {"native": native_call, "baseline": baseline_call}
        for side in (first, second):
            start = clock()
            await calls[side]()
            spent[side] += clock() - start
    return {side: total / number for side, total in spent.items()}


async def bench_async(repeats, number):
    client = InstantClient()
    facade = parlow.AsyncVelkorClient(client)
    turns = [{"role": "user", "text": "hi"}]
    # Each operation against handing the very call it makes to the worker directly.
    gate_kw = dict.fromkeys(("agent_id", "session_id"), "")
    gate_kw |= {"tool_input": {"cmd": "ls"}, "system_id": "", "actor": "", "action": ""}
    gate_kw |= dict.fromkeys(("purpose", "capability", "resource", "approval_id"))
    observe_kw = {"tool_name": "t", "agent_id": "", "session_id": "", "outcome_status": "SUCCESS"}
    observe_kw |= {"fields": {"n": 1}, "system_id": "", "actor": ""}
    observe_kw |= dict.fromkeys(("purpose", "capability", "resource"))
    ops = {
        "remember": (
            lambda: facade.remember("text"),
            partial(
                client.remember, "text", role="user", session_id="sdk", user_id="", timestamp=""
            ),
        ),
        "context": (
            lambda: facade.context("q", max_tokens=300),
            partial(client.context, "q", max_tokens=300),
        ),
        "remember_turns": (
            lambda: facade.remember_turns(turns),
            partial(client.remember_turns, turns, session_id="sdk", user_id="", timestamp=""),
        ),
        "gate": (
            lambda: facade.gate("shell", tool_input={"cmd": "ls"}),
            partial(client.gate, "shell", **gate_kw, trace_id=""),
        ),
        "observe": (
            lambda: facade.observe(tool_name="t", fields={"n": 1}),
            partial(client.observe, **observe_kw, trace_id=""),
        ),
        "doctor": (lambda: facade.doctor(), client.doctor),
    }
    samples = {op: {"native": [], "baseline": []} for op in ops}
    for _ in range(repeats):
        for op, (call, fn) in ops.items():
            timed = await time_pair(call, lambda fn=fn: asyncio.to_thread(fn), number)
            for side, ns in timed.items():
                samples[op][side].append(ns)
    return samples


def summarise(samples, limit, must_win=frozenset()):
    rows = []
    for op, sides in samples.items():
        n, b = statistics.median(sides["native"]), statistics.median(sides["baseline"])
        ratio = n / b
        ok = ratio <= limit and (op not in must_win or ratio < 1.0)
        rows.append({"op": op, "native_ns": n, "baseline_ns": b, "ratio": ratio, "meets": ok})
    return rows


def print_table(title, rows, baseline_name):
    print(f"\n{title}")
    print(f"{'operation':<24}{'native ns':>12}{baseline_name + ' ns':>16}{'ratio':>8}  target")
    for row in rows:
        mark = "ok" if row["meets"] else "MISS"
        print(
            f"{row['op']:<24}{row['native_ns']:>12.0f}{row['baseline_ns']:>16.0f}"
            f"{row['ratio']:>8.2f}  {mark}"
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--json", default=str(Path(__file__).with_name("results.json")))
    parser.add_argument("--quick", action="store_true", help="few repeats, for a smoke run")
    args = parser.parse_args()
    repeats = 3 if args.quick else args.repeats
    gc.collect()
    sync_rows = summarise(bench_sync(repeats, 2000 if args.quick else 20000), 1.10, MUST_WIN)
    async_rows = summarise(asyncio.run(bench_async(2 * repeats, 50 if args.quick else 400)), 1.05)
    machine = {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "processor": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
    }
    print(f"machine: {machine}")
    print_table("sync adapters (target: ratio <= 1.10, < 1.00 for real work)", sync_rows, "python")
    print_table("async facade (target: ratio <= 1.05)", async_rows, "to_thread")
    Path(args.json).write_text(
        json.dumps({"machine": machine, "sync": sync_rows, "async": async_rows}, indent=2) + "\n"
    )
    print(f"\nwritten: {args.json}")


if __name__ == "__main__":
    main()
