"""The OpenAI SDK bridge, driven through the real client against a scripted local transport."""

import copy
import json
import subprocess
import sys

import httpx2
import openai
import pydantic
import pytest
from openai.lib._pydantic import _ensure_strict_json_schema
from openai.types.chat import ChatCompletionFunctionToolParam
from openai.types.responses import FunctionToolParam

from velkor_agent_hooks.adapters import AgentHooks, openai_tools
from velkor_agent_hooks.client import VelkorClient, VelkorConnectionError
from velkor_agent_hooks.openai import governed_call, run_tool_call, tool_definitions

VELKOR = {"velkor_context", "velkor_remember", "velkor_gate"}


class ScriptedServer:
    """Answers the first request with the given tool calls and every later one with text."""

    def __init__(self, calls):
        self.calls = calls
        self.requests = []

    def handle(self, request):
        body = json.loads(request.content)
        self.requests.append(body)
        first = len(self.requests) == 1
        if request.url.path.endswith("/chat/completions"):
            message = {"role": "assistant", "content": "Done."}
            if first:
                message = {"role": "assistant", "content": None, "tool_calls": [
                    {"id": cid, "type": "function", "function": {"name": n, "arguments": a}}
                    for cid, n, a in self.calls
                ]}  # fmt: skip
            return httpx2.Response(200, json={
                "id": "c1", "object": "chat.completion", "created": 0, "model": "m",
                "choices": [{"index": 0, "message": message, "finish_reason": "stop"}],
            })  # fmt: skip
        output = [
            {"type": "function_call", "id": f"fc_{cid}", "call_id": cid, "name": n,
             "arguments": a, "status": "completed"}
            for cid, n, a in self.calls
        ] if first else [
            {"type": "message", "id": "m1", "role": "assistant", "status": "completed",
             "content": [{"type": "output_text", "text": "Done.", "annotations": []}]}
        ]  # fmt: skip
        return httpx2.Response(200, json={
            "id": f"r{len(self.requests)}", "object": "response", "created_at": 0, "model": "m",
            "output": output, "parallel_tool_calls": True, "tool_choice": "auto", "tools": [],
            "status": "completed",
        })  # fmt: skip

    def client(self):
        transport = httpx2.MockTransport(self.handle)
        return openai.OpenAI(
            api_key="offline", max_retries=0, http_client=httpx2.Client(transport=transport)
        )


def chat_loop(model, client, hooks, functions):
    messages = [{"role": "user", "content": "go"}]
    tools = tool_definitions(strict=True)
    while True:
        message = model.chat.completions.create(model="m", messages=messages, tools=tools)
        message = message.choices[0].message
        if not message.tool_calls:
            return message.content, messages
        messages.append(message.model_dump(exclude_none=True))
        for call in message.tool_calls:
            if call.function.name in VELKOR:
                messages.append(run_tool_call(client, call))
            else:
                messages.append(governed_call(hooks, call, functions))


def responses_loop(model, client, hooks, functions):
    response = model.responses.create(model="m", input="go", tools=tool_definitions("responses"))
    while True:
        outputs = [
            run_tool_call(client, item)
            if item.name in VELKOR
            else governed_call(hooks, item, functions)
            for item in response.output
            if item.type == "function_call"
        ]
        if not outputs:
            return response.output_text, None
        response = model.responses.create(
            model="m", previous_response_id=response.id, input=outputs
        )


@pytest.mark.parametrize("api", ["chat", "responses"])
def test_loop_blocks_denied_tool_and_reports_each_outcome(api):
    ran = []

    def search(q):
        ran.append(("search", q))
        return {"hits": 3}

    def shell(cmd):
        ran.append(("shell", cmd))
        return "ran"

    def book(city):
        ran.append(("book", city))
        raise RuntimeError(f"no rooms in {city}")

    calls = [
        (
            "c_mem",
            "velkor_remember",
            json.dumps({"text": "trip", "role": None, "session_id": None}),
        ),
        ("c_search", "search", '{"q": "lisbon"}'),
        ("c_shell", "shell", '{"cmd": "rm -rf /"}'),
        ("c_book", "book", '{"city": "Porto"}'),
    ]
    server = ScriptedServer(calls)
    client = VelkorClient(deny_tools=["shell"])
    hooks = AgentHooks(client, "planner")
    loop = chat_loop if api == "chat" else responses_loop
    functions = {"search": search, "shell": shell, "book": book}

    final, _ = loop(server.client(), client, hooks, functions)

    assert final == "Done."
    assert ran == [("search", "lisbon"), ("book", "Porto")]
    # What the model read back, as the server received it.
    if api == "chat":
        replies = {m["tool_call_id"]: m["content"] for m in server.requests[1]["messages"][2:]}
    else:
        assert server.requests[1]["previous_response_id"] == "r1"
        replies = {i["call_id"]: i["output"] for i in server.requests[1]["input"]}
    assert json.loads(replies["c_search"]) == {"hits": 3}
    assert "deny_tools policy" in json.loads(replies["c_shell"])["error"]
    assert "no rooms in Porto" in json.loads(replies["c_book"])["error"]
    assert json.loads(replies["c_mem"])["stored"] is True

    events = [
        (e["kind"], e["tool_name"], e["trace_id"], e.get("outcome") or e["outcome_status"])
        for e in client.audit_events()
    ]
    assert events == [
        ("gate", "search", "c_search", "ALLOWED"),
        ("observe", "search", "c_search", "SUCCESS"),
        ("gate", "shell", "c_shell", "DENIED"),
        ("gate", "book", "c_book", "ALLOWED"),
        ("observe", "book", "c_book", "FAILED"),
    ]
    (memory,) = client.memories()
    assert (memory["text"], memory["role"], memory["session_id"]) == ("trip", "user", "sdk")


APPROVAL_POLICY = """
@id("delete-needs-ok") @approval @reason("a person approves deletes")
forbid(principal, action, resource == Tool::"delete_file");
permit(principal, action, resource);
"""


@pytest.mark.parametrize("api", ["chat", "responses"])
@pytest.mark.parametrize("approve", [True, False], ids=["approved", "denied"])
def test_a_call_awaiting_approval_runs_when_made_again_once_approved(api, approve):
    client = VelkorClient(policy=APPROVAL_POLICY)
    hooks = AgentHooks(client, "planner")
    deleted = []

    def delete_file(path):
        deleted.append(path)
        return f"deleted {path}"

    def model_turn(call_id):
        server = ScriptedServer([(call_id, "delete_file", '{"path": "a.txt"}')])
        loop = chat_loop if api == "chat" else responses_loop
        loop(server.client(), client, hooks, {"delete_file": delete_file})
        if api == "chat":
            (reply,) = [m["content"] for m in server.requests[1]["messages"][2:]]
        else:
            (reply,) = [i["output"] for i in server.requests[1]["input"]]
        return reply

    asked = json.loads(model_turn("c1"))
    (pending,) = client.approvals("pending")
    assert asked["approval_id"] == pending["id"]
    assert "awaits approval" in asked["error"] and "a person approves deletes" in asked["error"]
    assert json.loads(model_turn("c2")) == asked  # still pending: no second approval
    assert len(client.approvals()) == 1 and deleted == []

    client.decide_approval(pending["id"], approve, by="ana", note="" if approve else "keep it")
    again = model_turn("c3")
    if approve:
        assert again == "deleted a.txt" and deleted == ["a.txt"]
    else:
        assert json.loads(again)["error"].endswith("was denied by ana: keep it")
        assert deleted == []
    # Used or denied, the approval is spent: the next call is asked afresh.
    fresh = json.loads(model_turn("c4"))
    assert fresh["approval_id"] not in (None, pending["id"])
    assert deleted == (["a.txt"] if approve else [])
    gates = [e["outcome"] for e in client.audit_events() if e["kind"] == "gate"]
    assert gates[2:] == ["APPROVED" if approve else "DENIED", "APPROVAL_REQUIRED"]


def test_definitions_reach_the_server_as_given():
    server = ScriptedServer([])
    model = server.client()
    for api, strict in [("chat", False), ("chat", True), ("responses", False), ("responses", True)]:
        tools = tool_definitions(api, strict=strict)
        if api == "chat":
            model.chat.completions.create(model="m", messages=[], tools=tools)
        else:
            model.responses.create(model="m", input="x", tools=tools)
        assert server.requests[-1]["tools"] == tools


@pytest.mark.parametrize("strict", [False, True])
def test_definitions_validate_as_sdk_request_types(strict):
    for api, param in [("chat", ChatCompletionFunctionToolParam), ("responses", FunctionToolParam)]:
        tools = tool_definitions(api, strict=strict)
        # Keys the TypedDict does not declare would be dropped, so equality rules them out.
        assert pydantic.TypeAdapter(list[param]).validate_python(tools) == tools
    chat, responses = tool_definitions(strict=strict), tool_definitions("responses", strict=strict)

    def shared(d):
        return {k: v for k, v in d.items() if k not in ("type", "strict")}

    assert [shared(t["function"]) for t in chat] == [shared(t) for t in responses]
    assert all(t["strict"] is strict for t in responses)
    if not strict:
        assert chat == openai_tools()


def test_strict_definitions_are_already_strict():
    for tool in tool_definitions("responses", strict=True):
        parameters = tool["parameters"]
        converted = copy.deepcopy(parameters)
        _ensure_strict_json_schema(converted, path=(), root=converted)
        assert converted == parameters
        for schema in parameters["properties"].values():
            assert schema["type"] != "object"
    by_name = {
        t["name"]: t["parameters"]["properties"] for t in tool_definitions("responses", strict=True)
    }
    assert by_name["velkor_context"] == {
        "query": {"type": "string"},
        "max_tokens": {"type": ["integer", "null"]},
    }
    assert by_name["velkor_gate"]["tool_input"]["type"] == ["string", "null"]


def test_strict_arguments_read_as_dispatch_expects():
    client = VelkorClient()
    call = {
        "type": "function_call",
        "call_id": "g1",
        "name": "velkor_gate",
        "arguments": json.dumps(
            {"tool_name": "shell", "agent_id": None, "tool_input": '{"cmd": "ls"}'}
        ),
    }
    reply = run_tool_call(client, call)
    assert reply["type"] == "function_call_output" and reply["call_id"] == "g1"
    assert json.loads(reply["output"])["allow"] is True
    (event,) = client.audit_events()
    assert event["tool_input"] == {"cmd": "ls"} and event["agent_id"] == ""
    # A plain object, as the non-strict definitions ask for, works too.
    call["arguments"] = json.dumps({"tool_name": "shell", "tool_input": {"cmd": "pwd"}})
    run_tool_call(client, call)
    assert client.audit_events()[-1]["tool_input"] == {"cmd": "pwd"}


@pytest.mark.parametrize(
    ("name", "arguments", "message"),
    [
        ("velkor_remember", '{"text": "hi"', "not valid JSON"),
        ("velkor_remember", '["hi"]', "JSON object"),
        ("velkor_forget", '{"text": "hi"}', "unknown Velkor tool: velkor_forget"),
        ("velkor_remember", '{"text": ""}', "velkor_remember"),
        ("velkor_context", '{"query": "q", "max_tokens": "lots"}', "velkor_context"),
        ("velkor_context", '{"query": "q", "max_tokens": -5}', "velkor_context"),
        ("velkor_gate", '{"tool_name": "x", "tool_input": "[1]"}', "tool_input"),
    ],
)
def test_model_mistakes_come_back_as_errors_and_store_nothing(name, arguments, message):
    client = VelkorClient()
    chat = run_tool_call(
        client, {"id": "c1", "type": "function", "function": {"name": name, "arguments": arguments}}
    )
    responses = run_tool_call(
        client, {"type": "function_call", "call_id": "r1", "name": name, "arguments": arguments}
    )
    assert chat["role"] == "tool" and chat["tool_call_id"] == "c1"
    assert responses["call_id"] == "r1"
    for text in (chat["content"], responses["output"]):
        assert message in json.loads(text)["error"]
    assert client.memories() == [] and client.audit_events() == []


def test_host_failures_raise():
    down = VelkorClient(base_url="http://127.0.0.1:1", timeout=2)
    call = {"type": "function_call", "call_id": "x", "name": "velkor_context", "arguments": "{}"}
    with pytest.raises(VelkorConnectionError):
        run_tool_call(down, call)
    ran = []
    call["name"] = "search"
    with pytest.raises(VelkorConnectionError):
        governed_call(AgentHooks(down, "a"), call, {"search": lambda: ran.append(1)})
    assert ran == []
    with pytest.raises(TypeError, match="function_call"):
        run_tool_call(VelkorClient(), {"type": "message"})


def test_governed_call_rejects_what_it_cannot_run_without_gating():
    client = VelkorClient()
    hooks = AgentHooks(client, "a")
    unknown = governed_call(
        hooks, {"type": "function_call", "call_id": "1", "name": "nope", "arguments": "{}"}, {}
    )
    bad = governed_call(
        hooks,
        {"type": "function_call", "call_id": "2", "name": "f", "arguments": "{"},
        {"f": print},
    )
    assert "unknown tool: nope" in unknown["output"] and "not valid JSON" in bad["output"]
    assert client.audit_events() == []


def test_a_failing_report_is_not_taken_for_a_tool_failure():
    class ObserveFails(VelkorClient):
        def observe(self, **kwargs):
            raise VelkorConnectionError("observe lost")

    call = {"type": "function_call", "call_id": "1", "name": "f", "arguments": "{}"}
    with pytest.raises(VelkorConnectionError, match="observe lost"):
        governed_call(AgentHooks(ObserveFails(), "a"), call, {"f": lambda: "ok"})


def test_import_without_the_sdk_names_the_extra():
    code = (
        "import sys; sys.modules['openai'] = None\n"
        "try:\n import velkor_agent_hooks.openai\n"
        "except ImportError as e: print(e)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "velkor-agent-hooks[openai]" in out.stdout
