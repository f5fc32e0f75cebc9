"""Recall on the LoCoMo conversations of ../shared/locomo, by the metric of its README.md.

    python bench/recall.py [--via prototype|client] [--data DIR] [--steps] [--scale SIZES]
                           [--embedder NAMES]

Stores every turn as one memory ("<speaker>: <text>", the photo caption appended), one session
per conversation, the session's date as the memory's timestamp; then, for each question of
categories 1-4 with evidence, takes the fraction of its evidence turns among the first k
memories recalled (k = 5, 10) and among those whose text is in a ``context`` of 500 and 1000
tokens, and prints the means per category and overall.

``--via prototype`` ranks with ``service.memory.recall.rank`` over an in-memory source;
``--via client`` goes through ``VelkorClient`` (``recall`` for k, ``context`` for budgets; a
client without ``recall`` is ranked by the order of a large context), over the storage that
``--path`` names (default: in-memory SQLite). ``--embedder wordllama`` runs the client
without and with each embedder named (comma-separated) and prints both tables and their
difference. ``--steps`` prints the table for each ranking step on the prototype,
``--scale 1000,100000`` the cost of a query on the prototype among that many synthetic
memories.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import random
import statistics
import sys
import time
import uuid
from collections import defaultdict
from dataclasses import dataclass, replace
from datetime import date, datetime, timedelta
from pathlib import Path

from velkor_agent_hooks.service.memory import recall as ranking
from velkor_agent_hooks.service.memory.text import STOPWORDS, analyze, stem, words

CATEGORIES = {1: "multi-hop", 2: "temporal", 3: "open-domain", 4: "single-hop"}
KS = (5, 10)
BUDGETS = (500, 1000)
DATA = Path(__file__).resolve().parent.parent.parent / "shared" / "locomo"


@dataclass
class Turn:
    dia_id: str
    text: str
    timestamp: str


@dataclass
class Question:
    text: str
    category: int
    evidence: frozenset[str]


@dataclass
class Conversation:
    name: str
    turns: list[Turn]
    questions: list[Question]


def session_time(text: str) -> str:
    return datetime.strptime(text, "%I:%M %p on %d %B, %Y").isoformat()


def load(path: Path) -> Conversation:
    data = json.loads(path.read_text())
    turns = []
    number = 1
    while f"session_{number}" in data:
        stamp = session_time(data[f"session_{number}_date_time"])
        for turn in data[f"session_{number}"]:
            text = f"{turn['speaker']}: {turn['text']}"
            if turn.get("blip_caption"):
                text += f" ({turn['blip_caption']})"
            turns.append(Turn(turn["dia_id"], text, stamp))
        number += 1
    ids = {turn.dia_id for turn in turns}
    questions = []
    for qa in data["qa"]:
        evidence = frozenset(e for e in qa.get("evidence", ()) if e in ids)
        if qa["category"] in CATEGORIES and evidence:
            questions.append(Question(qa["question"], qa["category"], evidence))
    return Conversation(path.stem, turns, questions)


def pack(texts, max_tokens: int) -> str:
    """What ``context`` keeps of texts in rank order: those that fit, skipping the others,
    until 32 in a row did not fit (the service's packing rule; 4 characters a token)."""
    chosen, chars, misses = [], 0, 0
    for text in texts:
        extra = len(text) + (1 if chosen else 0)
        if math.ceil((chars + extra) / 4) <= max_tokens:
            chosen.append(text)
            chars, misses = chars + extra, 0
        else:
            misses += 1
        if misses >= 32 or math.ceil((chars + 2) / 4) > max_tokens:
            break
    return "\n".join(chosen)


class Table:
    def __init__(self) -> None:
        self.values: dict[tuple[str, int], list[float]] = defaultdict(list)

    def add(self, column: str, category: int, value: float) -> None:
        self.values[column, category].append(value)

    def columns(self) -> list[str]:
        return list(dict.fromkeys(column for column, _ in self.values))

    def mean(self, column: str, category: int | None = None) -> float:
        values = [
            v
            for (c, cat), vs in self.values.items()
            if c == column and category in (None, cat)
            for v in vs
        ]
        return statistics.fmean(values) if values else float("nan")

    def show(self, title: str) -> None:
        columns = self.columns()
        print(f"\n{title}")
        print(f"{'category':<12} {'n':>4} " + " ".join(f"{c:>8}" for c in columns))
        for category, name in [*CATEGORIES.items(), (None, "overall")]:
            count = len(
                [
                    v
                    for (c, cat), vs in self.values.items()
                    if c == columns[0] and category in (None, cat)
                    for v in vs
                ]
            )
            cells = " ".join(f"{self.mean(c, category):>8.3f}" for c in columns)
            print(f"{name:<12} {count:>4} {cells}")


def score(table: Table, question: Question, ranked: list[str], contexts: dict[int, str], texts):
    for k in KS:
        hits = len(question.evidence & set(ranked[:k]))
        table.add(f"R@{k}", question.category, hits / len(question.evidence))
    for budget, context in contexts.items():
        hits = sum(1 for e in question.evidence if texts[e] in context)
        table.add(f"ctx{budget}", question.category, hits / len(question.evidence))


def run_prototype(conversations, weights=ranking.DEFAULT, table=None) -> Table:
    table = table or Table()
    for conv in conversations:
        source = ranking.MemorySource()
        by_seq = {}
        for turn in conv.turns:
            by_seq[source.add(turn.text, turn.timestamp, conv.name)] = turn
        texts = {turn.dia_id: turn.text for turn in conv.turns}
        for q in conv.questions:
            found = ranking.rank(source, q.text, limit=100, weights=weights)
            ranked = [by_seq[seq].dia_id for seq, _ in found]
            contexts = {b: pack([texts[d] for d in ranked], b) for b in BUDGETS}
            score(table, q, ranked, contexts, texts)
    return table


def run_client(conversations, path: str | None = None, embedder=None) -> Table:
    from velkor_agent_hooks.client import VelkorClient

    table = Table()
    for conv in conversations:
        project = f"locomo-{conv.name}-{uuid.uuid4().hex[:8]}"
        client = VelkorClient(project=project, path=path, embedder=embedder)
        ids = {}
        for stamp, group in itertools.groupby(conv.turns, key=lambda turn: turn.timestamp):
            group = list(group)
            stored = client.remember_turns(
                [{"text": turn.text} for turn in group], session_id=conv.name, timestamp=stamp
            )
            ids.update(zip(stored["ids"], (turn.dia_id for turn in group), strict=True))
        texts = {turn.dia_id: turn.text for turn in conv.turns}
        by_text = defaultdict(list)
        for turn in conv.turns:
            by_text[turn.text].append(turn.dia_id)
        for q in conv.questions:
            if hasattr(client, "recall"):
                ranked = [ids[m["id"]] for m in client.recall(q.text, limit=max(KS))]
            else:
                # No recall yet: the order of a context large enough for every match.
                lines = client.context(q.text, max_tokens=10**7).text.split("\n")
                ranked = [d for line in lines for d in by_text.get(line, ())]
            contexts = {b: client.context(q.text, max_tokens=b).text for b in BUDGETS}
            score(table, q, ranked, contexts, texts)
        client.close()
    return table


def show_fusion(conversations, path: str | None, names: list[str]) -> None:
    """Lexical against fused, each embedder's run beside the lexical one."""
    from velkor_agent_hooks.service.memory.embeddings import resolve

    lexical = run_client(conversations, path)
    lexical.show("lexical (through VelkorClient)")
    for name in names:
        embedder = resolve(name)  # loaded once, not once per conversation
        fused = run_client(conversations, path, embedder)
        fused.show(f"fused with {embedder.name}")
        columns = lexical.columns()
        print(f"\nfused - lexical, {embedder.name}")
        print(f"{'category':<12} " + " ".join(f"{c:>8}" for c in columns))
        for category, label in [*CATEGORIES.items(), (None, "overall")]:
            cells = " ".join(
                f"{fused.mean(c, category) - lexical.mean(c, category):>+8.3f}" for c in columns
            )
            print(f"{label:<12} {cells}")


def raw_words(text: str) -> list[str]:
    return words(text)


def unstemmed(text: str) -> list[str]:
    return [w for w in words(text) if w not in STOPWORDS]


def stemmed_all(text: str) -> list[str]:
    return [stem(w) for w in words(text)]


def regular_only(text: str) -> list[str]:
    return [stem(w) for w in words(text) if w not in STOPWORDS]


def run_steps(conversations) -> None:
    """Each step adds one thing to the one before; analysis and idf are patched in for it."""
    off = replace(
        ranking.DEFAULT, k1=0.0, b=0.0, pairs=0.0, window=0.0, when=0.0, before=0.0, after=0.0
    )
    full = ranking.DEFAULT
    bm25 = replace(off, k1=full.k1, b=full.b)
    neighbours = replace(bm25, before=full.before, after=full.after)
    pairs = replace(neighbours, pairs=full.pairs)
    steps = [
        ("words, equal weights", raw_words, lambda size, df: 1.0, off),
        ("+ idf weights", raw_words, ranking.idf, off),
        ("+ stemming", stemmed_all, ranking.idf, off),
        ("+ stopwords dropped", regular_only, ranking.idf, off),
        ("(stopwords dropped, no stemming)", unstemmed, ranking.idf, off),
        ("+ irregular forms (went: go)", analyze, ranking.idf, off),
        ("+ BM25 term frequency, length norm", analyze, ranking.idf, bm25),
        ("+ neighbouring turns", analyze, ranking.idf, neighbours),
        ("+ query term pairs side by side", analyze, ranking.idf, pairs),
        ("+ the time a query names", analyze, ranking.idf, replace(pairs, window=full.window)),
        ("+ 'when' finds memories that say when", analyze, ranking.idf, full),
    ]
    saved = ranking.analyze, ranking.idf
    try:
        for name, analyzer, idf, weights in steps:
            ranking.analyze, ranking.idf = analyzer, idf
            run_prototype(conversations, weights).show(name)
    finally:
        ranking.analyze, ranking.idf = saved


class Counted:
    """A source that counts its round trips and the rows they carry."""

    def __init__(self, source) -> None:
        self.source, self.calls, self.items = source, 0, 0

    def __getattr__(self, name):
        method = getattr(self.source, name)

        def call(*args):
            self.calls += 1
            found = method(*args)
            if isinstance(found, dict):
                self.items += sum(len(v) if isinstance(v, list) else 1 for v in found.values())
            elif isinstance(found, list):
                self.items += len(found)
            return found

        return call


def run_scale(sizes: list[int], calls: int) -> None:
    """Cost of a query on the prototype among synthetic memories: 12 words from a 5,000-word
    Zipf vocabulary, in sessions of 40 turns over two years; queries of a common, a middling
    and a rare word, every fourth naming a month."""
    rng = random.Random(7)
    vocabulary = [f"w{i}" for i in range(5000)]
    zipf = [1 / (r + 1) for r in range(len(vocabulary))]
    source = ranking.MemorySource()
    print(f"{'memories':>10} {'median ms':>10} {'p95 ms':>8} {'trips':>6} {'items':>6}")
    for size in sizes:
        while source.size() < size:
            n = source.size()
            day = date(2023, 1, 1) + timedelta(days=n * 730 // max(sizes))
            text = " ".join(rng.choices(vocabulary, zipf, k=12))
            source.add(text, f"{day.isoformat()}T12:00:00", f"s{n // 40}")
        queries = [
            f"{rng.choice(vocabulary[:20])} {rng.choice(vocabulary[20:500])} "
            f"{rng.choice(vocabulary[500:])}" + (" in May 2024" if i % 4 == 0 else "")
            for i in range(calls)
        ]
        counted = Counted(source)
        now = datetime(2025, 1, 1)
        times = []
        for query in queries:
            start = time.perf_counter()
            ranking.rank(counted, query, limit=100, now=now)
            times.append(time.perf_counter() - start)
        times.sort()
        print(
            f"{size:>10,} {statistics.median(times) * 1000:>10.2f}"
            f" {times[int(len(times) * 0.95)] * 1000:>8.2f}"
            f" {counted.calls / calls:>6.1f} {counted.items / calls:>6.0f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--via", choices=("prototype", "client"), default="prototype")
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--path", help="the client's storage: a SQLite file or PostgreSQL URL")
    parser.add_argument("--steps", action="store_true")
    parser.add_argument("--scale", default="", help="sizes, e.g. 1000,10000,100000")
    parser.add_argument(
        "--embedder",
        default="",
        help="comma-separated embedders (e.g. wordllama): lexical and fused through the client",
    )
    args = parser.parse_args()
    if args.scale:
        run_scale([int(n) for n in args.scale.split(",")], 400)
        return
    conversations = [load(path) for path in sorted(args.data.glob("*.json"))]
    if not conversations:
        sys.exit(f"no conversations in {args.data}")
    if args.embedder:
        show_fusion(conversations, args.path, args.embedder.split(","))
    elif args.steps:
        run_steps(conversations)
    elif args.via == "client":
        run_client(conversations, args.path).show("through VelkorClient")
    else:
        run_prototype(conversations).show("prototype ranking")


if __name__ == "__main__":
    main()
