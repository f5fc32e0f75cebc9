"""The cached attribute reads and method lookups (src/runtime/attrs.cpp) against the generic
lookup: after every change to an instance or a type, the native adapters must read what
Python's getattr reads. Each scenario runs in a fresh interpreter, so the call sites have
learnt the types beforehand exactly as the scenario sets them up."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
from types import SimpleNamespace
from velkor_agent_hooks.adapters import AgentHooks, LangChainMemory, dispatch

class Result:
    text, block_hash, token_count, status = "class text", "h", 1, "ok"

class Client:
    def context(self, query, max_tokens=7000):
        return Result()

    def gate(self, tool_name, **kwargs):
        return ("gate", kwargs["agent_id"])

    def remember(self, text, **kwargs):
        return None

def agrees(memory, hooks=None):
    # Each read goes through every site twice: once learning, once from what it learnt.
    for _ in range(2):
        expected = getattr(memory, "memory_key")
        assert memory.memory_variables == [expected], (memory.memory_variables, expected)
        text = getattr(getattr(memory, "client").context(""), "text")
        assert memory.load_memory_variables({}) == {expected: text}
        if hooks is not None:
            assert hooks.before_tool("t") == hooks.client.gate("t", agent_id=hooks.agent_id)

def raises(fn, message):
    try:
        fn()
    except AttributeError as e:
        assert str(e) == message, str(e)
    else:
        raise AssertionError("no AttributeError")
"""

SCENARIOS = {
    "instance value shadows the class attribute, then is deleted": """
        memory = LangChainMemory(Client())
        agrees(memory)
        memory.memory_key = "mine"
        agrees(memory)
        del memory.memory_key
        agrees(memory)
        other = LangChainMemory(Client())
        agrees(other)
        other.memory_key = "other's"  # new shared-keys entry, seen by the first's site
        agrees(memory)
        agrees(other)
    """,
    "deleted instance attribute raises the interpreter's error": """
        memory = LangChainMemory(Client())
        hooks = AgentHooks(Client(), "a")
        agrees(memory, hooks)
        del memory.client, hooks.agent_id
        raises(lambda: memory.load_memory_variables({}),
               "'LangChainMemory' object has no attribute 'client'")
        raises(lambda: hooks.before_tool("t"), "'AgentHooks' object has no attribute 'agent_id'")
        memory.client = hooks.agent_id = "back"
        raises(lambda: memory.load_memory_variables({}), "'str' object has no attribute 'context'")
        assert hooks.client.gate("t", agent_id="back") == hooks.before_tool("t")
        print("ok")
    """,
    "class and base mutated after the sites learnt them": """
        memory = LangChainMemory(Client())
        agrees(memory)
        LangChainMemory.memory_key = "changed"
        agrees(memory)
        LangChainMemory.memory_key = property(lambda self: "from a property")
        agrees(memory)
        memory.__dict__["memory_key"] = "ignored: the property is a data descriptor"
        agrees(memory)
        del LangChainMemory.memory_key
        agrees(memory)  # the instance value shows again
        del memory.memory_key
        raises(
            lambda: memory.memory_variables,
            "'LangChainMemory' object has no attribute 'memory_key'",
        )
        LangChainMemory.memory_key = "history"
        Result.text = property(lambda self: "computed text")
        agrees(memory)
        Client.context = lambda self, query, max_tokens=0: SimpleNamespace(text="replaced")
        agrees(memory)
    """,
    "subclasses: a property, a plain attribute, __getattr__": """
        hooks = AgentHooks(Client(), "a")
        memory = LangChainMemory(Client())
        agrees(memory, hooks)
        Sub = type("Sub", (LangChainMemory,), {"memory_key": property(lambda s: "sub")})
        agrees(Sub(Client()))
        agrees(type("Plain", (LangChainMemory,), {"memory_key": "plain"})(Client()))

        class Lazy(AgentHooks):
            def __getattr__(self, name):
                return f"lazy {name}"

        lazy = Lazy(Client(), "a")
        agrees(memory, lazy)
        del lazy.agent_id
        assert lazy.before_tool("t") == ("gate", "lazy agent_id")
        hooks.__class__ = Lazy
        del hooks.agent_id
        assert hooks.before_tool("t") == ("gate", "lazy agent_id")
        agrees(memory, hooks)
    """,
    "instance dict materialised, replaced, or no longer shared": """
        memory = LangChainMemory(Client())
        hooks = AgentHooks(Client(), "a")
        agrees(memory, hooks)
        memory.__dict__["memory_key"] = "through the dict"
        hooks.__dict__["agent_id"] = "b"
        agrees(memory, hooks)
        memory.__dict__[1] = "a key that is not a str ends the shared layout"
        memory.__dict__["memory_key"] = "combined"
        agrees(memory, hooks)
        hooks.__dict__ = {"client": Client(), "agent_id": "replaced dict"}
        agrees(memory, hooks)
        for i in range(40):  # more attributes than shared keys hold
            setattr(memory, f"a{i}", i)
        memory.memory_key = "many"
        agrees(memory)
    """,
    "a method shadowed on the instance, by the dict, and restored": """
        client = Client()
        hooks = AgentHooks(client, "a")
        agrees(LangChainMemory(client), hooks)
        client.gate = lambda *a, **k: "instance gate"
        assert hooks.before_tool("t") == "instance gate"
        del client.gate
        assert hooks.before_tool("t") == ("gate", "a")
        client.__dict__["gate"] = lambda *a, **k: "dict gate"
        assert hooks.before_tool("t") == "dict gate"
        client.__dict__.clear()
        assert hooks.before_tool("t") == ("gate", "a")
        Client.gate = staticmethod(lambda *a, **k: "static")
        assert hooks.before_tool("t") == "static"
    """,
    "a __slots__ member, and one lent to a class it does not fit": """
        class Slotted:
            __slots__ = ("text", "block_hash", "token_count", "status")

        result = Slotted()
        result.text, result.block_hash, result.token_count, result.status = "t", "h", 2, "ok"
        client = SimpleNamespace(context=lambda query, max_tokens: result)
        for _ in range(2):
            assert dispatch(client, "velkor_context", {})["context"] == "t"
        Result.text = Slotted.text  # the descriptor refuses a Result
        client.context = lambda query, max_tokens: Result()
        for _ in range(2):
            try:
                dispatch(client, "velkor_context", {})
            except TypeError as e:
                assert "doesn't apply to a 'Result' object" in str(e), e
            else:
                raise AssertionError("no TypeError")
    """,
    "keyword-only defaults changed in place, rebound, and while in use": """
        seen = []
        client = SimpleNamespace(observe=lambda **kw: seen.append(kw["outcome_status"]))
        hooks = AgentHooks(client, "a")
        after = AgentHooks.after_tool
        for _ in range(2):
            hooks.after_tool("t")
        after.__kwdefaults__["outcome_status"] = "CHANGED"
        hooks.after_tool("t")
        after.__kwdefaults__ = {**after.__kwdefaults__, "outcome_status": "REBOUND"}
        hooks.after_tool("t")

        def observe(**kw):
            seen.append(kw["outcome_status"])
            after.__kwdefaults__["outcome_status"] = "NEXT"

        client.observe = observe
        hooks.after_tool("t")
        hooks.after_tool("t")
        del after.__kwdefaults__["outcome_status"]
        try:
            hooks.after_tool("t")
        except TypeError as e:
            assert str(e) == "after_tool() needs keyword-only argument outcome_status", e
        else:
            raise AssertionError("no TypeError")
        expected = ["SUCCESS", "SUCCESS", "CHANGED", "REBOUND", "REBOUND", "NEXT"]
        assert seen == expected, seen
    """,
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_cached_reads_match_the_generic_lookup(scenario):
    code = PRELUDE + textwrap.dedent(SCENARIOS[scenario])
    if not code.rstrip().endswith('print("ok")'):
        code += '\nprint("ok")\n'
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok", proc.stdout + proc.stderr
