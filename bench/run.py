"""Times every adapter operation against two plain-Python baselines, and every async operation
against a bare ``await asyncio.to_thread(fn)``, in one process with the sides interleaved.

    python bench/run.py [--repeats N] [--json PATH] [--quick]

The baselines: ``lean`` (lean.py, the adapters as a Python programmer would write them) and
``twin`` (baseline.py, the same steps and argument checks as the native code). Prints the
machine and a table (ns per operation, the fastest of the repeats for the sync adapters and the
median for the async facade, and the speedup baseline ns / native ns against each baseline)
and writes JSON.
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
import lean

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

# Speedup targets against both baselines: at least 1.0 everywhere, 1.2 where the native side
# skips interpreter work of its own.
TARGET = 1.0
STRONG = {"save_context", "openai_tools", "dispatch context", "dispatch remember", "dispatch gate"}
STRONG_TARGET = 1.2
SIDES = ("native", "lean", "twin")


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
    sides = {"native": namespace_for(native), "lean": namespace_for(lean)}
    sides["twin"] = namespace_for(baseline)
    samples = {op: {side: [] for side in SIDES} for op in SYNC_OPS}
    for r in range(repeats):
        for op, stmt in SYNC_OPS.items():
            k = r % len(SIDES)  # each side takes each place in turn
            for side in SIDES[k:] + SIDES[:k]:
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


def summarise_sync(samples):
    rows = []
    for op, times in samples.items():
        # The fastest repeat: on a shared machine the others measure the neighbours too.
        row = {"op": op, **{f"{side}_ns": min(times[side]) for side in SIDES}}
        target = STRONG_TARGET if op in STRONG else TARGET
        for side in SIDES[1:]:
            row[f"speedup_{side}"] = row[f"{side}_ns"] / row["native_ns"]
        row["target"] = target
        row["meets"] = all(row[f"speedup_{side}"] >= target for side in SIDES[1:])
        rows.append(row)
    return rows


def summarise_async(samples, limit):
    rows = []
    for op, sides in samples.items():
        n, b = statistics.median(sides["native"]), statistics.median(sides["baseline"])
        rows.append({"op": op, "native_ns": n, "to_thread_ns": b, "ratio": n / b})
        rows[-1]["meets"] = rows[-1]["ratio"] <= limit
    return rows


def print_sync(rows):
    print("\nsync adapters: ns per call (fastest repeat); speedup = baseline ns / native ns")
    head = f"{'operation':<20}{'native':>9}{'lean':>9}{'twin':>9}{'vs lean':>9}{'vs twin':>9}"
    print(head + "  target")
    for r in rows:
        mark = "ok" if r["meets"] else "MISS"
        print(
            f"{r['op']:<20}{r['native_ns']:>9.0f}{r['lean_ns']:>9.0f}{r['twin_ns']:>9.0f}"
            f"{r['speedup_lean']:>9.2f}{r['speedup_twin']:>9.2f}  >= {r['target']:.1f} {mark}"
        )


def print_async(rows, limit):
    print(f"\nasync facade: ns per await; ratio = native / bare to_thread (target <= {limit})")
    print(f"{'operation':<20}{'native':>10}{'to_thread':>11}{'ratio':>8}")
    for r in rows:
        mark = "ok" if r["meets"] else "MISS"
        line = f"{r['op']:<20}{r['native_ns']:>10.0f}{r['to_thread_ns']:>11.0f}"
        print(f"{line}{r['ratio']:>8.2f}  {mark}")


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--json", default=str(Path(__file__).with_name("results.json")))
    parser.add_argument("--quick", action="store_true", help="few repeats, for a smoke run")
    args = parser.parse_args()
    repeats = 3 if args.quick else args.repeats
    machine = {
        "cpu": cpu_model(),
        "cpus": os.cpu_count(),
        "python": f"{platform.python_implementation()} {sys.version.split()[0]}",
        "platform": platform.platform(),
    }
    print(f"machine: {machine['cpu']} ({machine['cpus']} CPUs), {machine['python']}, ", end="")
    print(machine["platform"])
    gc.collect()
    sync_rows = summarise_sync(bench_sync(repeats, 2000 if args.quick else 20000))
    print_sync(sync_rows)
    limit = 1.05
    async_rows = summarise_async(
        asyncio.run(bench_async(2 * repeats, 50 if args.quick else 400)), limit
    )
    print_async(async_rows, limit)
    Path(args.json).write_text(
        json.dumps({"machine": machine, "sync": sync_rows, "async": async_rows}, indent=2) + "\n"
    )
    print(f"\nwritten: {args.json}")


if __name__ == "__main__":
    main()
