"""LangChain 1.x middleware for ``create_agent``: governed tool calls and per-thread memory.

``VelkorGovernanceMiddleware`` runs every tool call the model makes through
``AgentHooks.before_tool`` (the service's ``gate``) with the tool call id as trace id. A denied
call never runs: the model receives ``ToolMessage(status="error")`` naming the reason and the
agent goes on. An allowed call runs, and ``AgentHooks.after_tool`` reports its outcome:
"SUCCESS" with a preview of the message text, or "FAILED" when the tool raised or LangChain
answered with an error message (unknown tool, arguments that fail validation). A tool that
raises becomes an error ``ToolMessage`` the model can read, so one broken tool does not end
the run; ``raise_tool_errors=True`` re-raises instead, leaving the exception to LangChain's
own ``ToolNode`` handling. Interrupts (``GraphBubbleUp``) pass through unreported.

A call the gate answers APPROVAL_REQUIRED pauses the run with LangGraph's ``interrupt()`` (so
the agent needs a checkpointer), one interrupt per call as LangChain's own human-in-the-loop
middleware raises in its "per_call" mode: a ``ToolApprovalRequest`` (``type``
"tool_approval", ``tool_call_id``, ``name``, ``args``, ``description``) with the approval's
``approval_id`` and ``reason`` added. Resume with ``Command(resume=decision)``, one of
LangChain's decisions ``{"type": "approve"}``, ``{"type": "reject", "message": ...}`` or
``{"type": "edit", "edited_action": {"name": <the same tool>, "args": {...}}}``; the
interrupt's ``response_schema`` refuses others before anything is saved. The decision is made
in the name of the run's ``configurable.reviewer``, else the middleware's ``reviewer``:

* approve: the approval is approved and the call gated again naming it, then runs;
* reject: the approval is denied (the message as its note) and the model reads that the
  call was rejected;
* edit: an approval is for one input, so the original is denied and the edited input gated
  afresh; where that too needs approval, the reviewer's edit is that approval. The model
  reads that a reviewer edited the call, before the result.

A decision made elsewhere meanwhile (``velkor approvals``) stands: the gate naming the
approval then says whether the call runs. On resume the paused call is entered again; the
approval it is waiting on is remembered (in this process), so it is not asked twice; resumed
in another process, the call asks afresh and the decision applies to that new approval.

``VelkorMemoryMiddleware`` recalls, before each model call, the context stored for the
latest user message and appends it to the system message; after the run it saves the turn
(the user's text and the final assistant text). Both use the conversation's
``configurable.thread_id`` as the session, and recall is filtered to that session, so two
threads never see each other's turns. Runs without a thread id share ``default_session_id``.

Failures of the service itself (connection errors, bad replies) propagate: they are the
host's to handle, not the model's. The ``a``-prefixed hooks make their client calls in a
worker thread (``asyncio.to_thread``), so the event loop is never blocked.
"""

from __future__ import annotations

import asyncio
import functools
import json
import uuid
from collections.abc import Awaitable, Callable, Mapping, Sequence
from typing import Annotated, Any, Literal, cast

try:
    from langchain.agents.middleware import (
        AgentMiddleware,
        AgentState,
        ModelRequest,
        ModelResponse,
        ToolCallRequest,
    )
    from langchain.agents.middleware.human_in_the_loop import ApproveDecision, RejectDecision
    from langchain_core.messages import (
        AIMessage,
        AnyMessage,
        BaseMessage,
        HumanMessage,
        SystemMessage,
        ToolMessage,
    )
    from langgraph.config import get_config
    from langgraph.errors import GraphBubbleUp
    from langgraph.runtime import Runtime
    from langgraph.types import Command, interrupt
    from pydantic import Discriminator, ValidatorFunctionWrapHandler, WrapValidator, create_model
except ImportError as exc:
    raise ImportError(
        "velkor_agent_hooks.langchain needs LangChain 1.1 or later: "
        "pip install 'velkor-agent-hooks[langchain]'"
    ) from exc

from . import _approvals
from .adapters import AgentHooks
from .client import GateDecision, VelkorClient

__all__ = ["MEMORY_HEADER", "VelkorGovernanceMiddleware", "VelkorMemoryMiddleware"]

MEMORY_HEADER = "Relevant memory from earlier turns of this conversation:"

ToolResult = ToolMessage | Command[Any]


def _thread_id(config: Mapping[str, Any] | None = None) -> str | None:
    """The run's ``configurable.thread_id`` as text, or None outside a run or without one."""
    if config is None:
        try:
            config = get_config()
        except RuntimeError:
            return None
    thread = (config.get("configurable") or {}).get("thread_id")
    if thread is None or thread == "":
        return None
    return str(thread)


def _text(message: BaseMessage) -> str:
    # `.text` joins the text blocks of list content; str() drops langchain's str subclass.
    return str(message.text)


def _as_sent(answer: object, check: ValidatorFunctionWrapHandler) -> object:
    check(answer)
    return answer  # as LangChain does: the tool validates edited args when it runs


@functools.lru_cache(maxsize=256)
def _decision_schema(tool_name: str) -> Any:
    """LangChain's approve / edit / reject decisions, an edit pinned to the same tool."""
    edited = create_model(
        "EditedAction",
        name=(cast(Any, Literal[tool_name]), ...),
        args=(dict[str, Any], ...),
    )
    edit = create_model(
        "EditDecision", type=(cast(Any, Literal["edit"]), ...), edited_action=(edited, ...)
    )
    members = (ApproveDecision, Annotated[edit, WrapValidator(_as_sent)], RejectDecision)
    return Annotated[cast(Any, members[0] | members[1] | members[2]), Discriminator("type")]


def _edit_notice(result: ToolResult, args: dict[str, Any]) -> ToolResult:
    if isinstance(result, ToolMessage) and isinstance(result.content, str):
        notice = (
            "A reviewer edited this call before it ran; it ran with the arguments "
            f"{json.dumps(args, default=str)}."
        )
        return result.model_copy(update={"content": f"{notice}\n\n{result.content}"})
    return result


class _ToolCall:
    """What the hooks need from one request, read once on the calling thread."""

    __slots__ = ("agent_id", "args", "id", "name", "request", "session_id", "trace_id")

    def __init__(self, request: ToolCallRequest, hooks: AgentHooks) -> None:
        self.request = request
        call = request.tool_call
        self.name: str = call["name"]
        self.id: str | None = call.get("id")
        # A copy, so the gate sees the arguments as they were even from a worker thread.
        self.args: dict[str, Any] = dict(call["args"])
        self.trace_id = self.id or f"sdk_{uuid.uuid4().hex}"
        config = getattr(request.runtime, "config", None)
        self.session_id = _thread_id(config) or ""
        self.agent_id = hooks.agent_id or hooks.client.agent_id

    def gate(self, hooks: AgentHooks) -> Any:
        return hooks.before_tool(
            self.name, self.args, session_id=self.session_id, trace_id=self.trace_id
        )

    def _key(self, args: dict[str, Any]) -> _approvals.Key:
        return _approvals.call_key(self.agent_id, self.session_id, self.name, args)

    def waiting(self, hooks: AgentHooks) -> tuple[str, str] | None:
        """The approval this call was paused for, when it is entered again on resume."""
        return _approvals.pending_for(hooks.client).get(self._key(self.args))

    def ask(self, hooks: AgentHooks) -> GateDecision | tuple[str, str]:
        """The gate's decision, or the approval to pause for."""
        known = self.waiting(hooks)
        if known is not None:
            return known
        decision = self.gate(hooks)
        if decision.outcome == _approvals.APPROVAL_REQUIRED and decision.approval_id:
            known = (decision.approval_id, decision.reason)
            _approvals.pending_for(hooks.client).put(self._key(self.args), *known)
            return known
        return cast(GateDecision, decision)

    def approval_request(self, approval_id: str, reason: str) -> dict[str, Any]:
        return {
            "type": "tool_approval",
            "tool_call_id": self.id or "",
            "name": self.name,
            "args": self.args,
            "description": f"Velkor approval {approval_id}: {reason}",
            "approval_id": approval_id,
            "reason": reason,
        }

    def _gate_approved(
        self, hooks: AgentHooks, approval_id: str, args: dict[str, Any]
    ) -> GateDecision:
        return hooks.client.gate(
            self.name,
            agent_id=self.agent_id,
            session_id=self.session_id,
            tool_input=args,
            trace_id=self.trace_id,
            approval_id=approval_id,
        )

    def settle(
        self, hooks: AgentHooks, approval_id: str, answer: Mapping[str, Any], by: str
    ) -> ToolMessage | tuple[ToolCallRequest, dict[str, Any] | None]:
        """Decides the approval as the reviewer answered: the message instead of the call,
        or the request to run (and the edited arguments, if edited)."""
        client = hooks.client
        _approvals.pending_for(client).forget(self._key(self.args), approval_id)
        if answer["type"] == "reject":
            message = str(answer.get("message") or "")
            _approvals.decide(client, approval_id, False, by, message)
            return self.denied(f"{by} rejected it" + (f": {message}" if message else ""))
        if answer["type"] == "edit":
            args = dict(answer["edited_action"]["args"])
            _approvals.decide(
                client, approval_id, False, by, f"edited to {json.dumps(args, default=str)}"
            )
            decision = hooks.before_tool(
                self.name, args, session_id=self.session_id, trace_id=self.trace_id
            )
            if decision.outcome == _approvals.APPROVAL_REQUIRED and decision.approval_id:
                _approvals.decide(client, decision.approval_id, True, by, "the reviewer's edit")
                decision = self._gate_approved(hooks, decision.approval_id, args)
            if not decision.allow:
                return self.denied(decision.reason)
            return self.request.override(tool_call={**self.request.tool_call, "args": args}), args
        _approvals.decide(client, approval_id, True, by)
        decision = self._gate_approved(hooks, approval_id, self.args)
        if not decision.allow:
            return self.denied(decision.reason)
        return self.request, None

    def report(self, hooks: AgentHooks, status: str, result: object) -> None:
        hooks.after_tool(
            self.name,
            session_id=self.session_id,
            outcome_status=status,
            result=result,
            trace_id=self.trace_id,
        )

    def message(self, content: str) -> ToolMessage:
        return ToolMessage(
            content=content, tool_call_id=self.id or "", name=self.name, status="error"
        )

    def denied(self, reason: str) -> ToolMessage:
        return self.message(f"Tool call '{self.name}' was blocked and did not run: {reason}")

    def failed(self, exc: Exception) -> ToolMessage:
        return self.message(f"Tool '{self.name}' failed: {type(exc).__name__}: {exc}")

    def outcome(self, result: object) -> tuple[str, str | None]:
        """The status and preview text for what the handler returned."""
        message = self._own_message(result)
        if message is None:
            return "SUCCESS", None
        return ("FAILED" if message.status == "error" else "SUCCESS"), _text(message)

    def _own_message(self, result: object) -> ToolMessage | None:
        if isinstance(result, ToolMessage):
            return result
        # A tool returning a Command carries its ToolMessage in the update.
        if isinstance(result, Command) and isinstance(result.update, Mapping):
            for item in result.update.get("messages") or ():
                if isinstance(item, ToolMessage) and item.tool_call_id == self.id:
                    return item
        if isinstance(result, list):
            for item in result:
                found = self._own_message(item)
                if found is not None:
                    return found
        return None


def _reviewer(default: str) -> str:
    try:
        named = (get_config().get("configurable") or {}).get("reviewer")
    except RuntimeError:
        named = None
    return str(named) if named else default


class VelkorGovernanceMiddleware(AgentMiddleware):
    """Gates every tool call of a ``create_agent`` agent through ``AgentHooks``.

    ``raise_tool_errors``: False (default) turns a tool's exception, once reported "FAILED",
    into an error ``ToolMessage`` for the model; True re-raises it after the report.
    ``reviewer``: who decides an approval when the run's ``configurable.reviewer`` names no
    one (recorded in the audit).
    """

    def __init__(
        self, hooks: AgentHooks, *, raise_tool_errors: bool = False, reviewer: str = "langchain"
    ) -> None:
        if not isinstance(hooks, AgentHooks):
            raise TypeError(f"hooks must be an AgentHooks, got {type(hooks).__name__}")
        if type(reviewer) is not str or not reviewer.strip():
            raise ValueError("reviewer must be a non-empty str")
        super().__init__()
        self.hooks = hooks
        self.raise_tool_errors = bool(raise_tool_errors)
        self.reviewer = reviewer

    def _pause(self, call: _ToolCall, known: tuple[str, str]) -> tuple[str, Mapping[str, Any], str]:
        answer = interrupt(
            call.approval_request(*known), response_schema=_decision_schema(call.name)
        )
        return known[0], answer, _reviewer(self.reviewer)

    def wrap_tool_call(
        self,
        request: ToolCallRequest,
        handler: Callable[[ToolCallRequest], ToolResult],
    ) -> ToolResult:
        call = _ToolCall(request, self.hooks)
        asked = call.ask(self.hooks)
        edited = None
        if isinstance(asked, tuple):
            settled = call.settle(self.hooks, *self._pause(call, asked))
            if isinstance(settled, ToolMessage):
                return settled
            request, edited = settled
        elif not asked.allow:
            return call.denied(asked.reason)
        try:
            result = handler(request)
        except GraphBubbleUp:
            raise
        except Exception as exc:
            call.report(self.hooks, "FAILED", exc)
            if self.raise_tool_errors:
                raise
            return call.failed(exc)
        call.report(self.hooks, *call.outcome(result))
        return result if edited is None else _edit_notice(result, edited)

    async def awrap_tool_call(
        self,
        request: ToolCallRequest,
        handler: Callable[[ToolCallRequest], Awaitable[ToolResult]],
    ) -> ToolResult:
        call = _ToolCall(request, self.hooks)
        asked = await asyncio.to_thread(call.ask, self.hooks)
        edited = None
        if isinstance(asked, tuple):
            settled = await asyncio.to_thread(call.settle, self.hooks, *self._pause(call, asked))
            if isinstance(settled, ToolMessage):
                return settled
            request, edited = settled
        elif not asked.allow:
            return call.denied(asked.reason)
        try:
            result = await handler(request)
        except GraphBubbleUp:
            raise
        except Exception as exc:
            await asyncio.to_thread(call.report, self.hooks, "FAILED", exc)
            if self.raise_tool_errors:
                raise
            return call.failed(exc)
        await asyncio.to_thread(call.report, self.hooks, *call.outcome(result))
        return result if edited is None else _edit_notice(result, edited)


def _latest_user_text(messages: Sequence[AnyMessage]) -> tuple[int, str]:
    for index in range(len(messages) - 1, -1, -1):
        if isinstance(messages[index], HumanMessage):
            return index, _text(messages[index])
    return -1, ""


def _finished_turn(messages: Sequence[AnyMessage]) -> list[dict[str, str]]:
    """The latest user text and the last assistant text after it, as turns to store."""
    index, question = _latest_user_text(messages)
    if not question.strip():
        return []
    turns = [{"role": "user", "content": question}]
    for message in reversed(messages[index + 1 :]):
        if isinstance(message, AIMessage) and _text(message).strip():
            turns.append({"role": "assistant", "content": _text(message)})
            break
    return turns


def _with_memory(request: ModelRequest, recalled: str) -> ModelRequest:
    block = f"{MEMORY_HEADER}\n{recalled}"
    system = request.system_message
    if system is None:
        return request.override(system_message=SystemMessage(content=block))
    content = system.content
    if isinstance(content, str):
        merged: str | list[str | dict[str, Any]] = f"{content}\n\n{block}" if content else block
    else:
        merged = [*content, {"type": "text", "text": block}]
    return request.override(system_message=SystemMessage(content=merged))


class VelkorMemoryMiddleware(AgentMiddleware):
    """Recalls per-thread context into each model call and saves each finished turn.

    The session is the run's ``configurable.thread_id`` (as text); without one,
    ``default_session_id``. ``max_tokens`` is the recall budget of each model call.
    """

    def __init__(
        self,
        client: VelkorClient,
        *,
        max_tokens: int = 2000,
        default_session_id: str = "langchain",
    ) -> None:
        if isinstance(max_tokens, bool) or not isinstance(max_tokens, int):
            raise TypeError(f"max_tokens must be an int, got {type(max_tokens).__name__}")
        if max_tokens < 0:
            raise ValueError(f"max_tokens must be >= 0, got {max_tokens}")
        if type(default_session_id) is not str or not default_session_id:
            raise ValueError("default_session_id must be a non-empty str")
        super().__init__()
        self.client = client
        self.max_tokens = max_tokens
        self.default_session_id = default_session_id

    def session_id(self) -> str:
        """The session of the current run (call it inside the run)."""
        return _thread_id() or self.default_session_id

    def _recall(self, query: str, session_id: str) -> str:
        return self.client.context(query, self.max_tokens, session_id=session_id).text

    def _save(self, turns: list[dict[str, str]], session_id: str) -> None:
        self.client.remember_turns(turns, session_id=session_id)

    def wrap_model_call(
        self,
        request: ModelRequest,
        handler: Callable[[ModelRequest], ModelResponse],
    ) -> ModelResponse:
        _, query = _latest_user_text(request.messages)
        if query.strip():
            recalled = self._recall(query, self.session_id())
            if recalled:
                request = _with_memory(request, recalled)
        return handler(request)

    async def awrap_model_call(
        self,
        request: ModelRequest,
        handler: Callable[[ModelRequest], Awaitable[ModelResponse]],
    ) -> ModelResponse:
        _, query = _latest_user_text(request.messages)
        if query.strip():
            recalled = await asyncio.to_thread(self._recall, query, self.session_id())
            if recalled:
                request = _with_memory(request, recalled)
        return await handler(request)

    def after_agent(
        self,
        state: AgentState,
        runtime: Runtime[Any],
    ) -> dict[str, Any] | None:
        turns = _finished_turn(state["messages"])
        if turns:
            self._save(turns, self.session_id())
        return None

    async def aafter_agent(
        self,
        state: AgentState,
        runtime: Runtime[Any],
    ) -> dict[str, Any] | None:
        turns = _finished_turn(state["messages"])
        if turns:
            await asyncio.to_thread(self._save, turns, self.session_id())
        return None
