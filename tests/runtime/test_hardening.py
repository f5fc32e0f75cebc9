"""The runtime against Python code that changes state under it, and the places where native
objects must travel and report like Python's. Each hazard runs in a fresh interpreter: a crash
there fails one test instead of the session."""

import subprocess
import sys
import textwrap

import pytest

MODULES = ["adapters", "parlow"]

PRELUDE = """
import ctypes, gc, sys, types
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
"""


def run_fresh(code):
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().endswith("ok"), proc.stdout + proc.stderr


# ---------------------------------------------------------------- loading


@pytest.mark.parametrize("name", MODULES)
def test_exec_into_a_module_the_create_slot_did_not_make(name):
    run_fresh(
        f"""
        import importlib
        mod = importlib.import_module("velkor_agent_hooks.{name}")
        before = dict(vars(mod))
        foreign = types.ModuleType(mod.__name__)
        try:
            api.PyModule_ExecDef(foreign, api.PyModule_GetDef(mod))
        except RuntimeError as e:
            assert str(e) == (
                "Module '{name}' has already been imported. Re-initialisation is not supported."
            ), e
        else:
            raise AssertionError("executed twice")
        assert vars(foreign).keys() == {{"__name__", "__doc__", "__package__", "__loader__",
                                        "__spec__"}}
        assert vars(mod) == before and sys.modules[mod.__name__] is mod
        print("ok")
        """
    )


@pytest.mark.parametrize("name", MODULES)
def test_first_exec_into_a_foreign_module_holds_it(name):
    # A harness may build the module object itself; that object then is the module.
    run_fresh(
        f"""
        import importlib, importlib.util
        spec = importlib.util.find_spec("velkor_agent_hooks.{name}")
        lib = ctypes.PyDLL(spec.origin)
        init = getattr(lib, "PyInit_{name}")
        init.restype = ctypes.c_void_p
        foreign = types.ModuleType(spec.name)
        api.PyModule_ExecDef(foreign, init())
        assert sys.modules[spec.name] is foreign
        assert importlib.import_module(spec.name) is foreign
        del sys.modules[spec.name]
        assert importlib.import_module(spec.name) is foreign
        if "{name}" == "adapters":
            assert foreign.dispatch.__module__ == spec.name
            assert len(foreign.openai_tools()) == 3
        else:
            assert foreign.AsyncVelkorClient.gate.__qualname__ == "AsyncVelkorClient.gate"
        print("ok")
        """
    )


def test_load_survives_code_that_unbinds_what_it_is_reading():
    # The instance check on Mapping and the reads of sys.version_info run Python code that
    # drops the last other reference to the object being read.
    run_fresh(
        """
        import collections.abc, contextlib, dataclasses, json, typing, uuid
        import velkor_agent_hooks.client

        class Vanishing(type):
            def __instancecheck__(cls, obj):
                vars(sys.modules["velkor_agent_hooks.adapters"]).pop("Mapping")
                del fake.Mapping
                return True

        fake = types.ModuleType("collections.abc")
        fake.Iterator, fake.Sequence = collections.abc.Iterator, collections.abc.Sequence
        fake.Mapping = Vanishing("Mapping", (), {})

        real_info = sys.version_info

        class Info:
            def __getitem__(self, i):
                sys.version_info = real_info
                return real_info[i]

        sys.modules["collections.abc"], sys.version_info = fake, Info()
        try:
            from velkor_agent_hooks import adapters
        finally:
            sys.modules["collections.abc"], sys.version_info = collections.abc, real_info
        gc.collect()
        assert "Mapping" not in vars(adapters)
        try:
            adapters.dispatch(None, "velkor_gate", {})
        except NameError as e:
            assert str(e) == "name 'Mapping' is not defined"
        print("ok")
        """
    )


def test_openai_tools_builds_again_after_a_failed_first_build():
    run_fresh(
        """
        import _testcapi
        from velkor_agent_hooks.adapters import openai_tools
        _testcapi.set_nomemory(0)
        try:
            openai_tools()
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        tools = openai_tools()
        assert [t["function"]["name"] for t in tools] == [
            "velkor_context", "velkor_remember", "velkor_gate"]
        print("ok")
        """
    )


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("rebound", ["None", "()", "('x', 'y', 'z')"])
def test_defaults_rebound_by_a_keyword_hash(rebound):
    # Hashing a **kwargs key runs Python code in the middle of binding.
    run_fresh(
        f"""
        from velkor_agent_hooks.parlow import AsyncVelkorClient

        class Key(str):
            armed = False

            def __hash__(self):
                if Key.armed:
                    AsyncVelkorClient.__init__.__defaults__ = {rebound}
                    gc.collect()
                return str.__hash__(self)

        kwargs = {{Key("project"): "p"}}
        Key.armed = True
        facade = AsyncVelkorClient(**kwargs)
        assert facade.sync.project == "p"
        assert AsyncVelkorClient.__init__.__defaults__ == {rebound}
        print("ok")
        """
    )


def test_kwdefaults_rebound_while_they_are_searched():
    # A key of a user-set __kwdefaults__ compares by Python code, which drops the dict.
    run_fresh(
        """
        from velkor_agent_hooks.adapters import LangChainMemory

        class Key(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                LangChainMemory.__init__.__kwdefaults__ = None
                gc.collect()
                return str.__eq__(self, other)

        LangChainMemory.__init__.__kwdefaults__ = {Key("session_id"): "from-" + "default"}
        memory = LangChainMemory(object())
        assert memory.session_id == "from-default"
        assert LangChainMemory.__init__.__kwdefaults__ is None
        try:
            LangChainMemory(object())
        except TypeError as e:
            assert str(e) == "__init__() needs keyword-only argument session_id", e
        print("ok")
        """
    )


def test_defaults_held_while_a_conversion_rebinds_them():
    # limit's __index__ runs after binding and drops the tuple the defaults came from.
    run_fresh(
        """
        from velkor_agent_hooks.adapters import LangGraphStore

        class Client:
            def context(self, query, max_tokens):
                seen.append((query, max_tokens))
                return types.SimpleNamespace(text="", block_hash="h")

        class Limit:
            def __index__(self):
                LangGraphStore.search.__kwdefaults__ = None
                gc.collect()
                return 2

        seen = []
        LangGraphStore.search.__kwdefaults__ = {"query": "q" * 3, "limit": 10}
        store = LangGraphStore(Client())
        assert store.search(("a",), limit=Limit()) == []
        assert seen == [("qqq", 1400)]
        print("ok")
        """
    )
