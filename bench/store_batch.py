"""LangGraph's large async batch against VelkorStore and LangGraph's own InMemoryStore.

    PYTHONPATH=src python bench/store_batch.py [--n 1000] [--m 10] [--rounds 3]
                                               [--backends memory,file,postgresql,http]
                                               [--instructions]

The workload of LangGraph's ``test_large_batches_async`` (its PostgreSQL suite has n=1000,
its SQLite suite n=100): for each of m rounds and n keys, six concurrent calls through
``asyncio.gather``: ``aput``, ``aget``, ``alist_namespaces(max_depth=m + 1)``,
``asearch(("test",))``, ``aput`` again and ``adelete``, 6 * n * m in all. The baseline is
``InMemoryStore``, which does each call at once in the event loop's thread. VelkorStore sends
the calls made in one turn of the loop together, a service call for up to 1000 operations.
Every side runs in each round, in turn, on a store of its own; the table gives each side's
median and its ratio to InMemoryStore's. "postgresql" starts a throw-away server from the
Debian binaries (tests/pgserver.py); "http" is a ``serve()`` server over in-memory SQLite on
loopback. Not a test: nothing is asserted but that every call returned.

``--instructions`` counts instead, under callgrind, the instructions each side's workload
takes (a run with the workload less one without), which repeat where seconds on a shared
machine do not: InMemoryStore and VelkorStore on in-memory SQLite and on a file (the other
backends do their work in other processes).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any

from langgraph.store.base import BaseStore
from langgraph.store.memory import InMemoryStore

from velkor_agent_hooks.client import VelkorClient, serve
from velkor_agent_hooks.langgraph import VelkorStore

ROOT = Path(__file__).resolve().parent.parent


async def workload(store: BaseStore, n: int, m: int) -> None:
    calls: list[Any] = []
    for round_ in range(m):
        ns = ("test", "foo", "bar", "baz", str(round_ % 2))
        for i in range(n):
            calls += [
                store.aput(ns, f"key{i}", value={"foo": "bar" + str(i)}),
                store.aget(ns, f"key{i}"),
                store.alist_namespaces(prefix=None, max_depth=round_ + 1),
                store.asearch(("test",)),
                store.aput(ns, f"key{i}", value={"foo": "bar" + str(i)}),
                store.adelete(ns, f"key{i}"),
            ]
    results = await asyncio.gather(*calls)
    assert len(results) == 6 * n * m


def child(side: str, work: bool, n: int, m: int) -> None:
    folder = tempfile.mkdtemp(prefix="velkor-bench-")
    if side == "InMemoryStore":
        store: BaseStore = InMemoryStore()
    else:
        path = None if side == "memory" else os.path.join(folder, "items.db")
        store = VelkorStore(VelkorClient(path=path))
    if work:
        asyncio.run(workload(store, n, m))


def instructions(n: int, m: int) -> None:
    def count(side: str, work: bool) -> int:
        with tempfile.TemporaryDirectory() as out:
            tool = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg"]
            run = subprocess.run(
                [*tool, sys.executable, __file__, "--child", side, str(int(work)), str(n), str(m)],
                capture_output=True,
                text=True,
                env={**os.environ, "PYTHONHASHSEED": "0"},
                check=True,
            )
        found = re.search(r"refs:\s+([\d,]+)", run.stderr)
        assert found is not None, run.stderr
        return int(found.group(1).replace(",", ""))

    sides = ["InMemoryStore", "memory", "file"]
    counts = {side: count(side, True) - count(side, False) for side in sides}
    base = counts["InMemoryStore"]
    print(f"{6 * n * m} calls, instructions (callgrind)")
    print("| store | instructions | against InMemoryStore |")
    print("| --- | --- | --- |")
    for side in sides:
        label = side if side == "InMemoryStore" else f"VelkorStore, {side}"
        print(f"| {label} | {counts[side]:,} | {counts[side] / base:.2f}x |")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        side, work, n, m = sys.argv[2:6]
        child(side, work == "1", int(n), int(m))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--m", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--backends", default="memory,file,postgresql,http")
    parser.add_argument("--instructions", action="store_true")
    args = parser.parse_args()
    if args.instructions:
        instructions(args.n, args.m)
        return
    backends = args.backends.split(",")
    closing: list[Any] = []
    pg_url = None
    if "postgresql" in backends:
        sys.path.insert(0, str(ROOT / "tests"))
        from pgserver import PostgresServer, find_bindir

        bindir = find_bindir()
        if bindir is None:
            sys.exit("PostgreSQL binaries not found")
        pg = PostgresServer(bindir).start()
        closing.append(pg.stop)
        pg_url = pg.create_database("bench")
    server = serve() if "http" in backends else None
    if server is not None:
        closing.append(server.close)
    folder = tempfile.mkdtemp(prefix="velkor-bench-")

    def client(backend: str) -> VelkorClient:
        if backend == "memory":
            return VelkorClient()
        if backend == "file":
            return VelkorClient(path=os.path.join(folder, f"{uuid.uuid4().hex}.db"))
        if backend == "postgresql":
            return VelkorClient(path=pg_url, project=uuid.uuid4().hex)
        assert server is not None
        return VelkorClient(base_url=server.url, timeout=120)

    sides = ["InMemoryStore", *backends]
    times: dict[str, list[float]] = {side: [] for side in sides}
    try:
        for _ in range(args.rounds):
            for side in sides:
                made = None if side == "InMemoryStore" else client(side)
                store = InMemoryStore() if made is None else VelkorStore(made)
                start = time.perf_counter()
                asyncio.run(workload(store, args.n, args.m))
                times[side].append(time.perf_counter() - start)
                if made is not None:
                    made.close()
    finally:
        for close in closing:
            close()
    base = statistics.median(times["InMemoryStore"])
    print(f"{6 * args.n * args.m} calls, median of {args.rounds} rounds")
    print("| store | seconds | against InMemoryStore |")
    print("| --- | --- | --- |")
    for side in sides:
        median = statistics.median(times[side])
        label = side if side == "InMemoryStore" else f"VelkorStore, {side}"
        print(f"| {label} | {median:.2f} | {median / base:.2f}x |")


if __name__ == "__main__":
    main()
