"""Async facade for the dependency-free Velkor HTTP client."""

import asyncio as asyncio
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from functools import partial as partial
from typing import Any as Any

from .client import ContextResult as ContextResult
from .client import GateDecision as GateDecision
from .client import VelkorClient as VelkorClient

class AsyncVelkorClient:
    """Awaitable counterpart to :class:`VelkorClient`."""

    sync: VelkorClient
    def __init__(self, client: VelkorClient | None = None, **client_kwargs: Any) -> None: ...
    @classmethod
    def from_env(cls, **overrides: Any) -> AsyncVelkorClient: ...
    async def remember(
        self,
        text: str,
        *,
        role: str = "user",
        session_id: str = "sdk",
        user_id: str = "",
        timestamp: str = "",
    ) -> dict[str, Any]: ...
    async def context(self, query: str, *, max_tokens: int = 7000) -> ContextResult: ...
    async def remember_turns(
        self,
        turns: Sequence[Mapping[str, Any]],
        *,
        session_id: str = "sdk",
        user_id: str = "",
        timestamp: str = "",
    ) -> dict[str, Any]: ...
    async def gate(
        self,
        tool_name: str,
        *,
        agent_id: str = "",
        session_id: str = "",
        tool_input: Mapping[str, Any] | None = None,
        system_id: str = "",
        actor: str = "",
        action: str = "",
        purpose: str | None = None,
        capability: str | None = None,
        resource: str | None = None,
        approval_id: str | None = None,
        trace_id: str = "",
    ) -> GateDecision: ...
    async def observe(
        self,
        *,
        tool_name: str,
        agent_id: str = "",
        session_id: str = "",
        outcome_status: str = "SUCCESS",
        fields: Mapping[str, Any] | None = None,
        system_id: str = "",
        actor: str = "",
        purpose: str | None = None,
        capability: str | None = None,
        resource: str | None = None,
        trace_id: str = "",
    ) -> dict[str, Any]: ...
    async def doctor(self) -> dict[str, Any]: ...
