"""Function objects, classes and traceback entries of both modules: what introspection,
pydoc and tracebacks show."""

import asyncio
import inspect
import pydoc
import types

import pytest
from conftest import Recorder, native_frames

from velkor_agent_hooks import adapters, parlow
from velkor_agent_hooks.adapters import AgentHooks, LangChainMemory, LangGraphStore, dispatch
from velkor_agent_hooks.parlow import AsyncVelkorClient

GATE_SIG = (
    "(self, tool_name: 'str', tool_input: 'Mapping[str, Any] | None' = None, *, "
    "session_id: 'str' = '', trace_id: 'str' = '')"
)
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
    "AgentHooks.before_tool": GATE_SIG + " -> 'GateDecision'",
    "AgentHooks.after_tool": "(self, tool_name: 'str', *, session_id: 'str' = '', "
    "outcome_status: 'str' = 'SUCCESS', result: 'Any' = None, trace_id: 'str' = '') -> "
    "'dict[str, Any]'",
    "AgentHooks.guard": GATE_SIG + " -> 'Iterator[GateDecision]'",
    "openai_tools": "() -> 'list[dict[str, Any]]'",
    "dispatch": "(client: 'VelkorClient', name: 'str', arguments: 'Mapping[str, Any]') -> "
    "'dict[str, Any]'",
    "AsyncVelkorClient.__init__": "(self, client: 'VelkorClient | None' = None, "
    "**client_kwargs: 'Any') -> 'None'",
    "AsyncVelkorClient.from_env": "(cls, **overrides: 'Any') -> 'AsyncVelkorClient'",
    "AsyncVelkorClient.remember": "(self, text: 'str', *, role: 'str' = 'user', session_id: "
    "'str' = 'sdk', user_id: 'str' = '', timestamp: 'str' = '') -> 'dict[str, Any]'",
    "AsyncVelkorClient.context": "(self, query: 'str', *, max_tokens: 'int' = 7000) -> "
    "'ContextResult'",
    "AsyncVelkorClient.remember_turns": "(self, turns: 'Sequence[Mapping[str, Any]]', *, "
    "session_id: 'str' = 'sdk', user_id: 'str' = '', timestamp: 'str' = '') -> 'dict[str, Any]'",
    "AsyncVelkorClient.gate": "(self, tool_name: 'str', *, agent_id: 'str' = '', session_id: "
    "'str' = '', tool_input: 'Mapping[str, Any] | None' = None, system_id: 'str' = '', actor: "
    "'str' = '', action: 'str' = '', purpose: 'str | None' = None, capability: 'str | None' = "
    "None, resource: 'str | None' = None, approval_id: 'str | None' = None, trace_id: 'str' = "
    "'') -> 'GateDecision'",
    "AsyncVelkorClient.observe": "(self, *, tool_name: 'str', agent_id: 'str' = '', session_id: "
    "'str' = '', outcome_status: 'str' = 'SUCCESS', fields: 'Mapping[str, Any] | None' = None, "
    "system_id: 'str' = '', actor: 'str' = '', purpose: 'str | None' = None, capability: "
    "'str | None' = None, resource: 'str | None' = None, trace_id: 'str' = '') -> "
    "'dict[str, Any]'",
    "AsyncVelkorClient.doctor": "(self) -> 'dict[str, Any]'",
}
LOCALS = {  # generator and coroutine slots after the parameters, as co_varnames shows them
    "AgentHooks.guard": ("correlation_id", "decision", "exc"),
    "dispatch": ("result", "decision"),
    "AsyncVelkorClient.remember_turns": ("turns_snapshot",),
    "AsyncVelkorClient.gate": ("tool_input_snapshot",),
    "AsyncVelkorClient.observe": ("fields_snapshot",),
}
OPERATIONS = ["remember", "context", "remember_turns", "gate", "observe", "doctor"]
COROUTINES = [f"AsyncVelkorClient.{op}" for op in OPERATIONS]
EMPTY = inspect.Parameter.empty


def module_of(qualname):
    return parlow if qualname.startswith("AsyncVelkorClient") else adapters


def function(qualname):
    owner, _, name = qualname.rpartition(".")
    module = module_of(qualname)
    value = vars(getattr(module, owner))[name] if owner else getattr(module, name)
    value = getattr(value, "fget", value)  # property
    value = getattr(value, "__func__", value)  # classmethod
    return getattr(value, "__wrapped__", value)  # contextmanager


@pytest.mark.parametrize("qualname", SIGNATURES)
def test_function_metadata(qualname):
    fn, name = function(qualname), qualname.rpartition(".")[2]
    assert (fn.__name__, fn.__qualname__) == (name, qualname)
    assert fn.__module__ == module_of(qualname).__name__
    assert (fn.__doc__ is None) == (qualname != "openai_tools")
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[qualname]
    params = sig.parameters.values()
    positional = [p.default for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    assert fn.__defaults__ == (tuple(d for d in positional if d is not EMPTY) or None)
    kwonly = {p.name: p.default for p in params if p.kind is p.KEYWORD_ONLY}
    kwdefaults = {k: d for k, d in kwonly.items() if d is not EMPTY}
    assert fn.__kwdefaults__ == (kwdefaults or None)
    assert list(fn.__kwdefaults__ or ()) == list(kwdefaults)
    annotated = [(p.name, p.annotation) for p in params if p.annotation is not p.empty]
    assert list(fn.__annotations__.items()) == [*annotated, ("return", sig.return_annotation)]
    assert all(type(v) is str for v in fn.__annotations__.values())
    assert fn.__code__.co_varnames == (*sig.parameters, *LOCALS.get(qualname, ()))
    is_coroutine = qualname in COROUTINES
    assert inspect.iscoroutinefunction(fn) is asyncio.iscoroutinefunction(fn) is is_coroutine
    assert bool(fn.__code__.co_flags & inspect.CO_COROUTINE) is is_coroutine
    assert inspect.isgeneratorfunction(fn) is (qualname == "AgentHooks.guard")
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert name in text and all(p in text for p in sig.parameters)


def test_methods_bind_like_python_functions():
    store = LangGraphStore(None)
    assert LangGraphStore.put is vars(LangGraphStore)["put"]
    assert isinstance(store.put, types.MethodType)
    assert (store.put.__func__, store.put.__self__) == (LangGraphStore.put, store)
    prop = vars(LangChainMemory)["memory_variables"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert isinstance(vars(AsyncVelkorClient)["from_env"], classmethod)


STORE_DOC = (
    "A small transport helper, not a LangGraph ``BaseStore`` implementation.\n\n"
    "    A namespace is retained as a session cue. It is not an authorization or\n"
    "    tenant boundary. Use a separate Velkor project for data isolation.\n"
    "    "
)
MEMORY_BODY = "memory_key __init__ memory_variables load_memory_variables save_context clear"
FACADE_BODY = f"__init__ from_env {' '.join(OPERATIONS)}"


@pytest.mark.parametrize(
    ("cls", "namespace", "doc"),
    [
        (LangChainMemory, f"__module__ {MEMORY_BODY} __dict__ __weakref__ __doc__", None),
        (LangGraphStore, "__module__ __doc__ __init__ put search __dict__ __weakref__", STORE_DOC),
        (
            AsyncVelkorClient,
            f"__module__ __doc__ {FACADE_BODY} __dict__ __weakref__",
            "Awaitable counterpart to :class:`VelkorClient`.",
        ),
    ],
)
def test_classes(cls, namespace, doc):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (
        module_of(cls.__name__).__name__,
        cls.__name__,
        doc,
    )
    assert list(vars(cls)) == namespace.split()
    instance = cls(object())
    instance.extra = 1
    assert vars(instance)["extra"] == 1


def fail(*args, **kwargs):
    raise LookupError("client failed")


BROKEN = Recorder(context=fail, remember=fail, gate=fail, observe=[])
MEM, STORE, HOOKS = LangChainMemory(BROKEN), LangGraphStore(BROKEN), AgentHooks(BROKEN, "a")
KEYLESS = type("Keyless", (LangChainMemory,), {"memory_key": property(fail)})(BROKEN)


def leave(cm):
    cm.__enter__()
    cm.__exit__(None, None, None)


@pytest.mark.parametrize(
    ("call", "qualnames"),
    [
        (lambda: KEYLESS.memory_variables, ["LangChainMemory.memory_variables"]),
        (lambda: MEM.load_memory_variables({}), ["LangChainMemory.load_memory_variables"]),
        (lambda: MEM.save_context({"input": "x"}, {}), ["LangChainMemory.save_context"]),
        (lambda: STORE.put([], "k", "v"), ["LangGraphStore.put"]),
        (lambda: STORE.search([], query="q"), ["LangGraphStore.search"]),
        (lambda: dispatch(BROKEN, "velkor_remember", {"text": "x"}), ["dispatch"]),
        (lambda: HOOKS.before_tool("t"), ["AgentHooks.before_tool"]),
        (lambda: HOOKS.after_tool("t"), ["AgentHooks.after_tool"]),
        (lambda: HOOKS.guard("t").__enter__(), ["AgentHooks.guard", "AgentHooks.before_tool"]),
        (
            lambda: leave(AgentHooks(Recorder(observe=[]), "a").guard("t")),
            ["AgentHooks.guard", "AgentHooks.after_tool"],
        ),
        (lambda: AsyncVelkorClient(BROKEN, x=1), ["AsyncVelkorClient.__init__"]),
    ],
)
def test_failing_body_adds_a_traceback_entry(call, qualnames):
    with pytest.raises((LookupError, TypeError, ValueError)) as ei:
        call()
    assert native_frames(ei.value) == [f"{module_of(q).__name__}.{q}" for q in qualnames]
