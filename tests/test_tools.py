import hashlib
import json
from collections.abc import Mapping
from types import SimpleNamespace

import pytest
from conftest import Fresh, Loud, Recorder, assert_no_leak, denied, raises_each_time

from velkor_agent_hooks import adapters
from velkor_agent_hooks.adapters import dispatch, openai_tools
from velkor_agent_hooks.client import VelkorClient


def tool(name, description, required, **properties):
    parameters = {
        "type": "object",
        "properties": {prop: {"type": kind} for prop, kind in properties.items()},
        "required": [required],
        "additionalProperties": False,
    }
    function = {"name": name, "description": description, "parameters": parameters}
    return {"type": "function", "function": function}


CONTEXT = "Retrieve bounded conversational memory for a question."
REMEMBER = "Store a conversational turn in the local memory product."
GATE = "Check an agent tool call against local Governance policy."
TOOLS = [
    tool("velkor_context", CONTEXT, "query", query="string", max_tokens="integer"),
    tool("velkor_remember", REMEMBER, "text", text="string", role="string", session_id="string"),
    tool(
        "velkor_gate", GATE, "tool_name", tool_name="string", agent_id="string", tool_input="object"
    ),
]


class Args(Mapping):
    """A non-dict Mapping whose get takes only the key and logs it."""

    def __init__(self, **data):
        self.data, self.keys = data, []

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def get(self, key):
        self.keys.append(key)
        return self.data.get(key)


def containers(obj):
    if isinstance(obj, dict):
        return [id(obj)] + [i for v in obj.values() for i in containers(v)]
    if isinstance(obj, list):
        return [id(obj)] + [i for v in obj for i in containers(v)]
    return []


# ---------------------------------------------------------------- openai_tools


def test_openai_tools_schemas_in_order():
    tools = openai_tools()
    assert tools == TOOLS
    assert json.dumps(tools) == json.dumps(TOOLS)
    assert all(t["function"]["parameters"]["additionalProperties"] is False for t in tools)
    assert openai_tools.__doc__ == (
        "Voluntary function tools for OpenAI-compatible hosts.\n\n"
        "    These schemas do not enforce Governance. A host must call ``gate`` from a\n"
        "    before-tool lifecycle hook to guarantee that a denied tool never runs.\n"
        "    "
    )


def test_openai_tools_builds_new_objects_each_call():
    first, second = openai_tools(), openai_tools()
    assert not set(containers(first)) & set(containers(second))
    first.append(None)
    first[0]["function"]["parameters"]["required"].append("max_tokens")
    del first[2]["function"]["parameters"]["properties"]["tool_input"]["type"]
    assert second == TOOLS and openai_tools() == TOOLS


# ---------------------------------------------------------------- dispatch


@pytest.mark.parametrize(
    ("arguments", "query", "max_tokens"),
    [
        ({}, "", 7000),
        ({"query": "q", "max_tokens": 0}, "q", 7000),
        ({"max_tokens": None}, "", 7000),
        ({"max_tokens": ""}, "", 7000),
        ({"max_tokens": "0"}, "", 0),
        ({"max_tokens": "256"}, "", 256),
        ({"max_tokens": 12.9}, "", 12),
        ({"max_tokens": 0.5}, "", 0),
        ({"max_tokens": True}, "", 1),
        ({"max_tokens": -3}, "", -3),
        ({"query": 42, "limit": 1}, "42", 7000),
        ({"query": Loud("q")}, "LOUD", 7000),
    ],
)
def test_context_call(arguments, query, max_tokens):
    rec = Recorder()
    dispatch(rec, "velkor_context", arguments)
    assert rec.calls == [("context", (query,), {"max_tokens": max_tokens})]
    _, (sent_query,), kwargs = rec.calls[0]
    assert type(sent_query) is str and type(kwargs["max_tokens"]) is int


@pytest.mark.parametrize(("max_tokens", "error"), [("abc", ValueError), ([1], TypeError)])
def test_context_conversion_error_comes_before_the_call(max_tokens, error):
    rec = Recorder()
    with pytest.raises(error):
        dispatch(rec, "velkor_context", {"max_tokens": max_tokens})
    assert rec.calls == []


def test_context_reads_keys_then_result_attributes_in_order():
    log = []

    class Result:
        def __getattr__(self, name):
            log.append(name)
            return name.upper()

    arguments = Args()
    result = dispatch(Recorder(context=Result()), "velkor_context", arguments)
    assert arguments.keys == ["query", "max_tokens"]
    assert log == ["text", "block_hash", "token_count", "status"]
    expected = {"context": "TEXT", "hash": "BLOCK_HASH", "token_count": "TOKEN_COUNT"}
    assert list(result.items()) == [*expected.items(), ("status", "STATUS")]


@pytest.mark.parametrize(
    ("arguments", "sent"),
    [
        ({"text": "hi"}, ("hi", "user", "sdk")),
        ({"text": "hi", "role": ""}, ("hi", "user", "sdk")),
        ({}, ("", "user", "sdk")),
        ({"text": 5, "role": "bot", "session_id": Loud("s"), "x": 1}, ("5", "bot", "LOUD")),
    ],
)
def test_remember_call(arguments, sent):
    rec = Recorder()
    arguments = Args(**arguments)
    assert dispatch(rec, "velkor_remember", arguments) is rec.results["remember"]
    text, role, session_id = sent
    assert rec.calls == [("remember", (text,), {"role": role, "session_id": session_id})]
    assert list(rec.calls[0][2]) == ["role", "session_id"]
    assert arguments.keys == ["text", "role", "session_id"]


@pytest.mark.parametrize(
    ("result", "message"),
    [
        (None, None),
        ((), "Expected dict, got tuple"),
        (type("D", (dict,), {})(), "Expected dict, got D"),
    ],
)
def test_remember_result_must_be_exact_dict_or_none(result, message):
    rec = Recorder(remember=lambda *a, **kw: result)
    if message is None:
        assert dispatch(rec, "velkor_remember", {"text": "t"}) is None
    else:
        with pytest.raises(TypeError) as excinfo:
            dispatch(rec, "velkor_remember", {"text": "t"})
        assert str(excinfo.value) == message
    assert rec.names() == ["remember"]


def test_gate_defaults_with_a_new_tool_input_each_call():
    rec = Recorder()
    dispatch(rec, "velkor_gate", {})
    dispatch(rec, "velkor_gate", {"other": 1})
    (_, args1, kw1), (_, args2, kw2) = rec.calls
    assert args1 == args2 == ("process",)
    assert kw1 == kw2 == {"agent_id": "", "tool_input": {}}
    assert list(kw1) == ["agent_id", "tool_input"]
    assert kw1["tool_input"] is not kw2["tool_input"]


@pytest.mark.parametrize(
    ("tool_input", "passed_on"),
    [({"a": 1}, 1), ({}, 1), (Args(), 1), ('{"a": 1}', 0), ([1], 0), (None, 0)],
)
def test_gate_passes_only_mappings_on(tool_input, passed_on):
    rec = Recorder()
    arguments = Args(tool_name="shell", agent_id=7, tool_input=tool_input)
    dispatch(rec, "velkor_gate", arguments)
    [(_, args, kwargs)] = rec.calls
    assert args == ("shell",) and kwargs["agent_id"] == "7"
    if passed_on:
        assert kwargs["tool_input"] is tool_input
    else:
        assert type(kwargs["tool_input"]) is dict and kwargs["tool_input"] == {}
    reads = ["tool_name", "agent_id", "tool_input"] + ["tool_input"] * passed_on
    assert arguments.keys == reads


def test_gate_looks_mapping_up_at_each_call(monkeypatch):
    rec, listed, mapped = Recorder(), ["a"], {"a": 1}
    monkeypatch.setattr(adapters, "Mapping", list)
    dispatch(rec, "velkor_gate", {"tool_input": listed})
    dispatch(rec, "velkor_gate", {"tool_input": mapped})
    assert rec.calls[0][2]["tool_input"] is listed
    assert rec.calls[1][2]["tool_input"] == {} and rec.calls[1][2]["tool_input"] is not mapped


def test_gate_result_holds_the_decision_as_read():
    decision = denied()
    result = dispatch(Recorder(gate=decision), "velkor_gate", {"tool_name": "rm"})
    assert list(result.items()) == list(vars(decision).items())


@pytest.mark.parametrize(
    "name", ["Velkor_context", "velkor_context ", " velkor_gate", "velkor_Remember", "", "other"]
)
def test_unknown_name_touches_nothing(name):
    rec = Recorder()
    with pytest.raises(ValueError) as excinfo:
        dispatch(rec, name, object())
    assert excinfo.value.args == ("unknown Velkor tool: " + name,)
    assert rec.calls == []


ERROR = LookupError("client failed")


@pytest.mark.parametrize(
    ("client", "name", "arguments"),
    [
        (Recorder(context=ERROR), "velkor_context", {}),
        (Recorder(remember=ERROR), "velkor_remember", {}),
        (Recorder(gate=ERROR), "velkor_gate", {}),
        (Recorder(context=SimpleNamespace(text="t")), "velkor_context", {}),
        (Recorder(gate=SimpleNamespace(allow=True)), "velkor_gate", {}),
        (Recorder(), "velkor_gate", '{"tool_name": "x"}'),
    ],
)
def test_errors_propagate_unchanged(client, name, arguments):
    with pytest.raises((LookupError, AttributeError)) as excinfo:
        dispatch(client, name, arguments)
    assert excinfo.value is ERROR or type(excinfo.value) is AttributeError
    assert len(client.calls) == (0 if isinstance(arguments, str) else 1)


def test_with_the_real_client():
    client = VelkorClient(agent_id="a1", deny_tools=["shell"])
    stored = dispatch(client, "velkor_remember", {"text": "the sky is blue", "session_id": "s"})
    assert (stored["stored"], stored["session_id"]) == (True, "s")
    context = dispatch(client, "velkor_context", {"query": "sky"})
    block_hash = hashlib.sha256(b"the sky is blue").hexdigest()[:16]
    assert context == {
        "context": "the sky is blue",
        "hash": block_hash,
        "token_count": 4,
        "status": "ok",
    }
    gate = dispatch(client, "velkor_gate", {"tool_name": "shell", "tool_input": {"x": 1}})
    assert (gate["allow"], gate["outcome"], list(gate)) == (False, "DENIED", list(vars(denied())))
    assert client.audit_events()[-1]["tool_input"] == {"x": 1}


CLIENT, BAD = Fresh(), Fresh(LookupError)
LISTED, SHORT = Fresh(result=list), Fresh(fields=())


@pytest.mark.parametrize(
    "run",
    [
        openai_tools,
        lambda: dispatch(CLIENT, "velkor_context", {"query": 12345, "max_tokens": "9"}),
        lambda: dispatch(CLIENT, "velkor_remember", Args(text=12345, role=67890)),
        lambda: dispatch(CLIENT, "velkor_gate", {"tool_input": [1], "tool_name": 12345}),
        lambda: dispatch(CLIENT, "velkor_gate", Args(tool_input={"a": 1}, agent_id=12345)),
        raises_each_time(ValueError, lambda: dispatch(CLIENT, "velkor", {})),
        raises_each_time(
            ValueError, lambda: dispatch(CLIENT, "velkor_context", {"max_tokens": "x"})
        ),
        raises_each_time(TypeError, lambda: dispatch(LISTED, "velkor_remember", {})),
        raises_each_time(AttributeError, lambda: dispatch(SHORT, "velkor_context", {})),
        raises_each_time(LookupError, lambda: dispatch(BAD, "velkor_gate", {})),
        raises_each_time(LookupError, lambda: dispatch(BAD, "velkor_context", {})),
    ],
)
def test_no_leaks(run):
    assert_no_leak(run)
