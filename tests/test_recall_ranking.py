"""Ranking without a model: the hand-written stemmer, index terms, time words, and ``rank``
over the ``Source`` look-ups (through the in-memory reference source)."""

import re
from datetime import date, datetime
from pydoc_data.topics import topics

import pytest

from velkor_agent_hooks.service.memory import recall
from velkor_agent_hooks.service.memory.text import analyze, asks_when, stem, time_mention

# Words that take each rule's rarer branches, next to the ordinary English of pydoc's topics.
EDGE_WORDS = """
    dying lying tying inning outing canning herring earring proceed exceed succeed skis skies
    news howe atlas cosmos bias andes early only singly gently ugly idly sky 'tis caroline's
    cries ties gas gaps flying added egged hopping hoped filed agreed feed generously communism
    arsenal university pasted organization emergency interesting laterally yelling sayings
    crying enjoyed boyish fly generalizations fullness hopefully thoughtlessly geology
""".split()


def test_stemmer_matches_snowball_english():
    snowball = pytest.importorskip("snowballstemmer").stemmer("english")
    words = set(EDGE_WORDS)
    for text in topics.values():
        words.update(re.findall(r"[a-z]+(?:'[a-z]+)*", text.lower()))
    wrong = {w: (stem(w), snowball.stemWord(w)) for w in sorted(words)}
    assert {w: pair for w, pair in wrong.items() if pair[0] != pair[1]} == {}


@pytest.mark.parametrize(
    ("text", "terms"),
    [
        ("Where am I flying?", ["fli"]),
        ("I fly to Lisbon", ["fli", "lisbon"]),
        ("What did the Café serve?", ["cafe", "serv"]),
        ("Caroline\u2019s 18th birthday in 2023", ["carolin", "18th", "birthday", "2023"]),
        ("She went to see the children", ["go", "see", "child"]),
        ("Dinner at O\u2019Brien\u2019s? We could\u2019ve", ["dinner", "obrien", "couldv"]),
    ],
)
def test_analyze_folds_stems_and_drops_stopwords(text, terms):
    assert analyze(text) == terms


TODAY = date(2023, 10, 20)  # a Friday


@pytest.mark.parametrize(
    ("text", "window"),
    [
        ("what did Sam take up in May 2023?", ("2023-05-01", "2023-06-01")),
        ("on December 4, 2023", ("2023-12-04", "2023-12-05")),
        ("news of the 9th of December 2023", ("2023-12-09", "2023-12-10")),
        ("camping in June", ("2023-06-01", "2023-07-01")),
        ("in November", ("2022-11-01", "2022-12-01")),
        ("summer 2022", ("2022-06-01", "2022-09-01")),
        ("back in 2021", ("2021-01-01", "2022-01-01")),
        ("last month", ("2023-09-01", "2023-10-01")),
        ("last year", ("2022-01-01", "2023-01-01")),
        ("last Friday", ("2023-10-13", "2023-10-14")),
        ("yesterday", ("2023-10-19", "2023-10-20")),
        ("two weeks ago", ("2023-09-29", "2023-10-13")),
        (" ".join(analyze("I met her 3 days ago")), ("2023-10-16", "2023-10-18")),
        ("you may march on", None),
        ("what did she paint?", None),
    ],
)
def test_time_mention(text, window):
    found = time_mention(text, TODAY)
    assert (found and (found.start.isoformat(), found.end.isoformat())) == window


@pytest.mark.parametrize(
    ("question", "asks"),
    [
        ("When did Evan get married?", True),
        ("Which year did she move?", True),
        ("How long ago was her birthday?", True),
        ("What did she paint?", False),
    ],
)
def test_asks_when(question, asks):
    assert asks_when(question) is asks


def source_of(*turns, session=None):
    """A source holding ``turns`` (texts, or (text, timestamp) pairs), each in a session of
    its own unless ``session`` is given."""
    source = recall.MemorySource()
    for i, turn in enumerate(turns):
        text, stamp = (turn, "2023-01-01T10:00:00") if isinstance(turn, str) else turn
        source.add(text, stamp, session or str(i))
    return source


def test_rank_matches_inflections_and_ignores_stopwords():
    source = source_of("I fly to Lisbon", "what did the others do there", "the weather")
    assert [seq for seq, _ in recall.rank(source, "Where am I flying?")] == [1]


@pytest.mark.parametrize("query", ["", "what did they do?", "zebra in May 2023"])
def test_a_query_that_matches_nothing_ranks_nothing(query):
    source = source_of(("!!!", "2023-05-02T10:00:00"), ("?!", "2023-05-03T10:00:00"))
    assert recall.rank(source, query, now=datetime(2024, 1, 1)) == []


def test_rarer_words_weigh_more_and_ties_go_to_the_newest():
    source = source_of(*["we talked about dinner"] * 5, "the dinner menu", "a menu")
    found = recall.rank(source, "dinner menu", limit=10)
    assert found[0][0] == 6  # both words
    assert found[1][0] == 7  # the rare word alone beats the common one
    tied = [seq for seq, _ in found[2:]]
    assert tied == sorted(tied, reverse=True) == [5, 4, 3, 2, 1]


@pytest.mark.parametrize(
    ("query", "better", "worse"),
    [
        # the query's words side by side
        (
            "heart palpitations",
            "heart palpitations scared me badly",
            "heart scared me, palpitations badly",
        ),
        # the same match in fewer words
        ("dinner", "dinner was lovely", "dinner was lovely and long and loud and late"),
    ],
)
def test_closer_matches_rank_first(query, better, worse):
    found = recall.rank(source_of(better, worse), query)  # the worse one is newer
    assert [seq for seq, _ in found] == [1, 2]


def test_an_answer_is_recalled_through_the_question_before_it():
    source = source_of(
        "Sam: what car do you drive these days?",
        "Evan: a Prius, bought it last spring",
        "Sam: nice. I walk everywhere",
        "Evan: my old car broke down in the desert",
        session="talk",
    )
    source.add("Evan: a Prius too", "2023-01-01", "other session")
    top = [seq for seq, _ in recall.rank(source, "What kind of car does Evan drive?", limit=3)]
    assert 2 in top and 5 not in top


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("What did Mel paint in May 2023?", 2),  # written then
        ("What did Mel paint in May?", 2),  # a May, years before today
        ("What did Mel paint in April 2023?", 3),  # "last month", written in May
        ("What did Mel paint in January 2023?", 4),  # newest otherwise
    ],
)
def test_the_time_a_query_names_finds_the_memories_of_that_time(query, expected):
    source = source_of(
        ("Mel: I paint a lot", "2023-03-02T10:00:00"),
        ("Mel: I paint a lot", "2023-05-10T10:00:00"),
        ("Mel: last month I paint a lot", "2023-05-02T10:00:00"),
        ("Mel: I paint a lot", "2023-08-01T10:00:00"),
    )
    assert recall.rank(source, query, now=datetime(2030, 9, 1))[0][0] == expected


def test_a_when_question_prefers_the_memory_that_says_when():
    source = source_of("Caroline went to the pride parade last week", "Caroline: pride parade fun")
    assert recall.rank(source, "When did Caroline go to a pride parade?")[0][0] == 1


@pytest.mark.parametrize(
    ("postings", "expected"),
    [
        (list(range(120, 20, -1)), 100),  # not full: all of them
        (list(range(1000, 700, -1)), 300 * 10_000 / 300),  # full, dense: its share
        (list(range(10_000, 0, -33))[:300], 300 * 10_000 / 9868),
        (list(range(300_000, 0, -1000)), 300),  # never below the postings seen
    ],
)
def test_document_frequency_from_bounded_postings(postings, expected):
    assert recall.document_frequency(postings, 300, 10_000) == pytest.approx(expected)


class Spy:
    def __init__(self, source):
        self.source, self.calls = source, []

    def __getattr__(self, name):
        def call(*args):
            self.calls.append((name, args))
            return getattr(self.source, name)(*args)

        return call


def test_rank_is_a_few_bounded_lookups():
    source = Spy(source_of(*[f"word{i} common filler" for i in range(2000)]))
    query = " ".join(f"word{i}" for i in range(40)) + " common in May 2023"
    recall.rank(source, query, limit=500, now=datetime(2024, 1, 1))
    names = [name for name, _ in source.calls]
    assert sorted(names) == ["between", "neighbours", "postings", "rows", "size"]
    ((terms, limit),) = [args for name, args in source.calls if name == "postings"]
    assert len(terms) == recall.MAX_TERMS and limit == recall.CANDIDATES
    (seqs,) = [args[0] for name, args in source.calls if name == "rows"]
    assert len(seqs) <= 2 * recall.DEFAULT.rerank


def memory_source(turns):
    source = recall.MemorySource()
    for text, stamp, session in turns:
        source.add(text, stamp, session)
    return source


# Each storage's Source joins this list: (text, timestamp, session_id) turns -> a Source.
SOURCES = [memory_source]

TURNS = [
    (f"turn {i} {'odd' if i % 2 else 'even'}", f"2023-01-{i + 1:02}", "ab"[i % 2]) for i in range(6)
]


@pytest.mark.parametrize("make", SOURCES)
def test_source_contract(make):
    source = make(TURNS)  # seqs 1-6; sessions a, b interleaved; one day apart
    assert source.size() == 6
    assert source.postings(["even", "odd", "none"], 2) == {
        "even": [5, 3],
        "odd": [6, 4],
        "none": [],
    }
    assert {seq: row.terms for seq, row in source.rows([2, 9]).items()} == {2: "turn 1 odd"}
    around = source.neighbours([3, 6], 2)
    assert {seq: [row.seq for row in rows] for seq, rows in around.items()} == {
        3: [1, 5],
        6: [2, 4],
    }
    assert source.between("2023-01-02", "2023-01-05", 2) == [4, 3]
