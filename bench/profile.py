"""Instructions per call of each adapter operation, native and both baselines, counted by
callgrind (repeatable where wall-clock time on a shared machine is not).

    python bench/profile.py [OPERATION ...] [--calls N] [--keep DIR]

One process per side runs under valgrind with instrumentation off until the timed loops; a
small shim (built here with cc) brackets each operation with callgrind's client requests.
`--keep DIR` leaves one callgrind file per operation there, for callgrind_annotate.
"""

import argparse
import ctypes
import os
import re
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIDES = ("native", "lean", "twin")
SHIM = r"""
#include <valgrind/callgrind.h>
void cg_start(void) { CALLGRIND_START_INSTRUMENTATION; }
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char* name) { CALLGRIND_DUMP_STATS_AT(name); }
"""


def run_child(side, ops, calls, shim):
    import baseline
    import lean
    from run import SYNC_OPS, namespace_for

    import velkor_agent_hooks.adapters as native

    cg = ctypes.CDLL(shim)
    module = {"native": native, "lean": lean, "twin": baseline}[side]
    namespace = namespace_for(module)
    cg.cg_start()
    for op in ops:
        timer = timeit.Timer(SYNC_OPS[op], globals=namespace)
        timer.timeit(50)  # warm: caches, specialisation
        empty = timeit.Timer("pass", globals=namespace)
        empty.timeit(50)
        cg.cg_zero()
        empty.timeit(calls)
        cg.cg_dump(f"empty {op}".encode())
        timer.timeit(calls)
        cg.cg_dump(op.encode())


def main():
    sys.path.insert(0, str(HERE))
    if sys.argv[1:2] == ["--child"]:
        side, shim, calls, *ops = sys.argv[2:]
        run_child(side, ops, int(calls), shim)
        return
    from run import SYNC_OPS

    parser = argparse.ArgumentParser()
    parser.add_argument("ops", nargs="*", default=list(SYNC_OPS))
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--keep", help="directory for the callgrind output files")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp())
    shim = work / "cg_shim.so"
    (work / "cg_shim.c").write_text(SHIM)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim, work / "cg_shim.c"], check=True)
    out_dir = Path(args.keep) if args.keep else work
    out_dir.mkdir(parents=True, exist_ok=True)
    per = {}
    for side in SIDES:
        prefix = out_dir / f"callgrind.{side}"
        cmd = ["valgrind", "--tool=callgrind", "--instr-atstart=no"]
        cmd += [f"--callgrind-out-file={prefix}.%p", sys.executable, __file__, "--child", side]
        cmd += [str(shim), str(args.calls), *args.ops]
        # One hash seed for every side and run: dict probe lengths then repeat too.
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        proc = subprocess.run(cmd, capture_output=True, text=True, cwd=HERE, env=env)
        if proc.returncode != 0:
            raise SystemExit(proc.stderr[-3000:])
        totals = {}
        for f in out_dir.glob(f"callgrind.{side}.*"):
            text = f.read_text(errors="replace")
            trigger = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^summary: (\d+)", text, re.M) or re.search(
                r"^totals: (\d+)", text, re.M
            )
            if trigger and total:
                totals[trigger.group(1).strip()] = int(total.group(1))
        for op in args.ops:
            per[op, side] = (totals[op] - totals[f"empty {op}"]) / args.calls
    print(f"{'operation':<20}{'native':>9}{'lean':>9}{'twin':>9}   instructions per call")
    for op in args.ops:
        row = "".join(f"{per[op, side]:>9.0f}" for side in SIDES)
        print(f"{op:<20}{row}")


if __name__ == "__main__":
    main()
