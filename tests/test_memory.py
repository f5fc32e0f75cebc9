from types import SimpleNamespace

import pytest
from conftest import Fresh, Loud, Recorder, assert_no_leak, raises_each_time

from velkor_agent_hooks.adapters import LangChainMemory
from velkor_agent_hooks.client import VelkorClient


class Getter:
    """Mapping-like host object: only a one-argument get, logging the keys asked for."""

    def __init__(self, **values):
        self.values = values
        self.keys = []

    def get(self, key):
        self.keys.append(key)
        return self.values.get(key)


class Raising:
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error

    __str__ = __bool__

    def get(self, key):
        raise self.error


def test_init_sets_client_then_session_id():
    rec = Recorder()
    assert list(vars(LangChainMemory(rec)).items()) == [
        ("client", rec),
        ("session_id", "langchain"),
    ]
    assert vars(LangChainMemory(client=rec, session_id="s1"))["session_id"] == "s1"


@pytest.mark.parametrize("session_id", [None, 3, Loud("s")])
def test_bad_session_id_sets_no_attribute(session_id):
    memory = LangChainMemory.__new__(LangChainMemory)
    with pytest.raises(TypeError):
        memory.__init__(Recorder(), session_id=session_id)
    assert vars(memory) == {}


def test_memory_key_is_read_from_the_instance():
    rec = Recorder()
    custom, default = LangChainMemory(rec), LangChainMemory(rec)
    custom.memory_key = "chat"
    assert custom.memory_variables == ["chat"]
    assert default.memory_variables == ["history"]
    assert default.memory_variables is not default.memory_variables
    assert custom.load_memory_variables({}) == {"chat": "ctx"}
    assert default.load_memory_variables({}) == {"history": "ctx"}
    subclass = type("Sub", (LangChainMemory,), {"memory_key": "turns"})(rec)
    assert subclass.load_memory_variables({}) == {"turns": "ctx"}
    with pytest.raises(AttributeError):
        default.memory_variables = ["other"]


@pytest.mark.parametrize(
    ("inputs", "query"),
    [
        ({}, ""),
        ({"input": "hi", "query": "ignored"}, "hi"),
        ({"input": "", "query": "q"}, "q"),
        ({"input": 42}, "42"),
        ({"input": None, "query": 0}, ""),
        ({"input": 0.0, "query": [1, 2]}, "[1, 2]"),
        ({"input": Loud("x")}, "LOUD"),
        ({"question": "x", "output": "y"}, ""),
    ],
)
def test_load_sends_the_text_of_input_or_query(inputs, query):
    rec = Recorder()
    assert LangChainMemory(rec, session_id="s").load_memory_variables(inputs) == {"history": "ctx"}
    assert rec.calls == [("context", (query,), {})]
    assert type(rec.calls[0][1][0]) is str


@pytest.mark.parametrize(
    ("values", "keys"),
    [({"input": "a", "query": "b"}, ["input"]), ({"input": 0, "query": "b"}, ["input", "query"])],
)
def test_fallback_key_is_read_only_when_the_first_value_is_false(values, keys):
    inputs = Getter(**values)
    LangChainMemory(Recorder()).load_memory_variables(inputs)
    assert inputs.keys == keys


@pytest.mark.parametrize("text", [None, "", object()])
def test_load_returns_the_context_text_unchanged(text):
    memory = LangChainMemory(Recorder(context=SimpleNamespace(text=text)))
    [(key, value)] = memory.load_memory_variables({"input": "q"}).items()
    assert key == "history" and value is text


@pytest.mark.parametrize(
    ("inputs", "outputs", "turns"),
    [
        ({"input": "hi"}, {"output": "", "answer": "yo"}, [("hi", "user"), ("yo", "assistant")]),
        ({}, {}, []),
        ({"query": "q", "input": None}, {"answer": ""}, [("q", "user")]),
        ({"input": 0, "extra": "x"}, {"output": 7, "answer": "no"}, [("7", "assistant")]),
        ({"input": Loud("u")}, {"output": [0]}, [("LOUD", "user"), ("[0]", "assistant")]),
    ],
)
def test_save_context_remembers_each_nonempty_side(inputs, outputs, turns):
    rec = Recorder()
    assert LangChainMemory(rec, session_id="s1").save_context(inputs, outputs) is None
    assert rec.calls == [
        ("remember", (text,), {"role": role, "session_id": "s1"}) for text, role in turns
    ]
    assert all(list(kwargs) == ["role", "session_id"] for _, _, kwargs in rec.calls)


def test_client_and_session_id_are_read_at_each_call():
    memory = LangChainMemory(Recorder())
    memory.client, memory.session_id = Recorder(), 5
    memory.save_context({"input": "a"}, {"output": "b"})
    memory.load_memory_variables({"input": "c"})
    assert memory.client.calls == [
        ("remember", ("a",), {"role": "user", "session_id": 5}),
        ("remember", ("b",), {"role": "assistant", "session_id": 5}),
        ("context", ("c",), {}),
    ]


def test_clear_sends_nothing():
    rec = Recorder()
    memory = LangChainMemory(rec)
    assert memory.clear() is None
    assert rec.calls == []


ERROR = LookupError("host failed")


@pytest.mark.parametrize(
    ("inputs", "outputs"),
    [
        ({"input": "x"}, Raising(ERROR)),
        ({"input": Raising(ERROR)}, {}),
        ({"input": "", "query": Raising(ERROR)}, {}),
        ({"input": "x"}, {"output": Raising(ERROR)}),
        ({"input": "x"}, SimpleNamespace()),
    ],
)
def test_text_failures_propagate_before_anything_is_stored(inputs, outputs):
    rec = Recorder()
    with pytest.raises((LookupError, AttributeError)) as excinfo:
        LangChainMemory(rec).save_context(inputs, outputs)
    assert excinfo.value is ERROR or type(excinfo.value) is AttributeError
    assert rec.calls == []


def test_failed_user_turn_skips_the_assistant_turn():
    rec = Recorder(remember=ERROR)
    with pytest.raises(LookupError) as excinfo:
        LangChainMemory(rec).save_context({"input": "x"}, {"output": "y"})
    assert excinfo.value is ERROR
    assert rec.calls == [("remember", ("x",), {"role": "user", "session_id": "langchain"})]


@pytest.mark.parametrize(
    "client",
    [Recorder(context=ERROR), Recorder(context=SimpleNamespace()), SimpleNamespace()],
)
def test_load_failures_propagate(client):
    with pytest.raises((LookupError, AttributeError)) as excinfo:
        LangChainMemory(client).load_memory_variables({"input": "q"})
    assert excinfo.value is ERROR or type(excinfo.value) is AttributeError


def test_with_the_real_client():
    client = VelkorClient()
    memory = LangChainMemory(client, session_id="chat-1")
    memory.save_context({"input": "my cat is Tom"}, {"output": "Tom is a fine cat"})
    stored = [(m["role"], m["text"], m["session_id"]) for m in client.memories()]
    assert stored == [
        ("user", "my cat is Tom", "chat-1"),
        ("assistant", "Tom is a fine cat", "chat-1"),
    ]
    memory.clear()
    history = memory.load_memory_variables({"query": "cat Tom"})
    # Both texts hold both words; the reply also takes a share of the turn before it.
    assert history == {"history": "Tom is a fine cat\nmy cat is Tom"}


MEMORY = LangChainMemory(Fresh())
BAD = LangChainMemory(Fresh(LookupError))


@pytest.mark.parametrize(
    "run",
    [
        lambda: LangChainMemory(Fresh(), session_id="s"),
        lambda: MEMORY.memory_variables,
        lambda: MEMORY.load_memory_variables({"input": 0, "query": 12345}),
        lambda: MEMORY.save_context({"input": 12345}, Getter(output=67890)),
        raises_each_time(LookupError, lambda: BAD.save_context({"input": 12345}, {})),
        raises_each_time(LookupError, lambda: BAD.load_memory_variables({})),
        raises_each_time(AttributeError, lambda: MEMORY.save_context({}, None)),
        raises_each_time(LookupError, lambda: MEMORY.save_context(Raising(LookupError()), {})),
        MEMORY.clear,
    ],
)
def test_no_leaks(run):
    assert_no_leak(run)
