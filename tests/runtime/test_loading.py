"""Module loading and module namespaces, the same for both modules. A module executes once per
process, so each loading case runs in a new interpreter."""

import asyncio
import builtins
import collections.abc
import contextlib
import dataclasses
import functools
import json
import typing
import uuid

import pytest
from conftest import run_fresh

import velkor_agent_hooks.client as client_module
from velkor_agent_hooks import adapters, parlow

MODULES = ["adapters", "parlow"]
PUBLIC = {
    "adapters": ["LangChainMemory", "LangGraphStore", "AgentHooks", "openai_tools", "dispatch"],
    "parlow": ["AsyncVelkorClient"],
}
FROM_CLIENT = {
    "adapters": ["GateDecision", "VelkorClient"],
    "parlow": ["ContextResult", "GateDecision", "VelkorClient"],
}


@pytest.mark.parametrize("short", MODULES)
def test_module_executes_once_per_process(short):
    run_fresh(
        f"""
        import _imp, importlib, importlib.util, sys, types
        name, public = "velkor_agent_hooks.{short}", {PUBLIC[short]!r}
        found = importlib.util.find_spec(name)
        fake = types.SimpleNamespace(
            name="elsewhere.{short}", origin=found.origin, submodule_search_locations=["p"]
        )
        bare = _imp.create_dynamic(fake)
        assert (bare.__name__, bare.__file__, bare.__path__) == (fake.name, found.origin, ["p"])
        assert bare.__loader__ is None and bare.__package__ is None
        first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
        assert first is not second and name not in sys.modules
        _imp.exec_dynamic(first)
        assert sys.modules[name] is first
        m = importlib.import_module(name)
        assert m is first
        objects = [getattr(m, n) for n in public]
        del sys.modules[name]
        assert importlib.import_module(name) is m
        assert importlib.reload(m) is m
        assert all(getattr(m, n) is o for n, o in zip(public, objects))
        assert _imp.create_dynamic(found) is m
        delattr(m, public[-1])
        _imp.exec_dynamic(m)  # the held module: nothing runs again
        assert not hasattr(m, public[-1])
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            assert str(e) == (
                "Module '{short}' has already been imported. Re-initialisation is not supported."
            ), e
        else:
            raise AssertionError("second execution succeeded")
        print("ok")
        """
    )


@pytest.mark.parametrize("short", MODULES)
@pytest.mark.parametrize("first", ["main", "sub"])
def test_second_interpreter_is_refused(short, first):
    run_fresh(
        f"""
        import _interpreters, importlib
        message = (
            "Interpreter change detected - this module can only be loaded into one "
            "interpreter per process."
        )
        sub = _interpreters.create("legacy")
        code = "import velkor_agent_hooks.{short}"
        if {first!r} == "main":
            m = importlib.import_module("velkor_agent_hooks.{short}")
            err = _interpreters.exec(sub, code)
            assert (err.type.__name__, err.msg) == ("ImportError", message), err
            assert importlib.import_module("velkor_agent_hooks.{short}") is m
        else:
            assert _interpreters.exec(sub, code) is None
            try:
                importlib.import_module("velkor_agent_hooks.{short}")
            except ImportError as e:
                assert str(e) == message, e
            else:
                raise AssertionError("import succeeded")
        print("ok")
        """
    )


@pytest.mark.parametrize("short", MODULES)
@pytest.mark.parametrize("case", ["first-name", "last-name", "no-client"])
def test_failed_load_is_reported_and_can_be_retried(short, case):
    names = FROM_CLIENT[short]
    missing = names[0] if case == "first-name" else names[-1]
    present = [n for n in names if n != missing]
    error = ("ImportError", f"cannot import name {missing}")
    if case == "no-client":
        present = names
        error = (
            "ModuleNotFoundError",
            "import of velkor_agent_hooks.client halted; None in sys.modules",
        )
    run_fresh(
        f"""
        import importlib, sys, traceback, types
        name = "velkor_agent_hooks.{short}"
        stub = types.ModuleType("velkor_agent_hooks.client")
        for n in {present!r}:
            setattr(stub, n, type(n, (), {{}}))
        sys.modules["velkor_agent_hooks.client"] = None if {case == "no-client"} else stub
        try:
            importlib.import_module(name)
        except ImportError as e:
            assert (type(e).__name__, str(e)) == {error!r}, e
            last = traceback.extract_tb(e.__traceback__)[-1]
            assert (last.name, last.filename) == ("init " + name, "src/" + name.replace(".", "/"))
        else:
            raise AssertionError("import succeeded")
        assert name not in sys.modules
        sys.modules["velkor_agent_hooks.client"] = stub
        for n in {names!r}:
            setattr(stub, n, getattr(stub, n, None) or type(n, (), {{}}))
        m = importlib.import_module(name)
        assert all(getattr(m, n) is getattr(stub, n) for n in {names!r})
        print("ok")
        """
    )


@pytest.mark.parametrize("short", MODULES)
@pytest.mark.parametrize(("version", "as_error"), [((3, 12), False), ((4, 13), True)])
def test_other_running_version_warns(short, version, as_error):
    message = (
        f"compile time Python version 3.13 of module 'velkor_agent_hooks.{short}' "
        f"does not match runtime version {version[0]}.{version[1]}"
    )
    run_fresh(
        f"""
        import importlib, sys, warnings
        import velkor_agent_hooks.client
        name, real = "velkor_agent_hooks.{short}", sys.version_info
        sys.version_info = ({version[0]}, {version[1]}, 0, "final", 0)
        if {as_error}:
            try:
                importlib.import_module(name)
            except RuntimeWarning as e:
                assert str(e) == {message!r}, e
            else:
                raise AssertionError("import succeeded")
            assert name not in sys.modules
            sys.version_info = real
            m = importlib.import_module(name)
        else:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                m = importlib.import_module(name)
            got = [(w.category, str(w.message)) for w in caught]
            assert got == [(RuntimeWarning, {message!r})], got
        assert getattr(m, {PUBLIC[short][-1]!r}).__module__ == name
        print("ok")
        """,
        *(["-W", "error"] if as_error else []),
    )


LATE_GLOBALS = {
    "adapters": (
        "json",
        "m.LangGraphStore(Client()).put([], 'k', {})",
        "SimpleNamespace(dumps=text)",
    ),
    "parlow": ("partial", "asyncio.run(m.AsyncVelkorClient(Client()).remember('x'))", "Job"),
}


@pytest.mark.parametrize("short", MODULES)
def test_missing_global_falls_back_to_builtins_then_name_error(short):
    name, call, replacement = LATE_GLOBALS[short]
    run_fresh(
        f"""
        import asyncio, builtins
        from types import SimpleNamespace
        import velkor_agent_hooks.{short} as m

        def text(*args, **kwargs):
            return "from builtins"

        class Job:
            def __init__(self, *args, **kwargs):
                pass

            def __call__(self):
                return {{"text": "from builtins"}}

        class Client:
            def remember(self, text, **kw):
                return {{"text": text}}

        del m.{name}
        try:
            {call}
        except NameError as e:
            assert str(e) == "name '{name}' is not defined", e
        else:
            raise AssertionError("no NameError")
        builtins.{name} = {replacement}
        assert {call} == {{"text": "from builtins"}}
        print("ok")
        """
    )


ADAPTERS_DOC = (
    "Small framework adapters with no framework imports.\n\n"
    "The objects use the method shapes expected by common hosts but deliberately\n"
    "avoid making LangChain, LangGraph, CrewAI, OpenClaw, or Hermes hard dependencies.\n"
)
PARLOW_DOC = (
    "Async facade for the dependency-free Velkor HTTP client.\n\n"
    "The wire implementation remains in :mod:`velkor_agent_hooks.client` so sync\n"
    "and async callers use the same validation and error semantics. Network calls run\n"
    "in worker threads, which avoids adding an HTTP dependency to the base wheel.\n"
)
abc = collections.abc
CLIENT = {"GateDecision": client_module.GateDecision, "VelkorClient": client_module.VelkorClient}
NAMESPACES = {  # the names each module binds, in order
    "adapters": (
        adapters,
        ADAPTERS_DOC,
        {"json": json, "uuid": uuid, "Iterator": abc.Iterator, "Mapping": abc.Mapping}
        | {"Sequence": abc.Sequence, "contextmanager": contextlib.contextmanager}
        | {"dataclass": dataclasses.dataclass, "Any": typing.Any, **CLIENT},
    ),
    "parlow": (
        parlow,
        PARLOW_DOC,
        {"asyncio": asyncio, "Mapping": abc.Mapping, "Sequence": abc.Sequence}
        | {"partial": functools.partial, "Any": typing.Any}
        | {"ContextResult": client_module.ContextResult, **CLIENT},
    ),
}


@pytest.mark.parametrize("short", MODULES)
def test_module_namespace(short):
    module, doc, imported = NAMESPACES[short]
    space = vars(module)
    dunder = [n for n in space if n.startswith("__")]
    assert list(space) == [*dunder, *imported, *PUBLIC[short]]
    assert all(space[n] is v for n, v in imported.items())
    assert (module.__name__, module.__doc__) == (f"velkor_agent_hooks.{short}", doc)
    assert space["__builtins__"] is builtins
    assert module.__file__ == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.__package__ == "velkor_agent_hooks"
    assert "__path__" not in space
