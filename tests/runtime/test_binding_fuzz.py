"""Random call shapes against every function: the native binder and type rules must agree
with inspect.signature(...).bind and the annotations, and never crash."""

import asyncio
import inspect
import re

import pytest
from conftest import Recorder
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velkor_agent_hooks.adapters as adapters
import velkor_agent_hooks.parlow as parlow


class Text(str):
    pass


class Opaque:
    pass


WRONG = [None, 1, 2.5, b"x", Text("sub"), [], Opaque()]
TOOL_NAMES = ["velkor_context", "velkor_remember", "velkor_gate", "other"]


def valid_values(name, annotation):
    if name == "name":  # dispatch's tool name
        return st.sampled_from(TOOL_NAMES)
    if annotation == "str":
        return st.text(max_size=4)
    if annotation == "str | None":
        return st.one_of(st.none(), st.text(max_size=4))
    if annotation == "int":
        return st.one_of(st.integers(-50, 50), st.floats(-50, 50, allow_nan=False), st.booleans())
    if annotation.startswith("Sequence[Mapping"):
        return st.lists(st.just({"role": "user", "text": "t"}), max_size=2)
    if annotation.startswith("Sequence"):
        return st.lists(st.text(max_size=3), max_size=3)
    if annotation.startswith("Mapping"):
        none = [None] if annotation.endswith("| None") else []
        return st.sampled_from([{}, {"input": "q", "output": "a"}, *none])
    return st.sampled_from(["v", 3, {"k": 1}, None])


def refused_by_type_rule(annotation, value):
    if annotation == "str":
        return type(value) is not str
    if annotation == "str | None":
        return value is not None and type(value) is not str
    if annotation == "int":
        return not isinstance(value, int | float)
    return False


def targets():
    memory = adapters.LangChainMemory(Recorder())
    store = adapters.LangGraphStore(Recorder())
    hooks = adapters.AgentHooks(Recorder(), "agent")
    facade = parlow.AsyncVelkorClient(Recorder())
    return [
        (adapters.LangChainMemory, "__init__", None, ()),
        (parlow.AsyncVelkorClient, "__init__", None, ()),
        (parlow.AsyncVelkorClient.from_env, "from_env", None, ()),
        (memory.load_memory_variables, "load_memory_variables", memory, ("context",)),
        (memory.save_context, "save_context", memory, ()),
        (memory.clear, "clear", memory, ()),
        (store.put, "put", store, ("remember",)),
        (store.search, "search", store, ("context",)),
        (hooks.before_tool, "before_tool", hooks, ("gate",)),
        (hooks.after_tool, "after_tool", hooks, ("observe",)),
        (hooks.guard, "guard", hooks, ("gate", "observe")),
        (adapters.openai_tools, "openai_tools", None, ()),
        (adapters.dispatch, "dispatch", None, ()),
        *[
            (getattr(facade, op), op, facade, (op,))
            for op in ("remember", "context", "remember_turns", "gate", "observe", "doctor")
        ],
    ]


TARGETS = targets()


@st.composite
def call_shapes(draw, func):
    params = [
        p
        for p in inspect.signature(func).parameters.values()
        if p.kind is not inspect.Parameter.VAR_KEYWORD
    ]
    source = func.__init__ if isinstance(func, type) else getattr(func, "__wrapped__", func)
    ann = inspect.get_annotations(source)

    def value_for(p):
        annotation = ann.get(p.name, "")
        if p.name == "client":
            return Recorder()
        if annotation in ("str", "str | None", "int") and draw(st.integers(0, 5)) == 0:
            return draw(st.sampled_from(WRONG))
        return draw(valid_values(p.name, annotation))

    positional = [p for p in params if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    npos = draw(st.integers(0, len(positional) + 1))
    args = [value_for(p) for p in positional[:npos]]
    if npos > len(positional):
        args.append("extra")
    kwargs = {}
    for p in params:
        if draw(st.booleans()):
            kwargs[p.name] = value_for(p)
    if draw(st.integers(0, 4)) == 0:
        kwargs[draw(st.sampled_from(["bogus", "self", "Query"]))] = "x"
    return args, kwargs, ann


def expected_error(func, args, kwargs, ann):
    if isinstance(func, type):  # the instance is bound to `self` first, as a call of the class does
        func, args = func.__init__, [object(), *args]
    try:
        bound = inspect.signature(func).bind(*args, **kwargs)
    except TypeError:
        return "binding"
    bound.apply_defaults()
    values = bound.arguments
    for rule in ("int", "str"):
        for name, value in values.items():
            annotation = ann.get(name, "")
            if (annotation == "int") == (rule == "int") and refused_by_type_rule(annotation, value):
                return name
    return None


def run(func, name, args, kwargs):
    result = func(*args, **kwargs)
    if inspect.iscoroutine(result) or hasattr(result, "cr_running"):
        return asyncio.run(_await(result))
    if name == "guard":
        with result:
            pass
    return result


async def _await(coro):
    return await coro


@pytest.fixture(scope="module", autouse=True)
def permissive_client_factory():
    # The facade builds its client from arbitrary keywords; a double accepts them all.
    real = parlow.VelkorClient

    class Factory:
        def __new__(cls, **kwargs):
            return Recorder()

        @staticmethod
        def from_env(**kwargs):
            return Recorder()

    parlow.VelkorClient = Factory
    yield
    parlow.VelkorClient = real


@pytest.mark.parametrize(
    ("func", "name", "owner", "client_calls"),
    TARGETS,
    ids=[f"{t[1]}-{i}" for i, t in enumerate(TARGETS)],
)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_binding_agrees_with_signature(func, name, owner, client_calls, data):
    args, kwargs, ann = data.draw(call_shapes(func))
    recorder = getattr(owner, "client", None) or getattr(owner, "sync", None)
    if recorder is not None:
        recorder.calls.clear()
    expected = expected_error(func, args, kwargs, ann)
    if expected is None:
        try:
            run(func, name, args, kwargs)
        except ValueError as exc:
            # an unknown tool name, or a client given together with client keywords
            assert str(exc).startswith(("unknown Velkor tool: ", "pass a client or client"))
            return
        if recorder is not None and client_calls:
            assert recorder.names()[: len(client_calls)] == list(client_calls)
        return
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    message = str(info.value)
    if expected == "binding":
        assert message.startswith(f"{name}() ") or message.startswith("__init__() ")
    else:
        assert re.match(
            rf"Argument '{expected}' has incorrect type \(expected (str|int), ", message
        )
    if recorder is not None:
        assert recorder.calls == []
