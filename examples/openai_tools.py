"""The OpenAI SDK's tool-calling loop, governed: Chat Completions and Responses, offline.

A scripted server stands in for the model: it asks for a Velkor tool, an allowed host tool,
a denied one and one that fails, then answers with text once it has read the results.
"""

import json
from collections.abc import Callable
from typing import Any

import httpx2
import openai
from openai.types.chat import ChatCompletionFunctionToolParam, ChatCompletionMessageParam
from openai.types.responses import FunctionToolParam, ResponseInputItemParam

from velkor_agent_hooks.adapters import AgentHooks
from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.openai import governed_call, run_tool_call, tool_definitions

VELKOR_TOOLS = {"velkor_context", "velkor_remember", "velkor_gate"}
CALLS = [
    ("call_remember", "velkor_remember", {"text": "Ana flies to Lisbon on 12 March."}),
    ("call_search", "search_web", {"q": "lisbon hotels"}),
    ("call_shell", "shell", {"cmd": "rm -rf /tmp/cache"}),
    ("call_book", "book_hotel", {"city": "Lisbon"}),
]


# The host's own tools.
def search_web(q: str) -> str:
    return f"3 results for {q!r}"


def shell(cmd: str) -> str:
    raise AssertionError("a denied tool must never run")


def book_hotel(city: str) -> str:
    raise RuntimeError(f"no rooms left in {city}")


FUNCTIONS: dict[str, Callable[..., object]] = {
    "search_web": search_web,
    "shell": shell,
    "book_hotel": book_hotel,
}
HOST_TOOLS: list[ChatCompletionFunctionToolParam] = [
    {
        "type": "function",
        "function": {
            "name": name,
            "parameters": {
                "type": "object",
                "properties": {arg: {"type": "string"}},
                "required": [arg],
                "additionalProperties": False,
            },
        },
    }
    for name, arg in (("search_web", "q"), ("shell", "cmd"), ("book_hotel", "city"))
]


def scripted_model(seen: list[dict[str, Any]]) -> openai.OpenAI:
    """An OpenAI client whose server first asks for CALLS, then answers with text."""

    def chat(body: dict[str, Any]) -> dict[str, Any]:
        if body["messages"][-1]["role"] == "tool":
            message: dict[str, Any] = {"role": "assistant", "content": "Done."}
        else:
            message = {"role": "assistant", "content": None, "tool_calls": [
                {"id": cid, "type": "function",
                 "function": {"name": name, "arguments": json.dumps(args)}}
                for cid, name, args in CALLS
            ]}  # fmt: skip
        finish = "tool_calls" if message["content"] is None else "stop"
        return {"id": "chatcmpl-1", "object": "chat.completion", "created": 0, "model": "m",
                "choices": [{"index": 0, "message": message, "finish_reason": finish}]}  # fmt: skip

    def responses(body: dict[str, Any]) -> dict[str, Any]:
        if isinstance(body["input"], list):
            output: list[dict[str, Any]] = [{
                "type": "message", "id": "msg_1", "role": "assistant", "status": "completed",
                "content": [{"type": "output_text", "text": "Done.", "annotations": []}],
            }]  # fmt: skip
        else:
            output = [
                {"type": "function_call", "id": f"fc_{cid}", "call_id": cid, "name": name,
                 "arguments": json.dumps(args), "status": "completed"}
                for cid, name, args in CALLS
            ]  # fmt: skip
        return {"id": f"resp_{len(seen)}", "object": "response", "created_at": 0, "model": "m",
                "output": output, "parallel_tool_calls": True, "tool_choice": "auto",
                "tools": [], "status": "completed"}  # fmt: skip

    def handle(request: httpx2.Request) -> httpx2.Response:
        body = json.loads(request.content)
        seen.append(body)
        reply = chat(body) if request.url.path.endswith("/chat/completions") else responses(body)
        return httpx2.Response(200, json=reply)

    transport = httpx2.MockTransport(handle)
    return openai.OpenAI(
        api_key="offline", max_retries=0, http_client=httpx2.Client(transport=transport)
    )


def chat_loop(model: openai.OpenAI, client: VelkorClient) -> str | None:
    hooks = AgentHooks(client, agent_id="planner")
    messages: list[ChatCompletionMessageParam] = [{"role": "user", "content": "Plan my trip."}]
    while True:
        completion = model.chat.completions.create(
            model="m", messages=messages, tools=[*tool_definitions(strict=True), *HOST_TOOLS]
        )
        message = completion.choices[0].message
        if not message.tool_calls:
            return message.content
        calls = [call for call in message.tool_calls if call.type == "function"]
        messages.append({"role": "assistant", "tool_calls": [
            {"id": call.id, "type": "function",
             "function": {"name": call.function.name, "arguments": call.function.arguments}}
            for call in calls
        ]})  # fmt: skip
        for call in calls:
            name = call.function.name
            if name in VELKOR_TOOLS:
                messages.append(run_tool_call(client, call))
            else:
                messages.append(governed_call(hooks, call, FUNCTIONS))
            print(f"  {name}: {messages[-1]['content']}")


def responses_loop(model: openai.OpenAI, client: VelkorClient) -> str:
    hooks = AgentHooks(client, agent_id="planner")
    host_tools: list[FunctionToolParam] = [
        {
            "type": "function",
            "name": tool["function"]["name"],
            "parameters": tool["function"].get("parameters"),
            "strict": False,
        }
        for tool in HOST_TOOLS
    ]
    response = model.responses.create(
        model="m", input="Plan my trip.", tools=[*tool_definitions("responses"), *host_tools]
    )
    while True:
        outputs: list[ResponseInputItemParam] = []
        for item in response.output:
            if item.type != "function_call":
                continue
            if item.name in VELKOR_TOOLS:
                reply = run_tool_call(client, item)
            else:
                reply = governed_call(hooks, item, FUNCTIONS)
            print(f"  {item.name}: {reply['output']}")
            outputs.append(reply)
        if not outputs:
            return response.output_text
        response = model.responses.create(
            model="m", previous_response_id=response.id, input=outputs
        )


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["shell"])
    seen: list[dict[str, Any]] = []
    model = scripted_model(seen)
    print("Chat Completions:")
    print("  model says:", chat_loop(model, client))
    print("Responses:")
    print("  model says:", responses_loop(model, client))
    print("audit:")
    for event in client.audit_events():
        status = event.get("outcome", event.get("outcome_status"))
        print(f"  {event['kind']:8} {event['tool_name']:11} {event['trace_id']:14} {status}")


if __name__ == "__main__":
    main()
