"""What a tool-call gate costs with no policy, 10 and 100 Cedar policies, embedded and over HTTP.

    PYTHONPATH=src python bench/gate_cost.py [--rounds 15] [--calls 200] [--threads 4]
                                             [--db :memory:|sqlite] [--history 1000,4000]
                                             [--callgrind]

Six cases: the embedded client, and one ``velkor serve`` process of its own per policy set
reached over loopback, each with no policy, 10 and 100. The policies are one permit and
forbids of the kinds the README shows (a ``like`` rule on an argument, an amount cap, a rate
rule, an approval rule), each scoped to one of 20 tools but a tenth applying to every tool.
Every call is ALLOWED, so every forbid for its tool is evaluated, and the rate rules make the
gate count the agent's recent calls. The calls go round 20 tools and 97 agents, so the count
per agent and tool stays small; ``--history`` times the 100-policy gate after that many
earlier calls of one tool by one agent, to show what the counts cost as that grows.

The sides are interleaved: each round times a batch of sequential calls of every case in
turn, then ``--threads`` clients at once on every case, so a busy machine slows all alike.
Reported per case: the p50 of the sequential calls, the throughput of the concurrent ones
(calls per second), and both against the no-policy gate of the same backend; then, for the
embedded 100-policy gate, how its time divides (Cedar, the recent-call counts, the rest).
``--callgrind`` adds the instructions per embedded gate, split by the library that runs
them, counted by valgrind's callgrind: repeatable where the time on a shared machine is not.
Not a test: nothing is asserted but that every call is allowed.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.service.clock import ago
from velkor_agent_hooks.service.storage.sql import AuditTxn

COUNTS = (0, 10, 100)
TOOLS = [f"tool{i}" for i in range(20)]
AGENTS = [f"agent-{i}" for i in range(97)]  # pairs with the 20 tools in 1940 ways
TOOL_INPUT = {
    "command": "ls -la /tmp",
    "amount": 20,
    "path": "/tmp/scratch",
    "cwd": "/home/agent",
    "env": {"LANG": "C"},
}


def policies(count: int) -> str:
    """``count`` policies: one permit, and forbids of four kinds, none of which the calls meet."""
    if count == 0:
        return ""
    rules = ['@id("allow") permit(principal, action == Action::"call_tool", resource);']
    for i in range(count - 1):
        resource = "resource" if i % 10 == 0 else f'resource == Tool::"{TOOLS[i % 20]}"'
        kind = i % 4
        if kind == 0:
            when = f'context.input has command && context.input.command like "*forbidden{i}*"'
        elif kind == 1:
            when = f"context.input has amount && context.input.amount > {500 + i}"
        elif kind == 2:
            when = f"context.recent.tool_calls_last_minute >= {1_000_000 + i}"
        else:
            when = f'context.input has path && context.input.path like "/etc/{i}/*"'
        note = "@approval\n" if kind == 3 else ""
        head = f'@id("rule-{i}")\n{note}forbid(principal, action, {resource})'
        rules.append(f"{head}\nwhen {{ {when} }};")
    return "\n".join(rules)


class Server:
    """A ``velkor serve`` process of its own."""

    def __init__(self, db: str, policy: Path | None) -> None:
        command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
        command += ["--db", db] + ([] if policy is None else ["--policy", str(policy)])
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()  # type: ignore[union-attr]
        found = re.search(r"http://\S+", line)
        if found is None:
            self.process.kill()
            raise RuntimeError(f"the server did not start: {line!r}")
        self.url = found.group(0)

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=60)
        self.process.stdout.close()  # type: ignore[union-attr]


class Case:
    def __init__(self, backend: str, count: int, client: VelkorClient, threads: int) -> None:
        self.backend, self.count, self.client = backend, count, client
        # Over HTTP each concurrent caller has a client, so connections are its own.
        self.clients = [client] * threads
        self.times: list[float] = []
        self.rates: list[float] = []
        self.calls = 0

    def gate(self, client: VelkorClient) -> None:
        n = self.calls = self.calls + 1
        decision = client.gate(
            TOOLS[n % len(TOOLS)],
            agent_id=AGENTS[n % len(AGENTS)],
            session_id="s1",
            tool_input=TOOL_INPUT,
        )
        assert decision.allow, decision

    def sequential(self, calls: int) -> None:
        for _ in range(calls):
            began = time.perf_counter()
            self.gate(self.client)
            self.times.append(time.perf_counter() - began)

    def concurrent(self, calls: int) -> None:
        start = threading.Barrier(len(self.clients) + 1)

        def work(client: VelkorClient) -> None:
            start.wait()
            for _ in range(calls):
                self.gate(client)

        pool = [threading.Thread(target=work, args=(c,)) for c in self.clients]
        for thread in pool:
            thread.start()
        start.wait()
        began = time.perf_counter()
        for thread in pool:
            thread.join()
        self.rates.append(len(pool) * calls / (time.perf_counter() - began))


def breakdown(client: VelkorClient, count: int, calls: int) -> dict[str, float]:
    """The embedded gate's p50, and the p50s of its Cedar decision and its recent-call counts
    on the same calls (µs)."""
    service = client._backend.service  # type: ignore[attr-defined]
    policy, storage = service.governance.policy, service.storage
    counts = {"tool_calls_last_minute": 1, "tool_calls_in_session": 1}

    def p50(fn: Any) -> float:
        times = []
        for n in range(calls):
            tool, agent = TOOLS[n % len(TOOLS)], AGENTS[n % len(AGENTS)]
            began = time.perf_counter()
            fn(tool, agent)
            times.append(time.perf_counter() - began)
        return statistics.median(times) * 1e6

    def gate(tool: str, agent: str) -> None:
        client.gate(tool, agent_id=agent, session_id="s1", tool_input=TOOL_INPUT)

    def cedar(tool: str, agent: str) -> None:
        policy.evaluate(tool, agent_id=agent, tool_input=TOOL_INPUT, session_id="s1", recent=counts)

    def recent(tool: str, agent: str) -> None:
        with storage._read() as conn:
            AuditTxn(storage, conn).recent_calls(agent, tool, "s1", ago(60))

    return {"gate": p50(gate), "cedar": p50(cedar), "recent counts": p50(recent), "policies": count}


def history(path: str | None, text: str, sizes: list[int], calls: int) -> list[tuple[int, float]]:
    """p50 of one agent's gate of one tool after ``size`` earlier such calls."""
    rows = []
    with VelkorClient(path=path, project=f"history-{os.getpid()}", policy=text) as client:
        done = 0
        for size in [0, *sizes]:
            while done < size:
                client.gate(TOOLS[1], agent_id=AGENTS[1], session_id="s1", tool_input=TOOL_INPUT)
                done += 1
            times = []
            for _ in range(calls):
                began = time.perf_counter()
                client.gate(TOOLS[1], agent_id=AGENTS[1], session_id="s1", tool_input=TOOL_INPUT)
                times.append(time.perf_counter() - began)
            done += calls
            rows.append((size, statistics.median(times) * 1e6))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=200, help="sequential calls per round")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--db", default=":memory:", help=":memory: or sqlite (a temporary file)")
    parser.add_argument("--history", default="1000,4000", help="earlier calls; '' to skip")
    parser.add_argument("--callgrind", action="store_true", help="count instructions too")
    parser.add_argument("--counted", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--shim", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.counted is not None:
        counted_child(args.counted, args.calls, args.shim)
        return

    load_before = os.getloadavg()[0]
    tmp = tempfile.TemporaryDirectory(prefix="velkor-gate-")
    texts = {count: policies(count) for count in COUNTS}
    files: dict[int, Path | None] = {0: None}
    for count in COUNTS[1:]:
        files[count] = Path(tmp.name, f"p{count}.cedar")
        files[count].write_text(texts[count])  # type: ignore[union-attr]

    def db(name: str) -> str | None:
        return None if args.db == ":memory:" else os.path.join(tmp.name, f"{name}.db")

    servers, cases = [], []
    try:
        for count in COUNTS:
            client = VelkorClient(path=db(f"e{count}"), policy=texts[count] or None)
            cases.append(Case("embedded", count, client, args.threads))
        for count in COUNTS:
            server = Server(db(f"h{count}") or ":memory:", files[count])
            servers.append(server)
            case = Case("http", count, VelkorClient(base_url=server.url), args.threads)
            case.clients = [VelkorClient(base_url=server.url) for _ in range(args.threads)]
            cases.append(case)
        for case in cases:  # warm up: connections, caches, first statements
            case.sequential(20)
            case.times.clear()
        for _ in range(args.rounds):
            for case in cases:
                case.sequential(args.calls)
            for case in cases:
                case.concurrent(args.calls // args.threads)
        split = breakdown(cases[2].client, 100, args.calls * 5)
        sizes = [int(s) for s in args.history.split(",") if s]
        grown = history(db("history"), texts[100], sizes, 100) if sizes else []
    finally:
        for case in cases:
            for client in {id(c): c for c in [case.client, *case.clients]}.values():
                client.close()
        for server in servers:
            server.close()
        tmp.cleanup()

    print(
        f"{cpu()}, {os.cpu_count()} CPUs, Python {platform.python_version()},"
        f" load average {load_before:.2f} to {os.getloadavg()[0]:.2f}; storage"
        f" {'in-memory SQLite' if args.db == ':memory:' else 'a SQLite file'}"
    )
    print(
        f"{args.rounds} rounds of {args.calls} sequential calls, then {args.threads} clients"
        " at once, per case, interleaved\n"
    )
    print(f"{'backend':9} {'policies':>8} {'p50 us':>8} {'x none':>7} {'calls/s':>8} {'x none':>7}")
    base: dict[str, tuple[float, float]] = {}
    for case in cases:
        p50 = statistics.median(case.times) * 1e6
        rate = statistics.median(case.rates)
        zero_p50, zero_rate = base.setdefault(case.backend, (p50, rate))
        print(
            f"{case.backend:9} {case.count:8} {p50:8.0f} {p50 / zero_p50:7.2f}"
            f" {rate:8.0f} {zero_rate / rate:7.2f}"
        )
    print("(x none: p50 / the no-policy p50; no-policy calls/s / calls/s)")
    print(
        f"\nembedded, 100 policies, p50 us: the gate {split['gate']:.0f}; alone, on the same"
        f" calls: its Cedar decision {split['cedar']:.0f}, its recent-call counts"
        f" {split['recent counts']:.0f}"
    )
    if grown:
        print("\nembedded, 100 policies, one agent and tool: p50 us after N earlier calls")
        for size, p50 in grown:
            print(f"{size:>8} {p50:8.0f}")
    if args.callgrind:
        instructions(args.calls)


SHIM = r"""
#include <valgrind/callgrind.h>
void cg_start(void) { CALLGRIND_START_INSTRUMENTATION; CALLGRIND_ZERO_STATS; }
void cg_dump(void) { CALLGRIND_DUMP_STATS_AT("gates"); }
"""
LIBRARIES = {  # shared object: what runs there (libcrypto before libc, which it starts with)
    "_internal": "Cedar",
    "libcrypto": "SHA-256",
    "libpython": "Python",
    "python": "Python",
    "_json": "Python",
    "libsqlite3": "SQLite",
    "_sqlite3": "SQLite",
    "libc": "libc, loader",
    "ld-linux": "libc, loader",
}


def counted_child(count: int, calls: int, shim: str) -> None:
    import ctypes

    cg = ctypes.CDLL(shim)
    with VelkorClient(policy=policies(count) or None) as client:
        case = Case("embedded", count, client, 1)
        case.sequential(400)  # warm: caches, specialisation, the first statements
        cg.cg_start()
        case.sequential(calls)
        cg.cg_dump()


def instructions(calls: int) -> None:
    """Instructions per embedded gate by library, for each policy count, under callgrind."""
    with tempfile.TemporaryDirectory(prefix="velkor-cg-") as work:
        shim = os.path.join(work, "shim.so")
        Path(work, "shim.c").write_text(SHIM)
        subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, Path(work, "shim.c")], check=True)
        rows = {}
        for count in COUNTS:
            out = os.path.join(work, f"cg.{count}")
            command = ["valgrind", "--tool=callgrind", "--instr-atstart=no"]
            command += [f"--callgrind-out-file={out}", sys.executable, __file__]
            command += ["--counted", str(count), "--calls", str(calls), "--shim", shim]
            env = {**os.environ, "PYTHONHASHSEED": "0"}
            subprocess.run(command, check=True, capture_output=True, env=env)
            annotated = subprocess.run(
                ["callgrind_annotate", "--inclusive=no", "--threshold=100", f"{out}.1"],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
            split: dict[str, float] = {}
            for line in annotated.splitlines():
                found = re.match(r"\s*([\d,]+) \(.*?\)\s+(.*)$", line)
                if found is None or "PROGRAM TOTALS" in line:
                    continue
                where = re.search(r"\[(?:.*/)?([^/\]]+)\]$", found[2])
                name = where[1] if where else "python"
                group = next((g for k, g in LIBRARIES.items() if name.startswith(k)), "other")
                split[group] = split.get(group, 0) + int(found[1].replace(",", "")) / calls
            rows[count] = split
    groups = ["Python", "Cedar", "libc, loader", "SQLite", "SHA-256", "other"]
    print("\ninstructions per embedded gate (thousands), by library, counted by callgrind")
    print(f"{'policies':>8} {'total':>7} {'x none':>7}" + "".join(f" {g:>13}" for g in groups))
    none = sum(rows[0].values())
    for count, split in rows.items():
        total = sum(split.values())
        cells = "".join(f" {split.get(g, 0) / 1000:13.0f}" for g in groups)
        print(f"{count:8} {total / 1000:7.0f} {total / none:7.2f}{cells}")


def cpu() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


if __name__ == "__main__":
    main()
