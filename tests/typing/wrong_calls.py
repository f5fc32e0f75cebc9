# Each line marked "error" must be reported by mypy --strict.
import asyncio

from velkor_agent_hooks.adapters import AgentHooks, LangChainMemory, LangGraphStore, dispatch
from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.parlow import AsyncVelkorClient

client = VelkorClient()
LangChainMemory(client, "session")  # error: session_id is keyword-only
LangChainMemory(client, session_id=1)  # error: not a str
LangGraphStore(client).search(("ns",), "query")  # error: query is keyword-only
LangGraphStore(client).put(("ns",), 1, "value")  # error: key must be a str
AgentHooks(client, "agent").after_tool("tool", "FAILED")  # error: outcome_status keyword-only
AgentHooks(client, "agent").before_tool("tool", ["not", "a", "mapping"])  # error
dispatch(client, None, {})  # error: name must be a str
facade = AsyncVelkorClient(client)
asyncio.run(facade.context("q", max_tokens="5"))  # error: max_tokens must be an int
asyncio.run(facade.observe("tool"))  # error: tool_name is keyword-only
text: str = asyncio.run(facade.remember("t"))  # error: the result is a dict
