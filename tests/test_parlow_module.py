import asyncio
import functools
import inspect
import json
import subprocess
import sys
import textwrap
import traceback
import typing
from collections import abc

import pytest

import velkor_agent_hooks.client as client_module
import velkor_agent_hooks.parlow as parlow
from velkor_agent_hooks.parlow import AsyncVelkorClient

FILE = "src/velkor_agent_hooks/parlow"
OPERATIONS = ["remember", "context", "remember_turns", "gate", "observe", "doctor"]


def run_fresh(code):
    """Runs code in a new interpreter and returns the JSON it printed last."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def frames(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


# ---------------------------------------------------------------- loading


def test_module_loads_once_per_process():
    out = run_fresh(
        """
        import importlib, json, sys
        import velkor_agent_hooks.parlow as first
        cls = first.AsyncVelkorClient
        del sys.modules["velkor_agent_hooks.parlow"]
        import velkor_agent_hooks.parlow as second
        reloaded = importlib.reload(second)
        print(json.dumps([second is first, reloaded is first, reloaded.AsyncVelkorClient is cls]))
        """
    )
    assert out == [True, True, True]


def test_executing_into_a_second_module_object_fails():
    out = run_fresh(
        """
        import importlib.util, json, sys
        spec = importlib.util.find_spec("velkor_agent_hooks.parlow")
        one = importlib.util.module_from_spec(spec)
        two = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(one)
        try:
            spec.loader.exec_module(two)
        except RuntimeError as exc:
            error = str(exc)
        print(json.dumps([one is not two, error, sys.modules["velkor_agent_hooks.parlow"] is one,
                          hasattr(one, "AsyncVelkorClient")]))
        """
    )
    assert out == [
        True,
        "Module 'parlow' has already been imported. Re-initialisation is not supported.",
        True,
        True,
    ]


def test_second_interpreter_is_refused():
    out = run_fresh(
        """
        import _interpreters
        import velkor_agent_hooks.parlow
        interp = _interpreters.create("legacy")
        _interpreters.run_string(interp, '''if True:
            import json, sys
            try:
                import velkor_agent_hooks.parlow
            except ImportError as exc:
                print(json.dumps(str(exc)))
            else:
                print(json.dumps("loaded"))
            sys.stdout.flush()
        ''')
        """
    )
    assert out == (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process."
    )


@pytest.mark.parametrize(
    "break_client, restore, error",
    [
        (
            "saved = client.ContextResult; del client.ContextResult",
            "client.ContextResult = saved",
            ["ImportError", "cannot import name ContextResult"],
        ),
        (
            "sys.modules['velkor_agent_hooks.client'] = None",
            "sys.modules['velkor_agent_hooks.client'] = client",
            [
                "ModuleNotFoundError",
                "import of velkor_agent_hooks.client halted; None in sys.modules",
            ],
        ),
    ],
    ids=["missing-name", "missing-module"],
)
def test_failed_load_reports_and_can_be_retried(break_client, restore, error):
    out = run_fresh(
        f"""
        import json, sys, traceback
        import velkor_agent_hooks.client as client
        {break_client}
        try:
            import velkor_agent_hooks.parlow
        except ImportError as exc:
            failure = [type(exc).__name__, str(exc)]
            entries = [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)]
        left_behind = "velkor_agent_hooks.parlow" in sys.modules
        {restore}
        import velkor_agent_hooks.parlow as parlow
        print(json.dumps([failure, entries[-1], left_behind,
                          parlow.ContextResult is client.ContextResult,
                          parlow.AsyncVelkorClient.__name__]))
        """
    )
    assert out == [
        error,
        ["init velkor_agent_hooks.parlow", FILE],
        False,
        True,
        "AsyncVelkorClient",
    ]


@pytest.mark.parametrize("as_error", [False, True])
def test_version_mismatch_warns(as_error):
    out = run_fresh(
        f"""
        import asyncio, collections.abc, functools, json, sys, typing, warnings
        import velkor_agent_hooks.client
        real = sys.version_info
        sys.version_info = (3, 12, 0, "final", 0)
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("error" if {as_error} else "always")
            try:
                import velkor_agent_hooks.parlow
                raised = None
            except RuntimeWarning as exc:
                raised = str(exc)
        sys.version_info = real
        import velkor_agent_hooks.parlow as parlow
        print(json.dumps([raised, [(w.category.__name__, str(w.message)) for w in seen],
                          hasattr(parlow, "AsyncVelkorClient")]))
        """
    )
    message = (
        "compile time Python version 3.13 of module 'velkor_agent_hooks.parlow' "
        "does not match runtime version 3.12"
    )
    if as_error:
        assert out == [message, [], True]
    else:
        assert out == [None, [["RuntimeWarning", message]], True]


# ---------------------------------------------------------------- namespace and class


def test_module_namespace():
    names = [n for n in vars(parlow) if not n.startswith("__")]
    assert names == [
        "asyncio",
        "Mapping",
        "Sequence",
        "partial",
        "Any",
        "ContextResult",
        "GateDecision",
        "VelkorClient",
        "AsyncVelkorClient",
    ]
    assert parlow.asyncio is asyncio
    assert (parlow.Mapping, parlow.Sequence) == (abc.Mapping, abc.Sequence)
    assert parlow.partial is functools.partial
    assert parlow.Any is typing.Any
    assert parlow.ContextResult is client_module.ContextResult
    assert parlow.GateDecision is client_module.GateDecision
    assert parlow.VelkorClient is client_module.VelkorClient
    assert parlow.__name__ == "velkor_agent_hooks.parlow"
    assert parlow.__package__ == "velkor_agent_hooks"
    assert parlow.__file__ == parlow.__spec__.origin
    assert parlow.__loader__ is parlow.__spec__.loader
    assert not hasattr(parlow, "__path__")
    assert parlow.__doc__ == (
        "Async facade for the dependency-free Velkor HTTP client.\n\n"
        "The wire implementation remains in :mod:`velkor_agent_hooks.client` so sync\n"
        "and async callers use the same validation and error semantics. Network calls run\n"
        "in worker threads, which avoids adding an HTTP dependency to the base wheel.\n"
    )


def test_class_object():
    cls = AsyncVelkorClient
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__) == ("velkor_agent_hooks.parlow", "AsyncVelkorClient")
    assert cls.__doc__ == "Awaitable counterpart to :class:`VelkorClient`."
    assert list(vars(cls)) == [
        "__module__",
        "__doc__",
        "__init__",
        "from_env",
        *OPERATIONS,
        "__dict__",
        "__weakref__",
    ]
    assert isinstance(vars(cls)["from_env"], classmethod)
    for name in ("__enter__", "__aenter__", "close", "aclose", "__slots__"):
        assert not hasattr(cls, name)
    assert vars(cls(object())).keys() == {"sync"}


SIGNATURES = {
    "__init__": "(self, client: 'VelkorClient | None' = None, **client_kwargs: 'Any') -> 'None'",
    "from_env": "(cls, **overrides: 'Any') -> 'AsyncVelkorClient'",
    "remember": "(self, text: 'str', *, role: 'str' = 'user', session_id: 'str' = 'sdk', "
    "user_id: 'str' = '', timestamp: 'str' = '') -> 'dict[str, Any]'",
    "context": "(self, query: 'str', *, max_tokens: 'int' = 7000) -> 'ContextResult'",
    "remember_turns": "(self, turns: 'Sequence[Mapping[str, Any]]', *, session_id: 'str' = "
    "'sdk', user_id: 'str' = '', timestamp: 'str' = '') -> 'dict[str, Any]'",
    "gate": "(self, tool_name: 'str', *, agent_id: 'str' = '', session_id: 'str' = '', "
    "tool_input: 'Mapping[str, Any] | None' = None, system_id: 'str' = '', actor: 'str' = '', "
    "action: 'str' = '', purpose: 'str | None' = None, capability: 'str | None' = None, "
    "resource: 'str | None' = None, approval_id: 'str | None' = None, trace_id: 'str' = '') "
    "-> 'GateDecision'",
    "observe": "(self, *, tool_name: 'str', agent_id: 'str' = '', session_id: 'str' = '', "
    "outcome_status: 'str' = 'SUCCESS', fields: 'Mapping[str, Any] | None' = None, "
    "system_id: 'str' = '', actor: 'str' = '', purpose: 'str | None' = None, "
    "capability: 'str | None' = None, resource: 'str | None' = None, trace_id: 'str' = '') "
    "-> 'dict[str, Any]'",
    "doctor": "(self) -> 'dict[str, Any]'",
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_metadata(name):
    fn = inspect.unwrap(vars(AsyncVelkorClient)[name])
    fn = getattr(fn, "__func__", fn)
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == f"AsyncVelkorClient.{name}"
    assert fn.__module__ == "velkor_agent_hooks.parlow"
    assert fn.__doc__ is None
    annotated = [p.name for p in sig.parameters.values() if p.annotation is not p.empty]
    assert list(fn.__annotations__) == [*annotated, "return"]
    assert all(type(v) is str for v in fn.__annotations__.values())
    kwonly = {
        p.name: p.default
        for p in sig.parameters.values()
        if p.kind is p.KEYWORD_ONLY and p.default is not p.empty
    }
    assert fn.__kwdefaults__ == (kwonly or None)
    assert list(fn.__kwdefaults__ or ()) == list(kwonly)
    assert fn.__defaults__ == ((None,) if name == "__init__" else None)
    is_coro = name in OPERATIONS
    assert inspect.iscoroutinefunction(fn) is is_coro
    assert asyncio.iscoroutinefunction(fn) is is_coro
    assert bool(fn.__code__.co_flags & inspect.CO_COROUTINE) is is_coro


# ---------------------------------------------------------------- construction


class Factory:
    """Stands in for VelkorClient: records how it is called."""

    def __init__(self):
        self.calls = []
        self.env_calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("made", kwargs)

    def from_env(self, *args, **kwargs):
        self.env_calls.append((args, kwargs))
        return ("from_env", kwargs)


@pytest.fixture
def factory(monkeypatch):
    fake = Factory()
    monkeypatch.setattr(parlow, "VelkorClient", fake)
    return fake


class Falsy:
    def __len__(self):
        return 0


def test_no_client_builds_one(factory):
    assert AsyncVelkorClient().sync == ("made", {})
    assert AsyncVelkorClient(None, project="p", timeout=3).sync == (
        "made",
        {"project": "p", "timeout": 3},
    )
    assert AsyncVelkorClient(Falsy()).sync == ("made", {})
    assert factory.calls == [((), {}), ((), {"project": "p", "timeout": 3}), ((), {})]


@pytest.mark.parametrize("by_keyword", [False, True])
def test_truthy_client_is_kept(factory, by_keyword):
    given = object()
    facade = AsyncVelkorClient(client=given) if by_keyword else AsyncVelkorClient(given)
    assert facade.sync is given
    assert factory.calls == []


@pytest.mark.parametrize("given", [object(), Falsy(), 0])
def test_client_and_keywords_conflict(monkeypatch, given):
    monkeypatch.delattr(parlow, "VelkorClient")
    with pytest.raises(ValueError, match=r"^pass a client or client keyword arguments, not both$"):
        AsyncVelkorClient(given, project="p")


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom


class Failing:
    def __init__(self, **kwargs):
        raise Boom

    @staticmethod
    def from_env(**overrides):
        raise Boom(overrides)


@pytest.mark.parametrize(
    "name, make",
    [
        ("__init__", lambda: AsyncVelkorClient(BadTruth())),
        ("__init__", lambda: AsyncVelkorClient()),
        ("from_env", lambda: AsyncVelkorClient.from_env(a=1)),
    ],
    ids=["truth-test", "factory", "from_env"],
)
def test_construction_errors_propagate(monkeypatch, name, make):
    monkeypatch.setattr(parlow, "VelkorClient", Failing)
    with pytest.raises(Boom) as info:
        make()
    assert info.value.args in ((), ({"a": 1},))
    assert (f"velkor_agent_hooks.parlow.AsyncVelkorClient.{name}", FILE) in frames(info.value)


def test_embedded_client_is_built():
    facade = AsyncVelkorClient(project="h4-proj", agent_id="a1")
    assert type(facade.sync) is client_module.VelkorClient
    assert (facade.sync.project, facade.sync.agent_id) == ("h4-proj", "a1")


def test_from_env_passes_overrides(factory):
    class Sub(AsyncVelkorClient):
        pass

    made = Sub.from_env(project="p", timeout=2)
    assert type(made) is Sub
    assert made.sync == ("from_env", {"project": "p", "timeout": 2})
    from_instance = AsyncVelkorClient(object()).from_env()
    assert type(from_instance) is AsyncVelkorClient
    assert factory.env_calls == [((), {"project": "p", "timeout": 2}), ((), {})]
    assert factory.calls == []


def test_from_env_with_embedded_client(monkeypatch):
    monkeypatch.setenv("VELKOR_PROJECT", "from-env")
    monkeypatch.setenv("VELKOR_DENY_TOOLS", "shell")
    assert AsyncVelkorClient.from_env().sync.project == "from-env"
    facade = AsyncVelkorClient.from_env(project="override")
    assert facade.sync.project == "override"
    assert facade.sync.deny_tools == {"shell"}


# ---------------------------------------------------------------- binding

facade = AsyncVelkorClient(object())

BINDING = [
    (lambda: AsyncVelkorClient(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
    (
        lambda: AsyncVelkorClient(1, client=2),
        "__init__() got multiple values for keyword argument 'client'",
    ),
    (
        lambda: AsyncVelkorClient.from_env(1),
        "from_env() takes exactly 1 positional argument (2 given)",
    ),
    (lambda: facade.remember(), "remember() takes exactly 2 positional arguments (1 given)"),
    (
        lambda: facade.remember("a", "b"),
        "remember() takes exactly 2 positional arguments (3 given)",
    ),
    (
        lambda: facade.remember("a", text="b"),
        "remember() got multiple values for keyword argument 'text'",
    ),
    (lambda: facade.context("q", 5), "context() takes exactly 2 positional arguments (3 given)"),
    (
        lambda: facade.remember_turns([], turn=1),
        "remember_turns() got an unexpected keyword argument 'turn'",
    ),
    (lambda: facade.gate("t", tool="x"), "gate() got an unexpected keyword argument 'tool'"),
    (
        lambda: facade.gate("t", tool_name="u"),
        "gate() got multiple values for keyword argument 'tool_name'",
    ),
    (lambda: facade.observe("t"), "observe() takes exactly 1 positional argument (2 given)"),
    (lambda: facade.observe(), "observe() needs keyword-only argument tool_name"),
    (lambda: facade.doctor(1), "doctor() takes exactly 1 positional argument (2 given)"),
    (lambda: facade.doctor(x=1), "doctor() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call, message", BINDING, ids=[m.split("(")[0] for _, m in BINDING])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    name = message.split("(")[0]
    assert frames(info.value)[-1] == (f"velkor_agent_hooks.parlow.AsyncVelkorClient.{name}", FILE)
