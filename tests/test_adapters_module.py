import builtins
import collections.abc
import contextlib
import ctypes
import dataclasses
import inspect
import json
import subprocess
import sys
import textwrap
import traceback
import types
import typing
import uuid

import pytest
from conftest import Recorder

import velkor_agent_hooks.client as client_module
from velkor_agent_hooks import adapters
from velkor_agent_hooks.adapters import LangChainMemory, LangGraphStore, dispatch, openai_tools

NAME = "velkor_agent_hooks.adapters"
FILE = "src/velkor_agent_hooks/adapters"
NAMES = """json uuid Iterator Mapping Sequence contextmanager dataclass Any GateDecision
VelkorClient LangChainMemory LangGraphStore AgentHooks openai_tools dispatch""".split()


def run_fresh(code, *options):
    """Runs code in a new interpreter (the module executes once per process)."""
    proc = subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok", proc.stdout


def adapter_frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == FILE]


# ---------------------------------------------------------------- loading


def test_module_executes_once_per_process():
    run_fresh(
        """
        import _imp, importlib, importlib.util, sys, types
        name = "velkor_agent_hooks.adapters"
        found = importlib.util.find_spec(name)
        fake = types.SimpleNamespace(
            name="elsewhere.adapters", origin=found.origin, submodule_search_locations=["p"]
        )
        bare = _imp.create_dynamic(fake)
        assert (bare.__name__, bare.__file__, bare.__path__) == (fake.name, found.origin, ["p"])
        assert bare.__loader__ is None and bare.__package__ is None
        first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
        assert first is not second and name not in sys.modules
        _imp.exec_dynamic(first)
        assert sys.modules[name] is first
        import velkor_agent_hooks.adapters as m
        assert m is first
        names = ["LangChainMemory", "LangGraphStore", "AgentHooks", "openai_tools", "dispatch"]
        objects = [getattr(m, n) for n in names]
        del sys.modules[name]
        import velkor_agent_hooks.adapters as again
        assert again is m
        assert importlib.reload(m) is m
        assert all(getattr(m, n) is o for n, o in zip(names, objects))
        assert _imp.create_dynamic(found) is m
        del m.dispatch
        _imp.exec_dynamic(m)  # the held module: nothing runs again
        assert not hasattr(m, "dispatch")
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            assert str(e) == (
                "Module 'adapters' has already been imported. "
                "Re-initialisation is not supported."
            ), e
        else:
            raise AssertionError("second execution succeeded")
        print("ok")
        """
    )


@pytest.mark.parametrize("first", ["main", "sub"])
def test_second_interpreter_is_refused(first):
    run_fresh(
        f"""
        import _interpreters
        message = (
            "Interpreter change detected - this module can only be loaded into one "
            "interpreter per process."
        )
        sub = _interpreters.create("legacy")
        code = "import velkor_agent_hooks.adapters"
        if {first!r} == "main":
            import velkor_agent_hooks.adapters as m
            err = _interpreters.exec(sub, code)
            assert (err.type.__name__, err.msg) == ("ImportError", message), err
            import velkor_agent_hooks.adapters as again
            assert again is m
        else:
            assert _interpreters.exec(sub, code) is None
            try:
                import velkor_agent_hooks.adapters
            except ImportError as e:
                assert str(e) == message, e
            else:
                raise AssertionError("import succeeded")
        print("ok")
        """
    )


@pytest.mark.parametrize(
    ("present", "missing"),
    [(["VelkorClient"], "GateDecision"), (["GateDecision"], "VelkorClient"), ([], "GateDecision")],
)
def test_incomplete_client_module_fails_the_import_until_repaired(present, missing):
    run_fresh(
        f"""
        import sys, traceback, types
        import velkor_agent_hooks
        stub = types.ModuleType("velkor_agent_hooks.client")
        for name in {present!r}:
            setattr(stub, name, type(name, (), {{}}))
        sys.modules["velkor_agent_hooks.client"] = stub
        try:
            import velkor_agent_hooks.adapters
        except ImportError as e:
            assert str(e) == "cannot import name {missing}", e
            last = traceback.extract_tb(e.__traceback__)[-1]
            assert (last.name, last.filename) == (
                "init velkor_agent_hooks.adapters", "src/velkor_agent_hooks/adapters"
            ), last
        else:
            raise AssertionError("import succeeded")
        assert "velkor_agent_hooks.adapters" not in sys.modules
        stub.GateDecision, stub.VelkorClient = int, str
        import velkor_agent_hooks.adapters as m
        assert (m.GateDecision, m.VelkorClient) == (int, str)
        assert m.dispatch.__module__ == "velkor_agent_hooks.adapters"
        print("ok")
        """
    )


@pytest.mark.parametrize("version", [(3, 12), (4, 13)])
@pytest.mark.parametrize("as_error", [False, True])
def test_other_running_version_warns(version, as_error):
    message = (
        "compile time Python version 3.13 of module 'velkor_agent_hooks.adapters' "
        f"does not match runtime version {version[0]}.{version[1]}"
    )
    run_fresh(
        f"""
        import sys, warnings
        real = sys.version_info
        sys.version_info = ({version[0]}, {version[1]}, 0, "final", 0)
        if {as_error}:
            try:
                import velkor_agent_hooks.adapters
            except RuntimeWarning as e:
                assert str(e) == {message!r}, e
            else:
                raise AssertionError("import succeeded")
            assert "velkor_agent_hooks.adapters" not in sys.modules
            sys.version_info = real
            import velkor_agent_hooks.adapters as m
        else:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import velkor_agent_hooks.adapters as m
            got = [(w.category, str(w.message)) for w in caught]
            assert got == [(RuntimeWarning, {message!r})], got
        assert m.dispatch.__qualname__ == "dispatch"
        print("ok")
        """,
        *(["-W", "error"] if as_error else []),
    )


def test_missing_global_falls_back_to_builtins_then_name_error():
    run_fresh(
        """
        import builtins, types
        import velkor_agent_hooks.adapters as m

        class Client:
            def remember(self, text, **kw):
                return {"text": text}

            def gate(self, *args, **kw):
                raise AssertionError("gate called")

        store = m.LangGraphStore(Client())
        del m.json, m.Mapping
        for call, name in [
            (lambda: store.put([], "k", {}), "json"),
            (lambda: m.dispatch(Client(), "velkor_gate", {}), "Mapping"),
        ]:
            try:
                call()
            except NameError as e:
                assert str(e) == f"name '{name}' is not defined", e
            else:
                raise AssertionError("no NameError")
        builtins.json = types.SimpleNamespace(dumps=lambda *a, **kw: "from builtins")
        assert store.put([], "k", {}) == {"text": "from builtins"}
        print("ok")
        """
    )


# ---------------------------------------------------------------- namespace and classes


def test_module_namespace_and_docstring():
    space = vars(adapters)
    order = list(space)
    assert order[-len(NAMES) :] == NAMES
    assert all(n.startswith("__") for n in order[: -len(NAMES)])
    assert adapters.__doc__ == (
        "Small framework adapters with no framework imports.\n\n"
        "The objects use the method shapes expected by common hosts but deliberately\n"
        "avoid making LangChain, LangGraph, CrewAI, OpenClaw, or Hermes hard dependencies.\n"
    )
    assert space["__builtins__"] is builtins
    assert adapters.__file__ == adapters.__spec__.origin
    assert adapters.__loader__ is adapters.__spec__.loader
    assert adapters.__package__ == "velkor_agent_hooks"
    assert "__path__" not in space
    imported = [json, uuid, collections.abc.Iterator, collections.abc.Mapping]
    imported += [collections.abc.Sequence, contextlib.contextmanager, dataclasses.dataclass]
    imported += [typing.Any, client_module.GateDecision, client_module.VelkorClient]
    assert all(space[n] is o for n, o in zip(NAMES, imported, strict=False))


STORE_DOC = (
    "A small transport helper, not a LangGraph ``BaseStore`` implementation.\n\n"
    "    A namespace is retained as a session cue. It is not an authorization or\n"
    "    tenant boundary. Use a separate Velkor project for data isolation.\n"
    "    "
)
MEMORY_BODY = "memory_key __init__ memory_variables load_memory_variables save_context clear"


@pytest.mark.parametrize(
    ("cls", "namespace", "doc"),
    [
        (LangChainMemory, f"__module__ {MEMORY_BODY} __dict__ __weakref__ __doc__", None),
        (LangGraphStore, "__module__ __doc__ __init__ put search __dict__ __weakref__", STORE_DOC),
    ],
)
def test_plain_classes(cls, namespace, doc):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (NAME, cls.__name__, doc)
    assert list(vars(cls)) == namespace.split()
    instance = cls(None)
    instance.extra = 1
    assert vars(instance)["extra"] == 1


def member(qualname):
    owner, _, name = qualname.rpartition(".")
    value = vars(getattr(adapters, owner))[name] if owner else getattr(adapters, name)
    return value.fget if isinstance(value, property) else value


SIGNATURES = {
    "LangChainMemory.__init__": "(self, client: 'VelkorClient', *, session_id: 'str' = "
    "'langchain') -> 'None'",
    "LangChainMemory.memory_variables": "(self) -> 'list[str]'",
    "LangChainMemory.load_memory_variables": "(self, inputs: 'Mapping[str, Any]') -> "
    "'dict[str, str]'",
    "LangChainMemory.save_context": "(self, inputs: 'Mapping[str, Any]', outputs: "
    "'Mapping[str, Any]') -> 'None'",
    "LangChainMemory.clear": "(self) -> 'None'",
    "LangGraphStore.__init__": "(self, client: 'VelkorClient') -> 'None'",
    "LangGraphStore.put": "(self, namespace: 'Sequence[str]', key: 'str', value: 'Any') -> "
    "'dict[str, Any]'",
    "LangGraphStore.search": "(self, namespace: 'Sequence[str]', *, query: 'str', limit: "
    "'int' = 10) -> 'list[dict[str, Any]]'",
    "openai_tools": "() -> 'list[dict[str, Any]]'",
    "dispatch": "(client: 'VelkorClient', name: 'str', arguments: 'Mapping[str, Any]') -> "
    "'dict[str, Any]'",
}
KWDEFAULTS = {"LangChainMemory.__init__": {"session_id": "langchain"}}
KWDEFAULTS["LangGraphStore.search"] = {"limit": 10}


@pytest.mark.parametrize("qualname", SIGNATURES)
def test_function_metadata(qualname):
    fn = member(qualname)
    assert (fn.__qualname__, fn.__name__) == (qualname, qualname.rpartition(".")[2])
    assert fn.__module__ == NAME
    assert (fn.__doc__ is None) == (qualname != "openai_tools")
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ == KWDEFAULTS.get(qualname)
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[qualname]
    annotated = [(p.name, p.annotation) for p in sig.parameters.values() if p.name != "self"]
    assert list(fn.__annotations__.items()) == [*annotated, ("return", sig.return_annotation)]


def test_methods_bind_like_plain_functions():
    store = LangGraphStore(None)
    assert LangGraphStore.put is vars(LangGraphStore)["put"]
    assert isinstance(store.put, types.MethodType)
    assert (store.put.__func__, store.put.__self__) == (LangGraphStore.put, store)
    prop = vars(LangChainMemory)["memory_variables"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None


# ---------------------------------------------------------------- binding and type rules

REC = Recorder()
MEM = LangChainMemory(REC)
STORE = LangGraphStore(REC)


def count(name, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


def multiple(name, key):
    return f"{name}() got multiple values for keyword argument '{key}'"


def unexpected(name, key):
    return f"{name}() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: LangChainMemory(), count("__init__", 2, 1)),
        (lambda: LangChainMemory.__init__(MEM), count("__init__", 2, 1)),
        (lambda: LangChainMemory(REC, "s"), count("__init__", 2, 3)),
        (lambda: LangChainMemory(REC, client=REC), multiple("__init__", "client")),
        (lambda: LangChainMemory(REC, session="s"), unexpected("__init__", "session")),
        (lambda: MEM.load_memory_variables(), count("load_memory_variables", 2, 1)),
        (lambda: MEM.save_context({}), count("save_context", 3, 2)),
        (lambda: MEM.save_context(outputs={}), count("save_context", 3, 1)),
        (lambda: MEM.clear(1), count("clear", 1, 2)),
        (lambda: STORE.put([], "k"), count("put", 4, 3)),
        (lambda: STORE.put([], value=1), count("put", 4, 2)),
        (lambda: STORE.put([], key="k"), count("put", 4, 3)),
        (lambda: STORE.put([], "k", 1, namespace=[]), multiple("put", "namespace")),
        (lambda: STORE.search([], "q"), count("search", 2, 3)),
        (lambda: STORE.search([], limit="x"), "search() needs keyword-only argument query"),
        (lambda: STORE.search([], query="q", max=1), unexpected("search", "max")),
        (lambda: dispatch(), count("dispatch", 3, 0)),
        (lambda: dispatch(REC, "velkor_gate", {}, None), count("dispatch", 3, 4)),
        (lambda: dispatch(REC, arguments={}), count("dispatch", 3, 1)),
        (lambda: dispatch(name="velkor_gate", arguments={}), count("dispatch", 3, 0)),
        (lambda: dispatch(client=REC, name="velkor_gate"), count("dispatch", 3, 2)),
        (lambda: dispatch(REC, "velkor_gate", {}, name="x"), multiple("dispatch", "name")),
        (lambda: dispatch(REC, "velkor_gate", {}, tool="x"), unexpected("dispatch", "tool")),
        (lambda: openai_tools(1), "openai_tools() takes no arguments (1 given)"),
        (lambda: openai_tools(1, x=1), "openai_tools() takes no keyword arguments"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert REC.calls == []


@pytest.mark.parametrize(
    ("defaults", "args", "kwargs", "message"),
    [
        (({},), (), {}, "takes at least 2 positional arguments (0 given)"),
        (({},), (), {"name": "x"}, "takes at least 2 positional arguments (0 given)"),
        (({},), (1, 2, 3, 4), {}, "takes at most 3 positional arguments (4 given)"),
        (("velkor_gate", {}), (), {}, "takes at least 1 positional argument (0 given)"),
    ],
)
def test_count_qualifier_follows_current_defaults(monkeypatch, defaults, args, kwargs, message):
    monkeypatch.setattr(dispatch, "__defaults__", defaults)
    with pytest.raises(TypeError) as excinfo:
        dispatch(*args, **kwargs)
    assert str(excinfo.value) == "dispatch() " + message
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
    with pytest.raises(TypeError) as excinfo:
        store.search([], query="q")
    assert str(excinfo.value) == "search() needs keyword-only argument limit"


def test_non_string_keyword_names_are_refused():
    # Python-level calls reject such keywords before the callee sees them.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t]
    vectorcall.argtypes += [ctypes.py_object]
    args = (ctypes.py_object * 4)(REC, "velkor_gate", {}, 1)
    with pytest.raises(TypeError) as excinfo:
        vectorcall(dispatch, args, 3, (1,))
    assert str(excinfo.value) == "dispatch() keywords must be strings"
    assert REC.calls == []


class Text(str):
    pass


TYPE_TESTED = [
    pytest.param(lambda v: STORE.put([], v, 1), "key", id="put-key"),
    pytest.param(lambda v: STORE.search([], query=v), "query", id="search-query"),
    pytest.param(lambda v: dispatch(REC, v, {}), "name", id="dispatch-name"),
    pytest.param(lambda v: LangChainMemory(REC, session_id=v), "session_id", id="session_id"),
]


@pytest.mark.parametrize(("call", "param"), TYPE_TESTED)
@pytest.mark.parametrize("value", [None, b"velkor_gate", 1, Text("velkor_gate")])
def test_str_parameters_must_be_exactly_str(call, param, value):
    with pytest.raises(TypeError) as excinfo:
        call(value)
    got = type(value).__name__
    assert str(excinfo.value) == f"Argument '{param}' has incorrect type (expected str, got {got})"
    notes = getattr(excinfo.value, "__notes__", [])
    assert len(notes) == (1 if isinstance(value, str) else 0)
    assert all("subclass" in note for note in notes)
    assert REC.calls == []


# ---------------------------------------------------------------- traceback entries


def fail(*args, **kwargs):
    raise LookupError("client failed")


BROKEN = Recorder(context=fail, remember=fail)
BROKEN_MEM, BROKEN_STORE = LangChainMemory(BROKEN), LangGraphStore(BROKEN)
KEYLESS = type("Keyless", (LangChainMemory,), {"memory_key": property(fail)})(BROKEN)


@pytest.mark.parametrize(
    ("qualname", "call"),
    [
        ("LangChainMemory.__init__", lambda: LangChainMemory()),
        ("LangChainMemory.memory_variables", lambda: KEYLESS.memory_variables),
        ("LangChainMemory.load_memory_variables", lambda: BROKEN_MEM.load_memory_variables({})),
        ("LangChainMemory.save_context", lambda: BROKEN_MEM.save_context({"input": "x"}, {})),
        ("LangGraphStore.put", lambda: BROKEN_STORE.put([], "k", "v")),
        ("LangGraphStore.search", lambda: BROKEN_STORE.search([], query="q")),
        ("openai_tools", lambda: openai_tools(x=1)),
        ("dispatch", lambda: dispatch(BROKEN, "velkor_remember", {"text": "x"})),
    ],
)
def test_failure_adds_traceback_entry(qualname, call):
    with pytest.raises((LookupError, TypeError)) as excinfo:
        call()
    assert adapter_frames(excinfo.value) == [f"{NAME}.{qualname}"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: STORE.put([], None, 1),
        lambda: STORE.search([], query=1),
        lambda: STORE.search(0, query="", limit=""),
        lambda: dispatch(REC, None, {}),
    ],
)
def test_refused_argument_type_is_reported_at_the_call(call):
    # The type rules run before the function body, like the facade's: no frame of it.
    with pytest.raises(TypeError) as excinfo:
        call()
    assert adapter_frames(excinfo.value) == []


# ---------------------------------------------------------------- late binding


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    seen = []

    def dumps(*args, **kwargs):
        seen.append((args, list(kwargs.items())))
        return "dumped"

    monkeypatch.setattr(adapters, "json", types.SimpleNamespace(dumps=dumps))
    rec = Recorder()
    LangGraphStore(rec).put(["n"], "k", {"v": 1})
    assert seen == [(({"v": 1},), [("sort_keys", True), ("ensure_ascii", False), ("default", str)])]
    assert rec.calls == [("remember", ("dumped",), {"session_id": "n/k"})]

    monkeypatch.setattr(adapters, "Mapping", list)
    listed, mapped = ["a"], {"a": 1}
    dispatch(rec, "velkor_gate", {"tool_input": listed})
    dispatch(rec, "velkor_gate", {"tool_input": mapped})
    assert rec.calls[-2][2]["tool_input"] is listed
    assert rec.calls[-1][2]["tool_input"] == {} and rec.calls[-1][2]["tool_input"] is not mapped
