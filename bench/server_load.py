"""Load on the HTTP server: client threads of mixed traffic, throughput and latency per operation.

    python bench/server_load.py [--threads 16] [--seconds 10] [--db :memory:] [--json PATH]
                                [--server-arg=--workers=4 ...]

Starts ``python -m velkor_agent_hooks.client serve`` in its own process (with an API key, on
loopback), runs the client threads in this one, each with its own ``VelkorClient``, and prints
requests per second and p50/p99 latency per operation. Not a test: nothing is asserted.
"""

import argparse
import json
import os
import platform
import re
import secrets
import statistics
import subprocess
import sys
import threading
import time

from velkor_agent_hooks.client import VelkorClient


def _operations(client: VelkorClient, n: int, i: int) -> list[tuple[str, object]]:
    session = f"s{n}"
    return [
        (
            "remember",
            lambda: client.remember(f"thread {n} note {i} about cats", session_id=session),
        ),
        ("context", lambda: client.context("cats note", max_tokens=200, session_id=session)),
        ("gate", lambda: client.gate("search" if i % 4 else "shell", tool_input={"q": i})),
        ("observe", lambda: client.observe(tool_name="search", fields={"hits": i})),
        ("put_item", lambda: client.put_item(("bench", session), f"k{i % 50}", {"i": i})),
        ("get_item", lambda: client.get_item(("bench", session), f"k{i % 50}")),
        ("search_items", lambda: client.search_items(("bench", session), limit=5)),
        ("doctor", client.doctor),
    ]


def _percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--db", default=":memory:")
    parser.add_argument("--json", default=None)
    parser.add_argument("--server-arg", action="append", default=[])
    args = parser.parse_args()

    key = secrets.token_urlsafe(24)
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
    command += ["--db", args.db, "--deny-tools", "shell", *args.server_arg]
    env = {**os.environ, "VELKOR_API_KEY": key}
    server = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
    try:
        url = re.search(r"http://\S+", server.stdout.readline()).group(0)
        latencies: dict[str, list[float]] = {}
        errors: list[BaseException] = []
        lock = threading.Lock()
        start = threading.Barrier(args.threads + 1)
        stop_at = [0.0]

        def work(n: int) -> None:
            mine: dict[str, list[float]] = {}
            with VelkorClient(base_url=url, api_key=key, agent_id=f"a{n}", timeout=10) as client:
                start.wait()
                i = 0
                while time.perf_counter() < stop_at[0]:
                    for name, call in _operations(client, n, i):
                        began = time.perf_counter()
                        try:
                            call()
                        except Exception as exc:  # counted and shown, the run goes on
                            with lock:
                                errors.append(exc)
                        mine.setdefault(name, []).append(time.perf_counter() - began)
                    i += 1
            with lock:
                for name, values in mine.items():
                    latencies.setdefault(name, []).extend(values)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(args.threads)]
        for t in threads:
            t.start()
        stop_at[0] = time.perf_counter() + args.seconds
        began = time.perf_counter()
        start.wait()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - began
        with open(f"/proc/{server.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        server_cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        client_cpu = time.process_time()
    finally:
        server.terminate()
        server.wait(timeout=60)

    rows = {}
    for name, values in latencies.items():
        rows[name] = {
            "requests_per_s": len(values) / elapsed,
            "p50_ms": 1000 * statistics.median(values),
            "p99_ms": 1000 * _percentile(values, 0.99),
        }
    total = sum(len(v) for v in latencies.values())
    print(f"{args.threads} threads, {elapsed:.1f} s, db {args.db}, {' '.join(args.server_arg)}")
    print(f"{'operation':<14} {'req/s':>8} {'p50 ms':>8} {'p99 ms':>8}")
    for name, row in rows.items():
        print(
            f"{name:<14} {row['requests_per_s']:>8.0f} {row['p50_ms']:>8.2f} {row['p99_ms']:>8.2f}"
        )
    print(f"{'all':<14} {total / elapsed:>8.0f}   errors: {len(errors)}")
    print(f"CPU seconds: server {server_cpu:.1f}, clients {client_cpu:.1f}")
    for exc in errors[:5]:
        print("  ", repr(exc))
    if args.json:
        result = {
            "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs",
            "python": platform.python_version(),
            "threads": args.threads,
            "seconds": elapsed,
            "total_requests_per_s": total / elapsed,
            "errors": len(errors),
            "operations": rows,
        }
        with open(args.json, "w") as out:
            json.dump(result, out, indent=2)


if __name__ == "__main__":
    main()
