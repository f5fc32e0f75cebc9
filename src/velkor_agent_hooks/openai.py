"""The Velkor tools and governed tool calls for the OpenAI Python SDK.

``tool_definitions`` offers the three Velkor tools in the Chat Completions or the Responses
shape, optionally in strict mode; ``run_tool_call`` executes a call the model made to one of
them; ``governed_call`` runs the host's own tools under the governance gate. Both take a
Chat Completions tool call or a Responses ``function_call`` item, as SDK object or as dict, and
return the message or input item that carries the result back to the model.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Literal, cast, overload

try:
    import openai  # noqa: F401
except ImportError as exc:
    raise ImportError(
        "velkor_agent_hooks.openai needs the OpenAI SDK: pip install 'velkor-agent-hooks[openai]'"
    ) from exc

from . import _approvals
from .adapters import AgentHooks, dispatch, openai_tools
from .client import VelkorClient, VelkorError

if TYPE_CHECKING:
    from openai.types.chat import (
        ChatCompletionFunctionToolParam,
        ChatCompletionMessageFunctionToolCallParam,
        ChatCompletionMessageToolCallUnion,
        ChatCompletionToolMessageParam,
    )
    from openai.types.responses import (
        FunctionToolParam,
        ResponseFunctionToolCall,
        ResponseFunctionToolCallParam,
    )
    from openai.types.responses.response_input_item_param import FunctionCallOutput

    ChatToolCall = ChatCompletionMessageToolCallUnion | ChatCompletionMessageFunctionToolCallParam
    ResponsesToolCall = ResponseFunctionToolCall | ResponseFunctionToolCallParam

__all__ = ["governed_call", "run_tool_call", "tool_definitions"]

# Strict mode allows no free-form object, so the planned call's input travels as JSON text.
_TOOL_INPUT_AS_TEXT = "The planned call's arguments as the text of a JSON object."


def _strict(parameters: dict[str, Any]) -> dict[str, Any]:
    required = set(parameters["required"])
    properties: dict[str, Any] = {}
    for name, schema in parameters["properties"].items():
        if schema.get("type") == "object":
            properties[name] = {"type": ["string", "null"], "description": _TOOL_INPUT_AS_TEXT}
        elif name in required:
            properties[name] = schema
        else:
            properties[name] = {**schema, "type": [schema["type"], "null"]}
    return {
        **parameters,
        "properties": properties,
        "required": list(properties),
        "additionalProperties": False,
    }


@overload
def tool_definitions(
    api: Literal["chat"] = "chat", strict: bool = False
) -> list[ChatCompletionFunctionToolParam]: ...
@overload
def tool_definitions(
    api: Literal["responses"], strict: bool = False
) -> list[FunctionToolParam]: ...
def tool_definitions(
    api: Literal["chat", "responses"] = "chat", strict: bool = False
) -> list[ChatCompletionFunctionToolParam] | list[FunctionToolParam]:
    """The tools of ``openai_tools()`` for ``chat.completions.create`` or ``responses.create``.

    With ``strict=True`` every property is required, the optional ones accept null (read as
    absent) and ``tool_input`` is the text of a JSON object; ``run_tool_call`` reads both forms.
    Offering the tools enforces nothing: a denied tool is stopped by ``governed_call``.
    """
    if api not in ("chat", "responses"):
        raise ValueError(f"api must be 'chat' or 'responses', not {api!r}")
    if not isinstance(strict, bool):
        raise TypeError(f"strict must be a bool, not {type(strict).__name__}")
    chat: list[dict[str, Any]] = []
    responses: list[dict[str, Any]] = []
    for tool in openai_tools():
        function = tool["function"]
        if strict:
            function = {**function, "parameters": _strict(function["parameters"]), "strict": True}
        chat.append({**tool, "function": function})
        responses.append({"type": "function", **function, "strict": strict})
    if api == "chat":
        return cast("list[ChatCompletionFunctionToolParam]", chat)
    return cast("list[FunctionToolParam]", responses)


class _Call:
    """A tool call reduced to what both APIs have in common."""

    __slots__ = ("api", "arguments", "call_id", "name")

    def __init__(self, call: object) -> None:
        def field(obj: object, key: str) -> Any:
            return obj.get(key) if isinstance(obj, Mapping) else getattr(obj, key, None)

        kind = field(call, "type")
        if kind == "function_call":
            self.api = "responses"
            self.call_id, self.name = field(call, "call_id"), field(call, "name")
            self.arguments = field(call, "arguments")
        elif kind in ("function", "custom") or (isinstance(call, Mapping) and "function" in call):
            self.api = "chat"
            self.call_id = field(call, "id")
            body = field(call, "custom" if kind == "custom" else "function")
            self.name = field(body, "name")
            self.arguments = field(body, "input" if kind == "custom" else "arguments")
        else:
            raise TypeError(
                "expected a Chat Completions tool call or a Responses function_call item, "
                f"got {type(call).__name__}"
            )
        for key in ("call_id", "name", "arguments"):
            if not isinstance(getattr(self, key), str):
                raise TypeError(f"the tool call's {key} must be a str")

    def reply(self, content: str) -> dict[str, str]:
        if self.api == "chat":
            return {"role": "tool", "tool_call_id": self.call_id, "content": content}
        return {"type": "function_call_output", "call_id": self.call_id, "output": content}

    def error(self, message: str) -> dict[str, str]:
        return self.reply(json.dumps({"error": message}))


class _BadArguments(ValueError):
    pass


def _decode(text: str) -> dict[str, Any]:
    try:
        arguments = json.loads(text) if text.strip() else {}
    except ValueError as exc:
        raise _BadArguments(f"arguments are not valid JSON: {exc}") from None
    if not isinstance(arguments, dict):
        raise _BadArguments("arguments must be a JSON object")
    return arguments


def _velkor_arguments(arguments: dict[str, Any]) -> dict[str, Any]:
    # Strict definitions send null for an unset field and tool_input as JSON text.
    arguments = {key: value for key, value in arguments.items() if value is not None}
    tool_input = arguments.get("tool_input")
    if isinstance(tool_input, str):
        try:
            decoded = json.loads(tool_input) if tool_input.strip() else {}
        except ValueError:
            raise _BadArguments("tool_input is not the text of a JSON object") from None
        if not isinstance(decoded, dict):
            raise _BadArguments("tool_input must be a JSON object")
        arguments["tool_input"] = decoded
    return arguments


def _content(value: object) -> str:
    return value if isinstance(value, str) else json.dumps(value, default=str)


@overload
def run_tool_call(client: VelkorClient, call: ChatToolCall) -> ChatCompletionToolMessageParam: ...
@overload
def run_tool_call(client: VelkorClient, call: ResponsesToolCall) -> FunctionCallOutput: ...
@overload
def run_tool_call(
    client: VelkorClient, call: Mapping[str, Any]
) -> ChatCompletionToolMessageParam | FunctionCallOutput: ...
def run_tool_call(client: VelkorClient, call: object) -> Any:
    """Run the model's call to a Velkor tool and return the reply to append.

    Arguments the model got wrong (not JSON, an unknown tool, a value the client refuses with
    ``TypeError`` or ``ValueError``) come back as an ``{"error": ...}`` reply and store nothing;
    failures of the service or the connection raise.
    """
    parsed = _Call(call)
    try:
        arguments = _velkor_arguments(_decode(parsed.arguments))
        result = dispatch(client, parsed.name, arguments)
    except VelkorError:
        raise
    except (TypeError, ValueError) as exc:
        return parsed.error(f"{parsed.name}: {exc}")
    return parsed.reply(_content(result))


@overload
def governed_call(
    hooks: AgentHooks,
    call: ChatToolCall,
    functions: Mapping[str, Callable[..., object]],
    *,
    session_id: str = "",
) -> ChatCompletionToolMessageParam: ...
@overload
def governed_call(
    hooks: AgentHooks,
    call: ResponsesToolCall,
    functions: Mapping[str, Callable[..., object]],
    *,
    session_id: str = "",
) -> FunctionCallOutput: ...
@overload
def governed_call(
    hooks: AgentHooks,
    call: Mapping[str, Any],
    functions: Mapping[str, Callable[..., object]],
    *,
    session_id: str = "",
) -> ChatCompletionToolMessageParam | FunctionCallOutput: ...
def governed_call(
    hooks: AgentHooks,
    call: object,
    functions: Mapping[str, Callable[..., object]],
    *,
    session_id: str = "",
) -> Any:
    """Run one of the host's own tools under the gate and return the reply to append.

    The function is called with the decoded arguments as keywords, the tool call id serving
    as trace id, and reported as ``hooks.guard`` reports. A denied call never runs and its
    reply names the reason; a function that raises is reported FAILED and its reply carries
    the error; otherwise SUCCESS and the function's result (text as is, anything else as
    JSON). Failures of the service raise.

    A call awaiting a person's approval does not run either: its reply is ``{"error": ...,
    "approval_id": ...}`` saying so. The same call made again (tool, arguments, agent and
    session) names that approval: once approved it runs, once; while pending it gets the same
    answer; denied or expired it is blocked saying which, and the next one is asked afresh.
    """
    parsed = _Call(call)
    function = functions.get(parsed.name)
    if function is None:
        return parsed.error(f"unknown tool: {parsed.name}")
    try:
        arguments = _decode(parsed.arguments)
    except _BadArguments as exc:
        return parsed.error(f"{parsed.name}: {exc}")

    name, trace = parsed.name, parsed.call_id
    decision = _approvals.gate(
        hooks.client,
        name,
        arguments,
        agent_id=hooks.agent_id,
        session_id=session_id,
        trace_id=trace,
        first=lambda: hooks.before_tool(name, arguments, session_id=session_id, trace_id=trace),
    )
    if decision.outcome == _approvals.APPROVAL_REQUIRED:
        awaiting = {
            "error": _approvals.awaiting(name, decision),
            "approval_id": decision.approval_id,
        }
        return parsed.reply(json.dumps(awaiting))
    if not decision.allow:
        return parsed.error(f"{name} was blocked by governance: {decision.reason}")
    try:
        output = function(**arguments)
    except Exception as exc:
        hooks.after_tool(
            name, session_id=session_id, outcome_status="FAILED", result=exc, trace_id=trace
        )
        return parsed.error(f"{name} failed: {type(exc).__name__}: {exc}")
    hooks.after_tool(name, session_id=session_id, trace_id=trace)
    return parsed.reply(_content(output))
