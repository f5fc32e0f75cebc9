"""Governance for the OpenAI Agents SDK: a tool-input guardrail and run hooks.

``velkor_tool_guardrail`` gates each function-tool call before it runs; a denied call does
not run and the model gets the reason as the tool's output, so the run goes on.
``VelkorRunHooks`` reports how each tool call ended. Both use the tool call id as trace id,
and both do their client calls in a worker thread, off the event loop.

The SDK hands ``on_tool_end`` the text it sends the model for a failed tool, not the
exception. So ``on_tool_start`` gives the call's own context a copy of the run config whose
``tool_error_formatter`` notes the failure and then defers to the run's formatter, if any:
``Runner.run(..., hooks=VelkorRunHooks(...))`` alone tells a raising tool (FAILED) from one
that returned (SUCCESS), and the model reads the same message as without the hooks. The SDK
calls that formatter only for tools with its default failure handling. A tool with a
``failure_error_function`` of its own is reported "UNKNOWN", since its message cannot be told
from a result, unless that function is the hooks' ``failure_error_function`` (which notes the
failure and returns the SDK's default message). A tool that timed out with the SDK's default
timeout message is FAILED; other tool kinds (hosted, shell, computer) are "UNKNOWN".
"""

from __future__ import annotations

import asyncio
import copy
import json
from typing import Any

try:
    from agents import FunctionTool, RunConfig, RunContextWrapper, RunHooks, Tool
    from agents.run_config import ToolErrorFormatter, ToolErrorFormatterArgs
    from agents.tool import (
        default_tool_error_function,
        default_tool_timeout_error_message,
        resolve_function_tool_failure_error_function,
    )
    from agents.tool_context import ToolContext
    from agents.tool_guardrails import (
        ToolGuardrailFunctionOutput,
        ToolInputGuardrail,
        ToolInputGuardrailData,
        tool_input_guardrail,
    )
except ImportError as exc:
    raise ImportError(
        "velkor_agent_hooks.openai_agents needs the OpenAI Agents SDK: "
        "pip install 'velkor-agent-hooks[openai-agents]'"
    ) from exc

from .adapters import AgentHooks
from .client import GovernanceDenied, VelkorClient

__all__ = ["VelkorRunHooks", "velkor_tool_guardrail"]


def _tool_input(arguments: str) -> dict[str, Any]:
    try:
        decoded = json.loads(arguments) if arguments.strip() else {}
    except ValueError:
        decoded = None
    # Arguments the SDK will refuse anyway are still gated, kept as text for the audit.
    return decoded if isinstance(decoded, dict) else {"arguments": arguments}


def _refusal(tool_name: str, decision: Any) -> str:
    approval_id = getattr(decision, "approval_id", None)
    if approval_id:
        return f"Tool {tool_name!r} awaits approval (approval id {approval_id}) and did not run."
    return f"Tool {tool_name!r} was blocked by governance: {decision.reason}"


def velkor_tool_guardrail(
    client: VelkorClient, agent_id: str, *, session_id: str = ""
) -> ToolInputGuardrail[Any]:
    """A tool-input guardrail that asks the service's gate before each call of the tool.

    Attach it with ``function_tool(tool_input_guardrails=[...])``. An allowed call runs; a
    denied one is rejected with a message naming the reason, which the model reads as the
    tool's output. Failures of the service raise and stop the run.
    """
    hooks = AgentHooks(client, agent_id)

    @tool_input_guardrail(name="velkor_gate")
    async def velkor_gate(data: ToolInputGuardrailData) -> ToolGuardrailFunctionOutput:
        ctx = data.context
        decision = await asyncio.to_thread(
            hooks.before_tool,
            ctx.tool_name,
            _tool_input(ctx.tool_arguments),
            session_id=session_id,
            trace_id=ctx.tool_call_id,
        )
        try:
            decision.require()
        except GovernanceDenied:
            return ToolGuardrailFunctionOutput.reject_content(
                _refusal(ctx.tool_name, decision), output_info=decision
            )
        return ToolGuardrailFunctionOutput.allow(output_info=decision)

    return velkor_gate


class VelkorRunHooks(RunHooks[Any]):
    """Run hooks that report each tool call's outcome to the service.

    Pass as ``Runner.run(..., hooks=...)``: SUCCESS, FAILED, or UNKNOWN where the SDK gives
    no way to tell (see the module docstring).
    """

    def __init__(self, client: VelkorClient, agent_id: str, *, session_id: str = "") -> None:
        self.hooks = AgentHooks(client, agent_id)
        self.session_id = session_id
        self._failures: dict[str, Exception] = {}

    def _note_failure(self, call_id: str, error: Exception | None) -> None:
        if call_id:
            self._failures[call_id] = error if error is not None else Exception("tool failed")

    def tool_error_formatter(self, args: ToolErrorFormatterArgs[Any]) -> str | None:
        """Notes a function tool's failure and keeps the SDK's message. The hooks install it
        on each call themselves; passing it as ``RunConfig(tool_error_formatter=...)`` too
        is harmless."""
        if args.kind == "tool_exception" and args.tool_type == "function":
            self._note_failure(args.call_id, args.error)
        return None

    def failure_error_function(self, ctx: RunContextWrapper[Any], error: Exception) -> str:
        """For ``function_tool(failure_error_function=...)``: notes the failure and returns
        the SDK's default message for the model."""
        if isinstance(ctx, ToolContext):
            self._note_failure(ctx.tool_call_id, error)
        return default_tool_error_function(ctx, error)

    def _chained_formatter(self, own: ToolErrorFormatter | None) -> ToolErrorFormatter:
        def formatter(args: ToolErrorFormatterArgs[Any]) -> Any:
            self.tool_error_formatter(args)
            return own(args) if own is not None else None

        return formatter

    async def on_tool_start(self, context: RunContextWrapper[Any], agent: Any, tool: Tool) -> None:
        if not isinstance(context, ToolContext) or not isinstance(tool, FunctionTool):
            return
        config = context.run_config
        own = config.tool_error_formatter if config is not None else None
        if own == self.tool_error_formatter:
            return
        # A copy for this call only: the run's own config and other calls stay as they were.
        watched = copy.copy(config) if config is not None else RunConfig()
        watched.tool_error_formatter = self._chained_formatter(own)
        context.run_config = watched

    def _status(self, context: RunContextWrapper[Any], tool: Tool, result: object) -> str:
        """The outcome of a call whose failure was not noted."""
        if not isinstance(context, ToolContext) or not isinstance(tool, FunctionTool):
            return "UNKNOWN"
        if tool.timeout_seconds is not None and tool.timeout_behavior == "error_as_result":
            if tool.timeout_error_function is not None:
                return "UNKNOWN"
            timeout = default_tool_timeout_error_message(
                tool_name=tool.name, timeout_seconds=tool.timeout_seconds
            )
            if result == timeout:
                return "FAILED"
        handler = resolve_function_tool_failure_error_function(tool, context)
        if handler is default_tool_error_function:
            # A cancelled tool gets the default message without a formatter call.
            cancelled = result == default_tool_error_function(context, Exception())
            return "FAILED" if cancelled else "SUCCESS"
        # With no handler a raising tool ends the run and never reaches on_tool_end.
        if handler is None or handler == self.failure_error_function:
            return "SUCCESS"
        return "UNKNOWN"

    async def on_tool_end(
        self, context: RunContextWrapper[Any], agent: Any, tool: Tool, result: object
    ) -> None:
        call_id = context.tool_call_id if isinstance(context, ToolContext) else ""
        failure = self._failures.pop(call_id, None) if call_id else None
        status = "FAILED" if failure is not None else self._status(context, tool, result)
        await asyncio.to_thread(
            self.hooks.after_tool,
            tool.name,
            session_id=self.session_id,
            outcome_status=status,
            result=result if failure is None else failure,
            trace_id=call_id,
        )
