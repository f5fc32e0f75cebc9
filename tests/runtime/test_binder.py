"""The binder and the annotation type rules, once for both modules: each row one branch."""

import ctypes
import inspect
from types import SimpleNamespace

import pytest
from conftest import Recorder, assert_no_leak, native_frames, raises_each_time, run_fresh

from velkor_agent_hooks.adapters import (
    AgentHooks,
    LangChainMemory,
    LangGraphStore,
    dispatch,
    openai_tools,
)
from velkor_agent_hooks.parlow import AsyncVelkorClient

REC = Recorder()
MEM, STORE, HOOKS = LangChainMemory(REC), LangGraphStore(REC), AgentHooks(REC, "a")
FACADE = AsyncVelkorClient(REC)
GUARD = AgentHooks.guard.__wrapped__
NOTE = (
    "Note that this function is deliberately stricter than PEP-484 and rejects subclasses "
    "of builtin types."
)


class Text(str):
    pass


def count(expected, given, qualifier="exactly"):
    s = "" if expected == 1 else "s"
    return f"takes {qualifier} {expected} positional argument{s} ({given} given)"


def multiple(key):
    return f"got multiple values for keyword argument '{key}'"


def unexpected(key):
    return f"got an unexpected keyword argument '{key}'"


def fresh(name):
    """The same text as a new, not interned, string: names are then compared by value."""
    return name.encode().decode()


BINDING = {
    # more positionals than parameters
    "over-exactly-one": ("LangChainMemory.clear", lambda: MEM.clear(1), count(1, 2)),
    "over-exactly": ("dispatch", lambda: dispatch(REC, "velkor_gate", {}, None), count(3, 4)),
    "over-into-kwonly": ("LangGraphStore.search", lambda: STORE.search([], "q"), count(2, 3)),
    "over-at-most": (
        "AgentHooks.before_tool",
        lambda: HOOKS.before_tool("t", None, "s"),
        count(3, 4, "at most"),
    ),
    "over-with-varkw": (
        "AsyncVelkorClient.__init__",
        lambda: AsyncVelkorClient(1, 2),
        count(2, 3, "at most"),
    ),
    "over-classmethod": (
        "AsyncVelkorClient.from_env",
        lambda: AsyncVelkorClient.from_env(1),
        count(1, 2),
    ),
    "over-kwonly-by-position": (
        "AsyncVelkorClient.observe",
        lambda: FACADE.observe("t"),
        count(1, 2),
    ),
    # fewer positionals, no keywords
    "under-exactly": ("dispatch", lambda: dispatch(), count(3, 0)),
    "under-class-call": ("LangChainMemory.__init__", lambda: LangChainMemory(), count(2, 1)),
    "under-at-least": (
        "AgentHooks.before_tool",
        lambda: HOOKS.before_tool(),
        count(2, 1, "at least"),
    ),
    "under-coroutine": ("AsyncVelkorClient.remember", lambda: FACADE.remember(), count(2, 1)),
    "under-generator": ("AgentHooks.guard", lambda: GUARD(HOOKS), count(2, 1, "at least")),
    # with keywords: counted up to the first parameter missing
    "kw-first-missing": (
        "dispatch",
        lambda: dispatch(name="velkor_gate", arguments={}),
        count(3, 0),
    ),
    "kw-last-missing": ("dispatch", lambda: dispatch(client=REC, name="velkor_gate"), count(3, 2)),
    "kw-middle-missing": ("LangGraphStore.put", lambda: STORE.put([], value=1), count(4, 2)),
    "kw-only-given": (
        "AgentHooks.after_tool",
        lambda: HOOKS.after_tool(session_id="s"),
        count(2, 1),
    ),
    "kw-default-given": (
        "AgentHooks.before_tool",
        lambda: HOOKS.before_tool(tool_input={}, session_id="s"),
        count(2, 1, "at least"),
    ),
    # keyword names
    "multiple": (
        "LangGraphStore.put",
        lambda: STORE.put([], "k", 1, namespace=[]),
        multiple("namespace"),
    ),
    "multiple-self": ("AgentHooks.guard", lambda: GUARD(HOOKS, "t", self=None), multiple("self")),
    "multiple-with-varkw": (
        "AsyncVelkorClient.__init__",
        lambda: AsyncVelkorClient(1, client=2),
        multiple("client"),
    ),
    "unexpected": (
        "LangGraphStore.search",
        lambda: STORE.search([], query="q", max=1),
        unexpected("max"),
    ),
    "unexpected-coroutine": (
        "AsyncVelkorClient.doctor",
        lambda: FACADE.doctor(x=1),
        unexpected("x"),
    ),
    "kwonly-missing": (
        "LangGraphStore.search",
        lambda: STORE.search([], limit="x"),
        "needs keyword-only argument query",
    ),
    "kwonly-missing-coroutine": (
        "AsyncVelkorClient.observe",
        lambda: FACADE.observe(),
        "needs keyword-only argument tool_name",
    ),
    # no parameters at all
    "none-taken": ("openai_tools", lambda: openai_tools(1), "takes no arguments (1 given)"),
    "none-taken-keywords": (
        "openai_tools",
        lambda: openai_tools(1, x=1),
        "takes no keyword arguments",
    ),
}


def entry(qualname):
    module = "parlow" if qualname.startswith("AsyncVelkorClient") else "adapters"
    return f"velkor_agent_hooks.{module}.{qualname}"


@pytest.mark.parametrize(("qualname", "call", "text"), BINDING.values(), ids=BINDING.keys())
def test_binding_error(qualname, call, text):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == f"{qualname.rpartition('.')[2]}() {text}"
    assert native_frames(ei.value) == [entry(qualname)]
    assert REC.calls == []


def test_keyword_names_match_by_value():
    rec = Recorder()
    dispatch(**{fresh("client"): rec, fresh("name"): "velkor_context", fresh("arguments"): {}})
    LangGraphStore(rec).search([], **{fresh("limit"): 1, fresh("query"): "q"})
    AgentHooks(rec, "a").before_tool(**{fresh("tool_name"): "t", fresh("trace_id"): "tr"})
    assert rec.calls == [
        ("context", ("",), {"max_tokens": 7000}),
        ("context", ("q",), {"max_tokens": 700}),
        ("gate", ("t",), {"agent_id": "a", "session_id": "", "tool_input": None, "trace_id": "tr"}),
    ]


def test_non_string_keyword_names_are_refused():
    # Python-level calls reject such keywords before the callee sees them.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t]
    vectorcall.argtypes += [ctypes.py_object]
    args = (ctypes.py_object * 4)(REC, "velkor_gate", {}, 1)
    with pytest.raises(TypeError) as ei:
        vectorcall(dispatch, args, 3, (1,))
    assert str(ei.value) == "dispatch() keywords must be strings"
    assert REC.calls == []


@pytest.mark.parametrize(
    ("defaults", "args", "kwargs", "text"),
    [
        (({},), (), {}, count(2, 0, "at least")),
        (({},), (), {"name": "x"}, count(2, 0, "at least")),
        (({},), (1, 2, 3, 4), {}, count(3, 4, "at most")),
        (("velkor_gate", {}), (), {}, count(1, 0, "at least")),
    ],
)
def test_count_follows_the_current_defaults(monkeypatch, defaults, args, kwargs, text):
    monkeypatch.setattr(dispatch, "__defaults__", defaults)
    with pytest.raises(TypeError) as ei:
        dispatch(*args, **kwargs)
    assert str(ei.value) == "dispatch() " + text
    rec = Recorder()
    dispatch(rec, "velkor_context")
    assert rec.calls == [("context", ("",), {"max_tokens": 7000})]


def test_keyword_defaults_are_read_at_call_time(monkeypatch):
    rec = Recorder()
    store = LangGraphStore(rec)
    monkeypatch.setattr(LangGraphStore.search, "__kwdefaults__", {"limit": 1})
    store.search([], query="q")
    assert rec.calls[-1][2] == {"max_tokens": 700}
    monkeypatch.setattr(LangGraphStore.search, "__kwdefaults__", None)
    with pytest.raises(TypeError) as ei:
        store.search([], query="q")
    assert str(ei.value) == "search() needs keyword-only argument limit"


def test_defaults_are_held_for_the_whole_call():
    # Each default below is referenced only by __defaults__ / __kwdefaults__, which the callee
    # rebinds; "released" must come after the last use, never before.
    run_fresh(
        """
        import weakref
        from types import SimpleNamespace
        from velkor_agent_hooks.adapters import AgentHooks, dispatch
        from velkor_agent_hooks.parlow import AsyncVelkorClient

        log = []
        GUARD = AgentHooks.guard.__wrapped__

        def watched(value):
            weakref.finalize(value, log.append, "released")
            return value

        class Arguments:  # dispatch's positional default, a plain function
            def get(self, key):
                log.append(key)
                dispatch.__defaults__ = None
                return {"tool_name": "t", "tool_input": {}}.get(key)

        class Client:
            def gate(self, name, **kw):
                GUARD.__defaults__ = (None,)
                log.append(("gate", type(kw["tool_input"]).__name__))
                return SimpleNamespace(
                    allow=1, governed=1, reason="", degraded=0, outcome="", require=int
                )

            def observe(self, **kw):
                log.append(kw["fields"])

        dispatch.__defaults__ = (watched(Arguments()),)
        dispatch(Client(), "velkor_gate")
        keys = ["tool_name", "agent_id", "tool_input", "tool_input"]
        assert log == [*keys, ("gate", "dict"), "released"], log

        class Sync:  # the facade's positional default, read again after its truth test
            def __bool__(self):
                log.append("bool")
                AsyncVelkorClient.__init__.__defaults__ = (None,)
                return True

        log.clear()
        AsyncVelkorClient.__init__.__defaults__ = (watched(Sync()),)
        facade = AsyncVelkorClient()
        assert type(facade.sync) is Sync and log == ["bool"], log
        del facade
        assert log == ["bool", "released"], log

        original = AgentHooks.after_tool.__kwdefaults__

        class Result:  # a keyword-only default
            def __str__(self):
                log.append("str")
                AgentHooks.after_tool.__kwdefaults__ = original
                return "text"

        log.clear()
        AgentHooks.after_tool.__kwdefaults__ = {**original, "result": watched(Result())}
        AgentHooks(Client(), "a").after_tool("t")
        assert log == ["str", {"result_preview": "text"}, "released"], log

        class Input:  # a generator's default lives as long as the generator
            pass

        log.clear()
        GUARD.__defaults__ = (watched(Input()),)
        gen = GUARD(AgentHooks(Client(), "a"), "t")
        next(gen)
        log.append("suspended")
        next(gen, None)
        assert log == [("gate", "Input"), "suspended", {}, "released"], log
        print("ok")
        """
    )


def wrong(param, got, expected="str"):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


TYPE_RULES = {
    "str-none": (lambda: STORE.put([], None, 1), TypeError, wrong("key", "NoneType")),
    "str-bytes": (lambda: dispatch(REC, b"velkor_gate", {}), TypeError, wrong("name", "bytes")),
    "str-int-kwonly": (
        lambda: LangChainMemory(REC, session_id=1),
        TypeError,
        wrong("session_id", "int"),
    ),
    "str-subclass": (lambda: HOOKS.before_tool(Text("t")), TypeError, wrong("tool_name", "Text")),
    "str-subclass-coroutine": (
        lambda: FACADE.remember(Text("x")),
        TypeError,
        wrong("text", "Text"),
    ),
    "str-or-none-subclass": (
        lambda: FACADE.gate("t", purpose=Text("p")),
        TypeError,
        wrong("purpose", "Text"),
    ),
    "str-or-none-int": (
        lambda: FACADE.gate("t", approval_id=1),
        TypeError,
        wrong("approval_id", "int"),
    ),
    "first-in-order": (
        lambda: HOOKS.after_tool("t", session_id=1.5, outcome_status=None),
        TypeError,
        wrong("session_id", "float"),
    ),
    "first-in-order-generator": (
        lambda: GUARD(HOOKS, 1, trace_id=None),
        TypeError,
        wrong("tool_name", "int"),
    ),
    "int-before-str": (
        lambda: STORE.search([], query=None, limit="5"),
        TypeError,
        wrong("limit", "str", "int"),
    ),
    "int-none": (
        lambda: FACADE.context(1, max_tokens=None),
        TypeError,
        wrong("max_tokens", "NoneType", "int"),
    ),
    "int-conversion-first": (
        lambda: STORE.search([], query=None, limit=float("nan")),
        ValueError,
        "cannot convert float NaN to integer",
    ),
    "int-conversion-coroutine": (
        lambda: FACADE.context(None, max_tokens=float("inf")),
        OverflowError,
        "cannot convert float infinity to integer",
    ),
}


@pytest.mark.parametrize(("call", "error", "message"), TYPE_RULES.values(), ids=TYPE_RULES.keys())
def test_type_rules(call, error, message):
    with pytest.raises(error) as ei:
        call()
    assert str(ei.value) == message
    assert getattr(ei.value, "__notes__", []) == ([NOTE] if "got Text" in message else [])
    # The rules run before the body, like the interpreter's own checks: no entry of it.
    assert native_frames(ei.value) == []
    assert REC.calls == []


class Opaque:
    pass


def typed_parameters():
    """Every parameter with a type rule, in both modules, with a callable that reaches it."""
    owners = [(LangChainMemory.__init__, LangChainMemory), (dispatch, dispatch)]
    owners += [(getattr(LangGraphStore, n), getattr(STORE, n)) for n in ["put", "search"]]
    owners += [(getattr(AgentHooks, n), getattr(HOOKS, n)) for n in ["before_tool", "after_tool"]]
    owners.append((GUARD, lambda **kw: GUARD(HOOKS, **kw)))
    ops = ["remember", "context", "remember_turns", "gate", "observe", "doctor"]
    owners += [(getattr(AsyncVelkorClient, n), getattr(FACADE, n)) for n in ops]
    for fn, call in owners:
        ann, params = fn.__annotations__, inspect.signature(fn).parameters
        names = [n for n in params if n != "self"]
        for name in names:
            if ann.get(name) in ("str", "str | None", "int"):
                yield pytest.param(call, names, ann, name, id=f"{fn.__qualname__}-{name}")


@pytest.mark.parametrize(("call", "names", "ann", "target"), list(typed_parameters()))
def test_every_typed_parameter_is_checked(call, names, ann, target):
    valid = {"str": "x", "str | None": None, "int": 1}
    kwargs = {n: valid.get(ann.get(n)) for n in names} | {target: Opaque()}
    with pytest.raises(TypeError) as ei:
        call(**kwargs)
    assert str(ei.value) == wrong(target, "Opaque", "int" if ann[target] == "int" else "str")
    assert REC.calls == []


CONTEXT = SimpleNamespace(text="", block_hash="", token_count=0, status="")
QUIET = SimpleNamespace(context=lambda query, **kw: CONTEXT)
LEAKS = {
    "count": lambda: dispatch(QUIET, "velkor_gate"),
    "multiple": lambda: LangGraphStore(QUIET).put([], "k", 1, namespace=[]),
    "unexpected-generator": lambda: AgentHooks(QUIET, "a").guard("t", x=1),
    "kwonly-missing": lambda: FACADE.observe(),
    "none-taken": lambda: openai_tools(1),
    "type": lambda: FACADE.remember(1),
    "type-note": lambda: LangChainMemory(QUIET, session_id=Text("s")),
    "int-type": lambda: LangGraphStore(QUIET).search([], query="q", limit="1"),
    "conversion": lambda: LangGraphStore(QUIET).search([], query="q", limit=float("nan")),
    "varkw-refused": lambda: AsyncVelkorClient(QUIET, extra=[1]),
}


@pytest.mark.parametrize(
    "run",
    [
        *(raises_each_time((TypeError, ValueError), call) for call in LEAKS.values()),
        lambda: LangGraphStore(QUIET).search([], **{fresh("query"): "q"}),
        lambda: dispatch(QUIET, **{fresh("name"): "velkor_context", fresh("arguments"): {}}),
    ],
    ids=[*LEAKS, "kwdefaults", "keywords-by-value"],
)
def test_no_leaks(run):
    assert_no_leak(run)
