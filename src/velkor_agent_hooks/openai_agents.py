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

Approvals use the SDK's own: ``VelkorToolApprovals.govern(tool)`` gives a function tool a
``needs_approval`` that asks the gate, so a call the gate answers APPROVAL_REQUIRED pauses
the run with a ``ToolApprovalItem`` in ``result.interruptions``, and the gate as a guardrail
that reuses that decision. ``approve(state, item, by=...)`` / ``reject(...)`` decide the
approval in the service and in the run state; after ``Runner.run(agent, state)`` the gate,
naming the approval, runs the call once. A plain ``state.approve(item)`` counts as the
approval of the tools' ``reviewer`` (so does ``always_approve`` for later calls of the tool);
a plain ``state.reject(item)`` leaves the service's approval pending until it expires. The
approval is found again by the tool call id, so a run state resumed in another process works
too. The guardrail alone (``velkor_tool_guardrail``) answers that the call awaits approval,
with its id, and runs the same call made again once a person approved it.
"""

from __future__ import annotations

import asyncio
import copy
import inspect
import json
from typing import Any

try:
    from agents import (
        FunctionTool,
        RunConfig,
        RunContextWrapper,
        RunHooks,
        RunState,
        Tool,
        ToolApprovalItem,
    )
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

from . import _approvals
from .adapters import AgentHooks
from .client import GateDecision, VelkorClient

__all__ = ["VelkorRunHooks", "VelkorToolApprovals", "velkor_tool_guardrail"]


def _tool_input(arguments: str) -> dict[str, Any]:
    try:
        decoded = json.loads(arguments) if arguments.strip() else {}
    except ValueError:
        decoded = None
    # Arguments the SDK will refuse anyway are still gated, kept as text for the audit.
    return decoded if isinstance(decoded, dict) else {"arguments": arguments}


def _verdict(tool_name: str, decision: GateDecision) -> ToolGuardrailFunctionOutput:
    if decision.allow:
        return ToolGuardrailFunctionOutput.allow(output_info=decision)
    if decision.outcome == _approvals.APPROVAL_REQUIRED:
        message = _approvals.awaiting(tool_name, decision)
    else:
        message = f"Tool {tool_name!r} was blocked by governance: {decision.reason}"
    return ToolGuardrailFunctionOutput.reject_content(message, output_info=decision)


class VelkorToolApprovals:
    """The gate as a tool-input guardrail, and APPROVAL_REQUIRED as the SDK's tool approvals.

    ``reviewer``: in whose name a plain ``state.approve(item)`` approves (in the audit).
    """

    def __init__(
        self,
        client: VelkorClient,
        agent_id: str,
        *,
        session_id: str = "",
        reviewer: str = "openai-agents",
    ) -> None:
        if type(reviewer) is not str or not reviewer.strip():
            raise ValueError("reviewer must be a non-empty str")
        self.client = client
        self.hooks = AgentHooks(client, agent_id)
        self.agent_id = agent_id or client.agent_id
        self.session_id = session_id
        self.reviewer = reviewer
        # Decisions made by needs_approval, by tool call id, for the guardrail that follows.
        self._decided: dict[str, GateDecision] = {}
        self.guardrail: ToolInputGuardrail[Any] = tool_input_guardrail(name="velkor_gate")(
            self._check
        )

    def govern(self, tool: FunctionTool) -> FunctionTool:
        """Gives ``tool`` the gate: as its ``needs_approval`` (kept too, if it had one) and
        as an input guardrail. Returns the tool."""
        own = tool.needs_approval
        name = tool.name

        async def needs_approval(
            context: RunContextWrapper[Any], params: dict[str, Any], call_id: str
        ) -> bool:
            decision = await asyncio.to_thread(self._first, name, params, call_id)
            self._decided[call_id] = decision
            if decision.outcome == _approvals.APPROVAL_REQUIRED:
                return True
            if not decision.allow:
                return False  # the guardrail blocks it, with the reason
            if isinstance(own, bool):
                return own
            asked = own(context, params, call_id)
            return bool(await asked) if inspect.isawaitable(asked) else bool(asked)

        tool.needs_approval = needs_approval
        tool.tool_input_guardrails = [*(tool.tool_input_guardrails or ()), self.guardrail]
        return tool

    def _first(self, name: str, tool_input: dict[str, Any], call_id: str) -> GateDecision:
        return self.hooks.before_tool(
            name, tool_input, session_id=self.session_id, trace_id=call_id
        )

    def _gate(
        self, name: str, tool_input: dict[str, Any], call_id: str, approval_id: str
    ) -> GateDecision:
        return self.client.gate(
            name,
            agent_id=self.agent_id,
            session_id=self.session_id,
            tool_input=tool_input,
            trace_id=call_id,
            approval_id=approval_id,
        )

    def _approval_id(self, name: str, call_id: str) -> str | None:
        decided = self._decided.get(call_id)
        if decided is not None and decided.approval_id:
            return decided.approval_id
        asked = [
            a
            for a in self.client.approvals()
            if (a["trace_id"], a["tool_name"], a["agent_id"]) == (call_id, name, self.agent_id)
        ]
        return max(asked, key=lambda a: a["created_at"])["id"] if asked else None

    def _approved(self, name: str, call_id: str, tool_input: dict[str, Any]) -> GateDecision:
        """The gate for a call the run state approved: the approval decided as approved
        unless a person decided it already, then named."""
        decided = self._decided.get(call_id)
        if decided is not None and decided.approval_id is None:
            return decided  # the tool's own needs_approval asked; the gate's answer stands
        approval_id = self._approval_id(name, call_id)
        if approval_id is None:
            decision = self._first(name, tool_input, call_id)
            if decision.outcome != _approvals.APPROVAL_REQUIRED or not decision.approval_id:
                return decision
            approval_id = decision.approval_id
        _approvals.decide(self.client, approval_id, True, self.reviewer)
        return self._gate(name, tool_input, call_id, approval_id)

    def _retry(self, name: str, tool_input: dict[str, Any], call_id: str) -> GateDecision:
        return _approvals.gate(
            self.client,
            name,
            tool_input,
            agent_id=self.agent_id,
            session_id=self.session_id,
            trace_id=call_id,
            first=lambda: self._first(name, tool_input, call_id),
        )

    async def _check(self, data: ToolInputGuardrailData) -> ToolGuardrailFunctionOutput:
        ctx = data.context
        name, call_id = ctx.tool_name, ctx.tool_call_id
        tool_input = _tool_input(ctx.tool_arguments)
        if ctx.is_tool_approved(name, call_id):
            decision = await asyncio.to_thread(self._approved, name, call_id, tool_input)
            self._decided.pop(call_id, None)
            return _verdict(name, decision)
        decided = self._decided.get(call_id)
        if decided is None:
            return _verdict(name, await asyncio.to_thread(self._retry, name, tool_input, call_id))
        if decided.outcome == _approvals.APPROVAL_REQUIRED:
            # Run before the pause (RunConfig pre_approval_tool_input_guardrails): let the
            # SDK ask for the approval.
            return ToolGuardrailFunctionOutput.allow(output_info=decided)
        del self._decided[call_id]
        return _verdict(name, decided)

    def approval(self, item: ToolApprovalItem) -> dict[str, Any] | None:
        """The service's approval an interruption waits on (id, reason, input, status...)."""
        if item.call_id is None or item.tool_name is None:
            return None
        approval_id = self._approval_id(item.tool_name, item.call_id)
        return None if approval_id is None else _approvals.approval(self.client, approval_id)

    def approve(
        self, state: RunState[Any], item: ToolApprovalItem, *, by: str | None = None, note: str = ""
    ) -> None:
        """Approves the interrupted call in the service, in ``by``'s name, and in ``state``."""
        row = self.approval(item)
        if row is not None:
            _approvals.decide(self.client, row["id"], True, by or self.reviewer, note)
        state.approve(item)

    def reject(
        self, state: RunState[Any], item: ToolApprovalItem, *, by: str | None = None, note: str = ""
    ) -> None:
        """Denies the interrupted call in the service and in ``state``; the model reads who
        rejected it and the note."""
        who = by or self.reviewer
        row = self.approval(item)
        if row is not None:
            _approvals.decide(self.client, row["id"], False, who, note)
        if item.call_id is not None:
            self._decided.pop(item.call_id, None)
        message = f"Tool {item.tool_name!r} was rejected by {who}" + (f": {note}" if note else "")
        state.reject(item, rejection_message=message)


def velkor_tool_guardrail(
    client: VelkorClient, agent_id: str, *, session_id: str = ""
) -> ToolInputGuardrail[Any]:
    """A tool-input guardrail that asks the service's gate before each call of the tool.

    Attach it with ``function_tool(tool_input_guardrails=[...])``. An allowed call runs; a
    denied one is rejected with a message naming the reason, which the model reads as the
    tool's output; one awaiting approval says so, with the approval id, and the same call made
    again runs once a person approved it. Failures of the service raise and stop the run.
    """
    return VelkorToolApprovals(client, agent_id, session_id=session_id).guardrail


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
