"""Load on the HTTP server: mixed traffic, throughput and latency per operation.

    python bench/server_load.py [--mode threads,processes,wrk] [--seconds 8] [--db :memory:]
                                [--threads 16] [--processes 4] [--json PATH]
                                [--server-processes 1,2] [--repeat 1]
                                [--server-arg=--workers=4 ...]

Each mode starts its own ``python -m velkor_agent_hooks.client serve`` (API key, loopback,
fresh storage; ``--server-processes N`` passes ``--processes N``, and each count listed is
run in turn, ``--repeat`` times, interleaved) and drives 16 clients of 8 mixed operations at
it. ``--db sqlite`` gives every server a fresh temporary SQLite file; a server of several
processes cannot use ``:memory:``, so it gets one too:

* ``threads``: 16 threads in this process, each with its own ``VelkorClient``. The clients
  share one interpreter, so their GIL and ``http.client`` cost is part of what is measured.
* ``processes``: the same clients spread over ``--processes`` processes (4 x 4 threads), so
  one client interpreter does not cap the rate.
* ``wrk``: the C load generator ``wrk`` (``apt-get install wrk``) on 16 connections sending
  the very requests the Python client sends (recorded from it), which leaves the machine's
  CPU to the server. wrk reports latency over all operations, not per operation; every
  connection cycles through the 8 operations, so each gets an eighth of the requests.

Reported: requests per second and p50/p99 latency per operation, the server's CPU time per
request (user and system), the remembers acknowledged against the memories stored, and the
load average before and after. Not a test: nothing is asserted.
"""

import argparse
import json
import os
import platform
import re
import secrets
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from velkor_agent_hooks.client import VelkorClient

OPERATIONS = (
    "remember",
    "context",
    "gate",
    "observe",
    "put_item",
    "get_item",
    "search_items",
    "doctor",
)


def _calls(client: VelkorClient, n: int, i: int) -> list:
    session = f"s{n}"
    # Same order as OPERATIONS.
    return [
        lambda: client.remember(f"thread {n} note {i} about cats", session_id=session),
        lambda: client.context("cats note", max_tokens=200, session_id=session),
        lambda: client.gate("search" if i % 4 else "shell", tool_input={"q": i}),
        lambda: client.observe(tool_name="search", fields={"hits": i}),
        lambda: client.put_item(("bench", session), f"k{i % 50}", {"i": i}),
        lambda: client.get_item(("bench", session), f"k{i % 50}"),
        lambda: client.search_items(("bench", session), limit=5),
        client.doctor,
    ]


def _percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def _drive(url: str, key: str, first: int, threads: int, start_at: float, stop_at: float) -> dict:
    """Runs ``threads`` clients from ``start_at`` to ``stop_at`` (time.time()); their results."""
    latencies: dict[str, list[float]] = {name: [] for name in OPERATIONS}
    errors: list[str] = []
    acknowledged = [0]
    lock = threading.Lock()

    def work(n: int) -> None:
        mine: list[list[float]] = [[] for _ in OPERATIONS]
        ok = 0
        with VelkorClient(base_url=url, api_key=key, agent_id=f"a{n}", timeout=10) as client:
            time.sleep(max(0.0, start_at - time.time()))
            i = 0
            while time.time() < stop_at:
                for slot, call in enumerate(_calls(client, n, i)):
                    began = time.perf_counter()
                    try:
                        call()
                        ok += slot == 0
                    except Exception as exc:  # counted and shown, the run goes on
                        with lock:
                            errors.append(repr(exc))
                    mine[slot].append(time.perf_counter() - began)
                i += 1
        with lock:
            acknowledged[0] += ok
            for name, values in zip(OPERATIONS, mine, strict=True):
                latencies[name] += values

    pool = [threading.Thread(target=work, args=(first + n,)) for n in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return {
        "latencies": latencies,
        "errors": errors,
        "acknowledged": acknowledged[0],
        "client_cpu_s": time.process_time(),
    }


def _worker(args: argparse.Namespace) -> None:
    result = _drive(
        args.url, os.environ["VELKOR_API_KEY"], args.first, args.threads, args.start, args.stop
    )
    json.dump(result, sys.stdout)


class _Server:
    """A server (one process, or a supervisor and its server processes), and its CPU time
    over the measured window."""

    def __init__(self, db: str, extra: list[str], key: str, processes: int = 1) -> None:
        self._dir = None
        if db == "sqlite" or (processes > 1 and db == ":memory:"):
            self._dir = tempfile.TemporaryDirectory(prefix="velkor-bench-")
            db = os.path.join(self._dir.name, "bench.db")
        self.db = db
        command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
        command += ["--db", db, "--deny-tools", "shell", "--processes", str(processes), *extra]
        env = {**os.environ, "VELKOR_API_KEY": key}
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
        line = self.process.stdout.readline()
        self.url = re.search(r"http://[^\s]+", line).group(0)
        children = re.search(r"\(processes ([\d, ]+)\)", line)
        self.pids = [self.process.pid]
        if children:
            self.pids += [int(p) for p in children[1].split(", ")]

    def cpu(self) -> tuple[float, float, int]:
        """User and system seconds, and involuntary context switches, so far."""
        tick = os.sysconf("SC_CLK_TCK")
        user = system = switches = 0
        for pid in self.pids:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            user += int(fields[11])
            system += int(fields[12])
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/status") as status:
                    found = re.search(r"nonvoluntary_ctxt_switches:\s+(\d+)", status.read())
                    switches += int(found[1])
        return user / tick, system / tick, switches

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=60)
        if self._dir is not None:
            self._dir.cleanup()


def _python_mode(server: _Server, key: str, args: argparse.Namespace, processes: int) -> dict:
    per = args.threads // processes
    start_at = time.time() + 1.0 + 0.2 * processes  # after every client has connected
    stop_at = start_at + args.seconds
    if processes == 1:
        holder: list[dict] = []
        runner = threading.Thread(
            target=lambda: holder.append(_drive(server.url, key, 0, per, start_at, stop_at))
        )
        runner.start()
        time.sleep(max(0.0, start_at - time.time()))
        before = server.cpu()
        runner.join()
        after = server.cpu()
        parts = holder
    else:
        command = [sys.executable, __file__, "--worker", server.url, "--threads", str(per)]
        command += ["--start", repr(start_at), "--stop", repr(stop_at)]
        env = {**os.environ, "VELKOR_API_KEY": key}
        children = [
            subprocess.Popen([*command, "--first", str(p * per)], stdout=subprocess.PIPE, env=env)
            for p in range(processes)
        ]
        time.sleep(max(0.0, start_at - time.time()))
        before = server.cpu()
        time.sleep(max(0.0, stop_at - time.time()))
        outputs = [child.communicate(timeout=120)[0] for child in children]
        after = server.cpu()
        parts = [json.loads(out) for out in outputs]
    latencies: dict[str, list[float]] = {name: [] for name in OPERATIONS}
    for part in parts:
        for name in OPERATIONS:
            latencies[name] += part["latencies"][name]
    total = sum(len(v) for v in latencies.values())
    with VelkorClient(base_url=server.url, api_key=key) as probe:
        stored = probe.doctor()["memories"]
    rows = {
        name: {
            "requests_per_s": len(values) / args.seconds,
            "p50_ms": 1000 * statistics.median(values),
            "p99_ms": 1000 * _percentile(values, 0.99),
        }
        for name, values in latencies.items()
        if values
    }
    errors = [e for part in parts for e in part["errors"]]
    return {
        "clients": f"{processes} process(es) x {per} threads",
        "operations": rows,
        "total_requests_per_s": total / args.seconds,
        "errors": len(errors),
        "error_samples": errors[:5],
        "remembers_acknowledged": sum(part["acknowledged"] for part in parts),
        "memories_stored": stored,
        "client_cpu_s": sum(part["client_cpu_s"] for part in parts),
        **_server_cpu(before, after, total),
    }


def _server_cpu(before: tuple, after: tuple, requests: int) -> dict:
    user, system = after[0] - before[0], after[1] - before[1]
    return {
        "server_cpu_s": user + system,
        "server_cpu_ms_per_request": 1000 * (user + system) / max(requests, 1),
        "server_user_share": user / max(user + system, 1e-9),
        "server_preemptions": after[2] - before[2],
    }


def _recorded_requests(url: str, key: str, clients: int) -> list[dict]:
    """The HTTP requests the Python client sends for 10 rounds of each client's operations."""
    sent: list[dict] = []
    with VelkorClient(base_url=url, api_key=key) as client:
        backend = client._backend
        headers = dict(backend._headers)
        real = backend._call

        def record(op, payload=None, **kwargs):
            body = json.dumps(payload) if payload is not None else None
            sent.append({"method": op.method, "path": op.path, "body": body})
            return real(op, payload, **kwargs)

        backend._call = record
        for i in range(10):
            for n in range(clients):
                for call in _calls(client, n, i):
                    call()
    return [{**request, "headers": headers} for request in sent]


_LUA = r"""
local requests = {}
local counter = 0

function init(args)
  for _, r in ipairs(REQUESTS) do
    local headers = r.headers
    if r.body then headers = headers_json end
    table.insert(requests, wrk.format(r.method, r.path, headers, r.body))
  end
  counter = tonumber(args[1]) or 0
end

function request()
  counter = counter + 1
  return requests[(counter % #requests) + 1]
end
"""


def _lua_string(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'").replace("\n", "\\n") + "'"


def _wrk_script(requests: list[dict]) -> str:
    headers = requests[0]["headers"]
    table = ", ".join(f"[{_lua_string(k)}] = {_lua_string(v)}" for k, v in headers.items())
    lines = [f"local base_headers = {{{table}}}", "local headers_json = {}"]
    lines.append("for k, v in pairs(base_headers) do headers_json[k] = v end")
    lines.append("headers_json['Content-Type'] = 'application/json'")
    lines.append("REQUESTS = {")
    for r in requests:
        body = _lua_string(r["body"]) if r["body"] is not None else "nil"
        lines.append(
            f"  {{method = '{r['method']}', path = '{r['path']}', "
            f"headers = base_headers, body = {body}}},"
        )
    lines.append("}")
    return "\n".join(lines) + _LUA


def _wrk_mode(server: _Server, key: str, args: argparse.Namespace) -> dict:
    wrk = shutil.which("wrk")
    if wrk is None:
        return {"skipped": "wrk is not installed (apt-get install wrk)"}
    requests = _recorded_requests(server.url, key, args.threads)
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(_wrk_script(requests))
    try:
        command = [wrk, "-t", "2", "-c", str(args.threads), "-d", f"{args.seconds:g}s"]
        command += ["--latency", "-s", script.name, server.url]
        with VelkorClient(base_url=server.url, api_key=key) as probe:
            memories_before = probe.doctor()["memories"]
        before = server.cpu()
        run = subprocess.run(command, capture_output=True, text=True, timeout=args.seconds + 60)
        after = server.cpu()
        with VelkorClient(base_url=server.url, api_key=key) as probe:
            memories_after = probe.doctor()["memories"]
    finally:
        os.unlink(script.name)
    out = run.stdout
    total = int(re.search(r"(\d+) requests in", out)[1])
    percentiles = {
        p: _ms(v, unit) for p, v, unit in re.findall(r"\s(50|99)%\s+([\d.]+)(us|ms|s)\b", out)
    }
    non_ok = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    socket_errors = re.search(r"Socket errors: (.*)", out)
    per_operation = total / len(OPERATIONS) / args.seconds
    return {
        "clients": f"wrk, 2 threads x {args.threads} connections",
        "total_requests_per_s": total / args.seconds,
        "requests_per_s_per_operation": per_operation,
        "p50_ms_all_operations": percentiles.get("50"),
        "p99_ms_all_operations": percentiles.get("99"),
        "errors": int(non_ok[1]) if non_ok else 0,
        "socket_errors": socket_errors[1] if socket_errors else None,
        "memories_added": memories_after - memories_before,
        "remember_requests": total // len(OPERATIONS),
        **_server_cpu(before, after, total),
        "wrk_output": out.strip().splitlines()[-12:],
    }


def _ms(value: str, unit: str) -> float:
    return float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def _cpu_model() -> str:
    with open("/proc/cpuinfo") as info:
        found = re.search(r"model name\s*:\s*(.*)", info.read())
    return f"{found[1] if found else platform.machine()}, {os.cpu_count()} CPUs"


def _loadavg() -> str:
    with open("/proc/loadavg") as load:
        return " ".join(load.read().split()[:3])


def _print(name: str, result: dict) -> None:
    print(f"\n== {name}: {result.get('clients', '')}")
    if "skipped" in result:
        print("   skipped:", result["skipped"])
        return
    if "operations" in result:
        print(f"{'operation':<14} {'req/s':>8} {'p50 ms':>8} {'p99 ms':>8}")
        for op, row in result["operations"].items():
            rate, p50, p99 = row["requests_per_s"], row["p50_ms"], row["p99_ms"]
            print(f"{op:<14} {rate:>8.0f} {p50:>8.2f} {p99:>8.2f}")
        print(
            f"remembers acknowledged {result['remembers_acknowledged']}, "
            f"memories stored {result['memories_stored']}; "
            f"client CPU {result['client_cpu_s']:.1f} s"
        )
    else:
        print(
            f"per operation {result['requests_per_s_per_operation']:.0f} req/s, all operations "
            f"p50 {result['p50_ms_all_operations']} ms, p99 {result['p99_ms_all_operations']} ms;"
            f" memories added {result['memories_added']} for about"
            f" {result['remember_requests']} remember requests"
        )
    print(
        f"all {result['total_requests_per_s']:.0f} req/s, errors {result['errors']}; server CPU "
        f"{result['server_cpu_ms_per_request']:.3f} ms/request "
        f"({100 * result['server_user_share']:.0f}% user), "
        f"preempted {result['server_preemptions']} times"
    )
    for sample in result.get("error_samples", []):
        print("   ", sample)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", default="threads,processes,wrk")
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--processes", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--db", default=":memory:")
    parser.add_argument("--json", default=None)
    parser.add_argument("--server-arg", action="append", default=[])
    parser.add_argument("--server-processes", default="1")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--worker", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--start", type=float, default=0.0, help=argparse.SUPPRESS)
    parser.add_argument("--stop", type=float, default=0.0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.url = args.worker
        _worker(args)
        return
    modes = [m.strip() for m in args.mode.split(",") if m.strip()]
    counts = [int(n) for n in args.server_processes.split(",")]
    report = {
        "machine": _cpu_model(),
        "python": platform.python_version(),
        "seconds_per_mode": args.seconds,
        "db": args.db,
        "server_args": args.server_arg,
        "loadavg_before": _loadavg(),
        "runs": [],
    }
    print(f"{report['machine']}; load average {report['loadavg_before']}; db {args.db}")
    for run in range(args.repeat):
        for mode in modes:
            for count in counts:
                key = secrets.token_urlsafe(24)
                result = {"mode": mode, "server_processes": count, "run": run + 1}
                result["loadavg_before"] = _loadavg()
                server = _Server(args.db, args.server_arg, key, count)
                result["db"] = "temporary SQLite file" if server.db != args.db else args.db
                try:
                    if mode == "threads":
                        result |= _python_mode(server, key, args, 1)
                    elif mode == "processes":
                        result |= _python_mode(server, key, args, args.processes)
                    elif mode == "wrk":
                        result |= _wrk_mode(server, key, args)
                    else:
                        raise SystemExit(f"unknown mode {mode!r}")
                finally:
                    server.close()
                result["loadavg_after"] = _loadavg()
                report["runs"].append(result)
                name = f"{mode}, {count} server process(es), run {run + 1}, {result['db']}"
                _print(name, result)
                print(f"load average {result['loadavg_before']} -> {result['loadavg_after']}")
    report["loadavg_after"] = _loadavg()
    print(f"\nload average after: {report['loadavg_after']}")
    if args.json:
        for result in report["runs"]:
            result.pop("wrk_output", None)
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)
            out.write("\n")


if __name__ == "__main__":
    main()
