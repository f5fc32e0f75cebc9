"""How ``context`` and ``recall`` time grows with the number of memories, on SQLite and on
PostgreSQL, by words alone and fused with vectors.

    python bench/context_scale.py [--sizes 1000,10000,100000] [--calls 50] [--pg URL|none]
                                  [--embedder NAME|none]

Stores memories of 12 words drawn from a 5,000-word vocabulary with Zipf-like frequencies
(common words in most memories, rare ones in few), then times ``context`` for 3-word queries
mixing common and rare words, and for the empty query, and ``recall`` (limit 10), at each
size. With an embedder (default: wordllama where installed) the memories are written
embedded, and the same calls are timed side by side through a client without the embedder
(lexical) and one with it (hybrid: the query embedded, vector search, fusion). Without
``--pg`` it starts a PostgreSQL server of its own from Debian's binaries, as the tests do.
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


def per_call_ms(call, texts: list[str]) -> float:
    times = []
    for text in texts:
        start = time.perf_counter()
        call(text)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def timings(client: VelkorClient, texts: list[str]) -> list[float]:
    """Median ms of context with a query, context without, and recall."""

    def context(text: str) -> object:
        return client.context(text, max_tokens=2000)

    def recall(text: str) -> object:
        return client.recall(text, limit=10)

    per_call_ms(context, texts[:5])  # warm caches
    return [
        per_call_ms(context, texts),
        per_call_ms(context, [""] * len(texts)),
        per_call_ms(recall, texts),
    ]


def run(name: str, path: str, sizes: list[int], calls: int, analyze, embedder=None) -> None:
    rng = random.Random(7)
    project = f"bench-{uuid.uuid4().hex[:8]}"
    writer = VelkorClient(path=path, project=project, embedder=embedder)
    # Over the same memories: words alone, and fused with vectors.
    clients = {"lexical": VelkorClient(path=path, project=project)}
    if embedder is not None:
        clients["hybrid"] = writer
    stored = 0
    rows = []
    for size in sizes:
        while stored < size:
            batch = min(5000, size - stored)
            writer.remember_turns(memories(rng, batch), session_id="bench")
            stored += batch
        analyze()
        texts = queries(rng, calls)
        rows.append((size, [timings(client, texts) for client in clients.values()]))
    for client in {*clients.values(), writer}:
        client.close()
    model = f", {embedder.name}" if embedder is not None else ""
    print(f"\n{name}: median ms per call (context max_tokens=2000, recall limit=10{model})")
    header = "".join(
        f" {kind + ' ' + call:>18}"
        for kind in clients
        for call in ("context", "no query", "recall")
    )
    print(f"{'memories':>10}{header}")
    for size, measured in rows:
        print(f"{size:>10,}" + "".join(f" {ms:>18.2f}" for each in measured for ms in each))
    first, last = rows[0], rows[-1]
    growth = ", ".join(
        f"{kind} context {b[0] / a[0]:.2f}x, recall {b[2] / a[2]:.2f}x"
        for kind, a, b in zip(clients, first[1], last[1], strict=True)
    )
    print(f"growth {first[0]:,} -> {last[0]:,} memories ({last[0] // first[0]}x): {growth}")


def load_embedder(name: str):
    from velkor_agent_hooks.service.memory.embeddings import resolve

    if name == "none":
        return None
    if not name:
        try:
            import wordllama  # noqa: F401
        except ImportError:
            print("no embedder: wordllama is not installed (the embeddings extra)")
            return None
    return resolve(name or "wordllama")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--calls", type=int, default=50)
    parser.add_argument("--pg", default="", help="PostgreSQL URL; 'none' to skip")
    parser.add_argument(
        "--embedder", default="", help="model for the hybrid columns (default: wordllama); none"
    )
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    embedder = load_embedder(args.embedder)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.db")
        run("SQLite file", path, sizes, args.calls, lambda: None, embedder)
    if args.pg == "none":
        return
    server = None
    url = args.pg
    if not url:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
        from pgserver import PostgresServer, ensure_pgvector, find_bindir

        bindir = find_bindir()
        if bindir is None:
            print("\nPostgreSQL: binaries not found, skipped (apt-get install postgresql)")
            return
        why = ensure_pgvector(bindir) if embedder is not None else None
        if why is not None:
            print(f"\nPostgreSQL: no hybrid columns, {why}")
            embedder = None
        server = PostgresServer(bindir).start()
        url = server.create_database("bench")
    try:
        import psycopg

        def analyze() -> None:
            # Autovacuum would do this on a live server; a bulk load outruns it.
            with psycopg.connect(url, autocommit=True) as conn:
                for table in ("velkor_memories", "velkor_items", "velkor_memory_vectors"):
                    conn.execute(f"ANALYZE {table}")

        run("PostgreSQL", url, sizes, args.calls, analyze, embedder)
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()
