import hashlib
from fractions import Fraction
from types import SimpleNamespace

import pytest
from conftest import Fresh, Recorder, assert_no_leak, raises_each_time

from velkor_agent_hooks import adapters
from velkor_agent_hooks.adapters import LangGraphStore
from velkor_agent_hooks.client import VelkorClient


class Opaque:
    def __str__(self):
        return "opaque"


class Text(str):
    pass


class Logged:
    """Result double whose attribute reads are logged."""

    def __init__(self, log, **values):
        self.log, self.values = log, values

    def __getattr__(self, name):
        self.log.append(name)
        return self.values[name]


def test_init_stores_the_client_only():
    rec = Recorder()
    assert vars(LangGraphStore(client=rec)) == {"client": rec}


@pytest.mark.parametrize(
    ("namespace", "key", "value", "text", "session_id"),
    [
        (["org", "user"], "k", {"b": 1, "a": "é"}, '{"a": "é", "b": 1}', "org/user/k"),
        (("ns",), "k", "plain text", "plain text", "ns/k"),
        ("ab", "k", [1, None], "[1, null]", "a/b/k"),
        ([], "k", {"o": Opaque()}, '{"o": "opaque"}', "k"),
        (iter(["x", Text("y")]), "", 7, "7", "x/y/"),
    ],
)
def test_put_remembers_text_under_joined_namespace(namespace, key, value, text, session_id):
    rec = Recorder()
    assert LangGraphStore(rec).put(namespace, key, value) is rec.results["remember"]
    assert rec.calls == [("remember", (text,), {"session_id": session_id})]


def test_put_looks_json_up_at_each_call(monkeypatch):
    seen = []

    def dumps(*args, **kwargs):
        seen.append((args, list(kwargs.items())))
        return "dumped"

    monkeypatch.setattr(adapters, "json", SimpleNamespace(dumps=dumps))
    rec = Recorder()
    LangGraphStore(rec).put(["n"], "k", {"v": 1})
    assert seen == [(({"v": 1},), [("sort_keys", True), ("ensure_ascii", False), ("default", str)])]
    assert rec.calls == [("remember", ("dumped",), {"session_id": "n/k"})]


def test_put_sends_a_str_value_itself():
    rec = Recorder()
    value = Text('"quoted"')
    LangGraphStore(rec).put(namespace=[], key="k", value=value)
    assert rec.calls[0][1][0] is value


@pytest.mark.parametrize(
    ("result", "message"),
    [
        (None, None),
        ([], "Expected dict, got list"),
        (type("D", (dict,), {})(), "Expected dict, got D"),
    ],
)
def test_put_accepts_only_an_exact_dict_or_none(result, message):
    rec = Recorder(remember=lambda *a, **kw: result)
    store = LangGraphStore(rec)
    if message is None:
        assert store.put(["n"], "k", "v") is None
    else:
        with pytest.raises(TypeError) as excinfo:
            store.put(["n"], "k", "v")
        assert str(excinfo.value) == message
    assert len(rec.calls) == 1


@pytest.mark.parametrize(
    ("namespace", "value"),
    [(5, "v"), (["a", 1], "v"), (["a"], {1: "x", "b": 2}), (["a"], {(1,): 2})],
)
def test_put_failures_before_the_client_call(namespace, value):
    rec = Recorder()
    with pytest.raises(TypeError):
        LangGraphStore(rec).put(namespace, "k", value)
    assert rec.calls == []


LIMITS = [(1, 700), (0, 400), (-5, 400), (17, 11900), (18, 12000), (100, 12000), (10**30, 12000)]
LIMITS += [(-(10**30), 400), (2.9, 1400), (-2.9, 400), (True, 700), (Fraction(7, 2), 2100)]


@pytest.mark.parametrize(
    ("kwargs", "budget"), [({}, 7000)] + [({"limit": n}, b) for n, b in LIMITS]
)
def test_search_budget_scales_with_limit(kwargs, budget):
    rec = Recorder()
    LangGraphStore(rec).search(["n"], query="q", **kwargs)
    assert rec.calls == [("context", ("q",), {"max_tokens": budget})]
    assert type(rec.calls[0][2]["max_tokens"]) is int


@pytest.mark.parametrize("text", ["", None, 0])
def test_search_without_text_returns_empty_list_and_ignores_namespace(text):
    rec = Recorder(context=SimpleNamespace(text=text))
    assert LangGraphStore(rec).search(5, query="q") == []
    assert len(rec.calls) == 1


@pytest.mark.parametrize(
    ("namespace", "expected"),
    [(("a", "b"), ("a", "b")), (["a", "b"], ("a", "b")), ("ab", ("a", "b")), ((), ())],
)
def test_search_hit(namespace, expected):
    value, block_hash = object(), object()
    rec = Recorder(context=SimpleNamespace(text=value, block_hash=block_hash))
    [hit] = LangGraphStore(rec).search(namespace, query="q", limit=0)
    assert list(hit) == ["namespace", "value", "score", "hash"]
    assert hit["namespace"] == expected and type(hit["namespace"]) is tuple
    assert (hit["value"], hit["hash"]) == (value, block_hash)
    assert hit["score"] == 1.0 and type(hit["score"]) is float
    if type(namespace) is tuple:
        assert hit["namespace"] is namespace


def test_search_reads_in_order_after_the_client_call():
    log = []

    class Namespace:
        def __iter__(self):
            log.append("namespace")
            return iter(["n"])

    result = Logged(log, text="t", block_hash="h")
    rec = Recorder(context=lambda *a, **kw: log.append("context") or result)
    store = LangGraphStore(Recorder())
    store.client = rec
    assert store.search(Namespace(), query="q") == [
        {"namespace": ("n",), "value": "t", "score": 1.0, "hash": "h"}
    ]
    assert log == ["context", "text", "namespace", "text", "block_hash"]


ERROR = LookupError("client failed")


@pytest.mark.parametrize(
    ("client", "call"),
    [
        (Recorder(remember=ERROR), lambda s: s.put(["n"], "k", "v")),
        (Recorder(context=ERROR), lambda s: s.search(["n"], query="q")),
        (Recorder(context=SimpleNamespace(text="t")), lambda s: s.search(["n"], query="q")),
        (None, lambda s: s.put(["n"], "k", "v")),
    ],
)
def test_errors_propagate_unchanged(client, call):
    store = LangGraphStore(client)
    if client is None:
        del store.client
    with pytest.raises((LookupError, AttributeError)) as excinfo:
        call(store)
    assert excinfo.value is ERROR or type(excinfo.value) is AttributeError


def test_with_the_real_client():
    client = VelkorClient()
    store = LangGraphStore(client)
    stored = store.put(["team", "alice"], "prefs", {"food": "pizza", "color": "blue"})
    assert (stored["stored"], stored["session_id"]) == (True, "team/alice/prefs")
    text = '{"color": "blue", "food": "pizza"}'
    assert store.search(["team"], query="pizza", limit=1) == [
        {
            "namespace": ("team",),
            "value": text,
            "score": 1.0,
            "hash": hashlib.sha256(text.encode()).hexdigest()[:16],
        }
    ]
    assert store.search(["team"], query="zebra") == []


STORE = LangGraphStore(Fresh())
BAD = LangGraphStore(Fresh(LookupError))


@pytest.mark.parametrize(
    "run",
    [
        lambda: LangGraphStore(Fresh()),
        lambda: STORE.put(["a", "b"], "k", {"v": [1, Opaque()]}),
        lambda: STORE.put("ab", "k", "text"),
        lambda: STORE.search(["n"], query="q", limit=2.5),
        lambda: LangGraphStore(Fresh(text=str)).search([], query=""),
        raises_each_time(TypeError, lambda: STORE.put(["a", 1], "k", 1)),
        raises_each_time(TypeError, lambda: LangGraphStore(Fresh(result=list)).put([], "k", "v")),
        raises_each_time(LookupError, lambda: BAD.put(["a"], "k", "v")),
        raises_each_time(LookupError, lambda: BAD.search(["a"], query="q")),
    ],
)
def test_no_leaks(run):
    assert_no_leak(run)
