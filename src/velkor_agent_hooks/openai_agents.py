"""Governance for the OpenAI Agents SDK: a tool-input guardrail and run hooks.

``velkor_tool_guardrail`` gates each function-tool call before it runs; a denied call does
not run and the model gets the reason as the tool's output, so the run goes on.
``VelkorRunHooks`` reports how each tool call ended. Both use the tool call id as trace id,
and both do their client calls in a worker thread, off the event loop.

The SDK hands ``on_tool_end`` the text it sends the model for a failed tool, not the
exception, so failures are noted where the SDK formats them: pass the hooks'
``tool_error_formatter`` as ``RunConfig(tool_error_formatter=...)`` (tools with the SDK's
default failure handling) or ``failure_error_function`` to ``function_tool(...)`` (per tool).
A failure noted neither way is reported as SUCCESS.
"""

from __future__ import annotations

import asyncio
import json
from typing import Any

try:
    from agents import RunContextWrapper, RunHooks, Tool
    from agents.run_config import ToolErrorFormatterArgs
    from agents.tool import default_tool_error_function
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
                f"Tool {ctx.tool_name!r} was blocked by governance: {decision.reason}",
                output_info=decision,
            )
        return ToolGuardrailFunctionOutput.allow(output_info=decision)

    return velkor_gate


class VelkorRunHooks(RunHooks[Any]):
    """Run hooks that report each tool call's outcome (SUCCESS or FAILED) to the service.

    Pass as ``Runner.run(..., hooks=...)``, together with ``tool_error_formatter`` or
    ``failure_error_function`` so failed tools are told apart (see the module docstring).
    """

    def __init__(self, client: VelkorClient, agent_id: str, *, session_id: str = "") -> None:
        self.hooks = AgentHooks(client, agent_id)
        self.session_id = session_id
        self._failures: dict[str, Exception] = {}

    def _note_failure(self, call_id: str, error: Exception | None) -> None:
        if call_id:
            self._failures[call_id] = error if error is not None else Exception("tool failed")

    def tool_error_formatter(self, args: ToolErrorFormatterArgs[Any]) -> str | None:
        """For ``RunConfig(tool_error_formatter=...)``: notes the failure, keeps the message."""
        if args.kind == "tool_exception" and args.tool_type == "function":
            self._note_failure(args.call_id, args.error)
        return None

    def failure_error_function(self, ctx: RunContextWrapper[Any], error: Exception) -> str:
        """For ``function_tool(failure_error_function=...)``: notes the failure and returns
        the SDK's default message for the model."""
        if isinstance(ctx, ToolContext):
            self._note_failure(ctx.tool_call_id, error)
        return default_tool_error_function(ctx, error)

    async def on_tool_end(
        self, context: RunContextWrapper[Any], agent: Any, tool: Tool, result: object
    ) -> None:
        call_id = context.tool_call_id if isinstance(context, ToolContext) else ""
        failure = self._failures.pop(call_id, None) if call_id else None
        await asyncio.to_thread(
            self.hooks.after_tool,
            tool.name,
            session_id=self.session_id,
            outcome_status="SUCCESS" if failure is None else "FAILED",
            result=result if failure is None else failure,
            trace_id=call_id,
        )
