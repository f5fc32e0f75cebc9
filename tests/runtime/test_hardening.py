"""The runtime against Python code that changes state under it, and the places where native
objects must travel and report like Python's. Each hazard runs in a fresh interpreter: a crash
there fails one test instead of the session."""

import asyncio
import copy
import importlib
import inspect
import multiprocessing
import pickle
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ProcessPoolExecutor

import pytest
from conftest import allowed

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


# ---------------------------------------------------------------- travelling like Python's

FUNCTIONS = [
    ("velkor_agent_hooks.adapters", "dispatch"),
    ("velkor_agent_hooks.adapters", "openai_tools"),
    ("velkor_agent_hooks.adapters", "AgentHooks.before_tool"),
    ("velkor_agent_hooks.adapters", "LangChainMemory.save_context"),
    ("velkor_agent_hooks.parlow", "AsyncVelkorClient.gate"),
]


def resolve(module, qualname):
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize(("module", "qualname"), FUNCTIONS)
def test_functions_pickle_and_copy_by_reference(module, qualname):
    fn = resolve(module, qualname)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn
    assert copy.deepcopy({"f": [fn]})["f"][0] is fn


def test_a_renamed_function_pickles_like_a_python_one():
    from velkor_agent_hooks.adapters import dispatch

    dispatch.__qualname__ = "nowhere"
    try:
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(dispatch)
    finally:
        dispatch.__qualname__ = "dispatch"


def test_a_worker_process_receives_native_functions():
    from velkor_agent_hooks.adapters import openai_tools

    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        assert pool.submit(openai_tools).result(timeout=60) == openai_tools()
        assert pool.submit(resolve, "velkor_agent_hooks.adapters", "dispatch").result(
            timeout=60
        ) is resolve("velkor_agent_hooks.adapters", "dispatch")


# ---------------------------------------------------------------- generator and coroutine state


def test_generator_states_follow_cpython(recorder):
    from velkor_agent_hooks.adapters import AgentHooks

    seen = []
    recorder.results["gate"] = lambda *a, **k: (
        seen.append(inspect.getgeneratorstate(gen)) or (allowed())
    )
    gen = AgentHooks.guard.__wrapped__(AgentHooks(recorder, "a"), "tool")
    assert inspect.getgeneratorstate(gen) == inspect.GEN_CREATED
    assert gen.gi_frame is gen.gi_frame and gen.gi_frame.f_code is gen.gi_code
    next(gen)
    assert seen == [inspect.GEN_RUNNING]
    assert inspect.getgeneratorstate(gen) == inspect.GEN_SUSPENDED
    with pytest.raises(StopIteration):
        next(gen)
    assert inspect.getgeneratorstate(gen) == inspect.GEN_CLOSED and gen.gi_frame is None


def test_coroutine_states_and_a_second_await(recorder):
    from velkor_agent_hooks.parlow import AsyncVelkorClient

    release = threading.Event()
    recorder.results["doctor"] = lambda: release.wait(30) and {"ok": True}
    coro = AsyncVelkorClient(recorder).doctor()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    closed = AsyncVelkorClient(recorder).doctor()
    closed.close()
    assert inspect.getcoroutinestate(closed) == inspect.CORO_CLOSED

    async def first():
        return await coro

    async def main():
        task = asyncio.create_task(first())
        await asyncio.sleep(0)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
        with pytest.raises(RuntimeError, match=r"^coroutine is being awaited already$"):
            await coro
        assert coro.__await__() is not None  # the method itself checks nothing, as CPython's
        release.set()
        return await task

    assert asyncio.run(main()) == {"ok": True}
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
        coro.send(None)


# ---------------------------------------------------------------- lookups remembered per call site


def test_remembered_lookups_follow_changes_to_types_and_instances():
    from velkor_agent_hooks.adapters import AgentHooks, dispatch

    class Result:
        text, block_hash, token_count, status = "class text", "h", 1, "ok"

    class Client:
        def context(self, query, max_tokens):
            return Result()

        def gate(self, tool_name, **kwargs):
            return "class gate"

    client = Client()
    hooks = AgentHooks(client, "a")

    def context_of():
        return dispatch(client, "velkor_context", {})["context"]

    for _ in range(3):  # every site has learnt the types by now
        assert context_of() == "class text" and hooks.before_tool("t") == "class gate"

    Result.text = "changed on the class"
    assert context_of() == "changed on the class"
    Result.text = property(lambda self: "from a property")
    assert context_of() == "from a property"
    del Result.text
    with pytest.raises(AttributeError, match="'Result' object has no attribute 'text'"):
        context_of()
    Result.text = "class text"

    client.gate = lambda *a, **k: "instance gate"  # shadows the method from now on
    assert hooks.before_tool("t") == "instance gate"
    del client.gate
    Client.gate = lambda self, *a, **k: "replaced on the class"
    assert hooks.before_tool("t") == "replaced on the class"

    hooks.agent_id = "b"
    AgentHooks.agent_id = property(lambda self: "from the class")  # a data descriptor wins
    try:
        seen = []
        Client.gate = lambda self, name, **k: seen.append(k["agent_id"])
        hooks.before_tool("t")
        assert seen == ["from the class"]
    finally:
        del AgentHooks.agent_id

    class Other:
        def gate(self, *a, **k):
            return "other"

        def __getattr__(self, name):
            return f"computed {name}"

    hooks.client = Other()
    assert hooks.before_tool("t") == "other"
    hooks.__class__ = type("Sub", (AgentHooks,), {"client": property(lambda s: client)})
    assert hooks.before_tool("t") is None  # the last Client.gate appends and returns None


def test_slots_members_read_like_the_interpreter():
    from velkor_agent_hooks.adapters import dispatch

    class Result:
        __slots__ = ("block_hash", "status", "text", "token_count")

    class Client:
        def context(self, query, max_tokens):
            return result

    result = Result()
    result.text, result.block_hash, result.token_count, result.status = "t", "h", 2, "ok"
    for _ in range(3):
        assert dispatch(Client(), "velkor_context", {}) == {
            "context": "t",
            "hash": "h",
            "token_count": 2,
            "status": "ok",
        }
    del result.block_hash
    with pytest.raises(AttributeError, match="block_hash"):
        dispatch(Client(), "velkor_context", {})


def test_awaited_iterator_cannot_close_the_coroutine_driving_it():
    run_fresh(
        """
        from velkor_agent_hooks import parlow

        class Step:
            def __iter__(self):
                return self

            def __next__(self):
                for finish in (coro.close, lambda: coro.throw(KeyError("k"))):
                    try:
                        finish()
                    except ValueError as e:
                        seen.append(str(e))
                gc.collect()
                raise StopIteration({"ok": True})

        class Job:
            def __await__(self):
                return Step()

        seen = []
        parlow.asyncio = types.SimpleNamespace(to_thread=lambda job: Job())
        coro = parlow.AsyncVelkorClient(types.SimpleNamespace(doctor=dict)).doctor()
        try:
            coro.send(None)
        except StopIteration as stop:
            assert stop.value == {"ok": True}
        else:
            raise AssertionError("the coroutine did not finish")
        assert seen == ["coroutine already executing"] * 2, seen
        print("ok")
        """
    )
