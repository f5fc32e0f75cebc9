"""Small framework adapters with no framework imports."""

import json as json
import uuid as uuid
from collections.abc import Iterator as Iterator
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from contextlib import contextmanager as contextmanager
from dataclasses import dataclass as dataclass
from typing import Any as Any
from typing import Literal, Required, TypedDict

from .client import GateDecision as GateDecision
from .client import VelkorClient as VelkorClient

class LangChainMemory:
    memory_key: str
    client: VelkorClient
    session_id: str
    def __init__(self, client: VelkorClient, *, session_id: str = "langchain") -> None: ...
    @property
    def memory_variables(self) -> list[str]: ...
    def load_memory_variables(self, inputs: Mapping[str, Any]) -> dict[str, str]: ...
    def save_context(self, inputs: Mapping[str, Any], outputs: Mapping[str, Any]) -> None: ...
    def clear(self) -> None: ...

class LangGraphStore:
    client: VelkorClient
    def __init__(self, client: VelkorClient) -> None: ...
    def put(self, namespace: Sequence[str], key: str, value: Any) -> dict[str, Any]: ...
    def search(
        self, namespace: Sequence[str], *, query: str, limit: int = 10
    ) -> list[dict[str, Any]]: ...

@dataclass
class AgentHooks:
    client: VelkorClient
    agent_id: str
    def before_tool(
        self,
        tool_name: str,
        tool_input: Mapping[str, Any] | None = None,
        *,
        session_id: str = "",
        trace_id: str = "",
    ) -> GateDecision: ...
    def after_tool(
        self,
        tool_name: str,
        *,
        session_id: str = "",
        outcome_status: str = "SUCCESS",
        result: Any = None,
        trace_id: str = "",
    ) -> dict[str, Any]: ...
    @contextmanager
    def guard(
        self,
        tool_name: str,
        tool_input: Mapping[str, Any] | None = None,
        *,
        session_id: str = "",
        trace_id: str = "",
    ) -> Iterator[GateDecision]: ...

# Shaped like the OpenAI SDK's ChatCompletionFunctionToolParam, so the list can be passed
# as ``tools=`` without a cast.
class _FunctionDefinition(TypedDict, total=False):
    name: Required[str]
    description: str
    parameters: dict[str, object]
    strict: bool | None

class _FunctionTool(TypedDict):
    type: Literal["function"]
    function: _FunctionDefinition

def openai_tools() -> list[_FunctionTool]: ...
def dispatch(client: VelkorClient, name: str, arguments: Mapping[str, Any]) -> dict[str, Any]: ...
