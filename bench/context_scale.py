"""How ``context`` time grows with the number of memories, on SQLite and on PostgreSQL.

    python bench/context_scale.py [--sizes 1000,10000,100000] [--calls 50] [--pg URL|none]

Stores memories of 12 words drawn from a 5,000-word vocabulary with Zipf-like frequencies
(common words in most memories, rare ones in few), then times ``context`` for 3-word queries
mixing common and rare words, and for the empty query, at each size. Without ``--pg`` it
starts a PostgreSQL server of its own from Debian's binaries, as the tests do.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
import uuid

from velkor_agent_hooks.client import VelkorClient

VOCABULARY = [f"w{i}" for i in range(5000)]
WEIGHTS = [1 / (rank + 1) for rank in range(len(VOCABULARY))]


def memories(rng: random.Random, count: int) -> list[dict[str, str]]:
    return [{"text": " ".join(rng.choices(VOCABULARY, WEIGHTS, k=12))} for _ in range(count)]


def queries(rng: random.Random, count: int) -> list[str]:
    # One common word, one middling, one rare: every query has matches at every size.
    return [
        f"{rng.choice(VOCABULARY[:20])} {rng.choice(VOCABULARY[20:500])} "
        f"{rng.choice(VOCABULARY[500:])}"
        for _ in range(count)
    ]


def per_call_ms(client: VelkorClient, texts: list[str]) -> float:
    times = []
    for text in texts:
        start = time.perf_counter()
        client.context(text, max_tokens=2000)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def run(name: str, path: str, sizes: list[int], calls: int, analyze) -> None:
    rng = random.Random(7)
    client = VelkorClient(path=path, project=f"bench-{uuid.uuid4().hex[:8]}")
    stored = 0
    rows = []
    for size in sizes:
        while stored < size:
            batch = min(5000, size - stored)
            client.remember_turns(memories(rng, batch), session_id="bench")
            stored += batch
        analyze()
        texts = queries(rng, calls)
        per_call_ms(client, texts[:5])  # warm caches
        rows.append((size, per_call_ms(client, texts), per_call_ms(client, [""] * calls)))
    client.close()
    print(f"\n{name}: median ms per context call (max_tokens=2000)")
    print(f"{'memories':>10} {'query':>9} {'no query':>9}")
    for size, query_ms, empty_ms in rows:
        print(f"{size:>10,} {query_ms:>9.2f} {empty_ms:>9.2f}")
    first, last = rows[0], rows[-1]
    print(
        f"growth {first[0]:,} -> {last[0]:,} memories ({last[0] // first[0]}x):"
        f" query {last[1] / first[1]:.2f}x, no query {last[2] / first[2]:.2f}x"
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--calls", type=int, default=50)
    parser.add_argument("--pg", default="", help="PostgreSQL URL; 'none' to skip")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        run("SQLite file", os.path.join(tmp, "bench.db"), sizes, args.calls, lambda: None)
    if args.pg == "none":
        return
    server = None
    url = args.pg
    if not url:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
        from pgserver import PostgresServer, find_bindir

        bindir = find_bindir()
        if bindir is None:
            print("\nPostgreSQL: binaries not found, skipped (apt-get install postgresql)")
            return
        server = PostgresServer(bindir).start()
        url = server.create_database("bench")
    try:
        import psycopg

        def analyze() -> None:
            # Autovacuum would do this on a live server; a bulk load outruns it.
            with psycopg.connect(url, autocommit=True) as conn:
                for table in ("velkor_memories", "velkor_items"):
                    conn.execute(f"ANALYZE {table}")

        run("PostgreSQL", url, sizes, args.calls, analyze)
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()
