"""The twin: the same adapters written in plain Python with the same steps, the same
argument and result checks and the same client calls. One of the two baselines the native
modules are measured against (the other is lean.py); not shipped."""

import json
import uuid
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

# Nothing to check differs in these two: the twin shares the lean side's.
from lean import _dict_or_none
from lean import openai_tools as openai_tools


def _require_str(name: str, value: object) -> None:
    if type(value) is not str:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )


def _text(mapping: Any, first: str, fallback: str) -> str:
    value = mapping.get(first) or mapping.get(fallback) or ""
    return value if type(value) is str else str(value)


class LangChainMemory:
    memory_key = "history"

    def __init__(self, client: Any, *, session_id: str = "langchain") -> None:
        _require_str("session_id", session_id)
        self.client = client
        self.session_id = session_id

    @property
    def memory_variables(self) -> list[str]:
        return [self.memory_key]

    def load_memory_variables(self, inputs: Mapping[str, Any]) -> dict[str, str]:
        query = _text(inputs, "input", "query")
        return {self.memory_key: self.client.context(query).text}

    def save_context(self, inputs: Mapping[str, Any], outputs: Mapping[str, Any]) -> None:
        user = _text(inputs, "input", "query")
        assistant = _text(outputs, "output", "answer")
        if user:
            self.client.remember(user, role="user", session_id=self.session_id)
        if assistant:
            self.client.remember(assistant, role="assistant", session_id=self.session_id)

    def clear(self) -> None:
        return None


class LangGraphStore:
    def __init__(self, client: Any) -> None:
        self.client = client

    def put(self, namespace: Any, key: str, value: Any) -> Any:
        _require_str("key", key)
        session_id = "/".join([*namespace, key])
        if isinstance(value, str):
            text = value
        else:
            text = json.dumps(value, sort_keys=True, ensure_ascii=False, default=str)
        return _dict_or_none(self.client.remember(text, session_id=session_id))

    def search(self, namespace: Any, *, query: str, limit: int = 10) -> list[dict[str, Any]]:
        if type(limit) is not int:
            limit = int(limit)
        _require_str("query", query)
        client = self.client
        budget = min(limit * 700, 12000)
        budget = max(budget, 400)
        result = client.context(query, max_tokens=budget)
        if not result.text:
            return []
        return [
            {
                "namespace": tuple(namespace),
                "value": result.text,
                "score": 1.0,
                "hash": result.block_hash,
            }
        ]


@dataclass
class AgentHooks:
    client: Any
    agent_id: str

    def before_tool(
        self,
        tool_name: str,
        tool_input: Mapping[str, Any] | None = None,
        *,
        session_id: str = "",
        trace_id: str = "",
    ) -> Any:
        _require_str("tool_name", tool_name)
        _require_str("session_id", session_id)
        _require_str("trace_id", trace_id)
        return self.client.gate(
            tool_name,
            agent_id=self.agent_id,
            session_id=session_id,
            tool_input=tool_input,
            trace_id=trace_id,
        )

    def after_tool(
        self,
        tool_name: str,
        *,
        session_id: str = "",
        outcome_status: str = "SUCCESS",
        result: Any = None,
        trace_id: str = "",
    ) -> Any:
        _require_str("tool_name", tool_name)
        _require_str("session_id", session_id)
        _require_str("outcome_status", outcome_status)
        _require_str("trace_id", trace_id)
        fields = {} if result is None else {"result_preview": str(result)[:1000]}
        return _dict_or_none(
            self.client.observe(
                agent_id=self.agent_id,
                tool_name=tool_name,
                session_id=session_id,
                outcome_status=outcome_status,
                fields=fields,
                trace_id=trace_id,
            )
        )

    def _guard(
        self,
        tool_name: str,
        tool_input: Mapping[str, Any] | None = None,
        *,
        session_id: str = "",
        trace_id: str = "",
    ) -> Iterator[Any]:
        correlation_id = trace_id or f"sdk_{uuid.uuid4().hex}"
        decision = self.before_tool(
            tool_name, tool_input, session_id=session_id, trace_id=correlation_id
        )
        decision.require()
        try:
            yield decision
        except Exception as exc:
            self.after_tool(
                tool_name,
                session_id=session_id,
                outcome_status="FAILED",
                result=exc,
                trace_id=correlation_id,
            )
            raise
        self.after_tool(tool_name, session_id=session_id, trace_id=correlation_id)

    def guard(
        self,
        tool_name: str,
        tool_input: Mapping[str, Any] | None = None,
        *,
        session_id: str = "",
        trace_id: str = "",
    ) -> Any:
        # Types are tested at the call, before the generator exists.
        _require_str("tool_name", tool_name)
        _require_str("session_id", session_id)
        _require_str("trace_id", trace_id)
        return _guard_cm(self, tool_name, tool_input, session_id=session_id, trace_id=trace_id)


_guard_cm = contextmanager(AgentHooks._guard)


def _str_of(value: Any) -> str:
    return value if type(value) is str else str(value)


def dispatch(client: Any, name: str, arguments: Mapping[str, Any]) -> Any:
    _require_str("name", name)
    if name == "velkor_context":
        query = _str_of(arguments.get("query") or "")
        max_tokens = arguments.get("max_tokens") or 7000
        if type(max_tokens) is not int:
            max_tokens = int(max_tokens)
        result = client.context(query, max_tokens=max_tokens)
        return {
            "context": result.text,
            "hash": result.block_hash,
            "token_count": result.token_count,
            "status": result.status,
        }
    if name == "velkor_remember":
        text = _str_of(arguments.get("text") or "")
        role = _str_of(arguments.get("role") or "user")
        session_id = _str_of(arguments.get("session_id") or "sdk")
        return _dict_or_none(client.remember(text, role=role, session_id=session_id))
    if name == "velkor_gate":
        tool_name = _str_of(arguments.get("tool_name") or "process")
        agent_id = _str_of(arguments.get("agent_id") or "")
        tool_input = arguments.get("tool_input")
        if not isinstance(tool_input, Mapping):
            tool_input = {}
        decision = client.gate(tool_name, agent_id=agent_id, tool_input=tool_input)
        return {
            "allow": decision.allow,
            "governed": decision.governed,
            "reason": decision.reason,
            "degraded": decision.degraded,
            "outcome": decision.outcome,
        }
    raise ValueError(f"unknown Velkor tool: {name}")
