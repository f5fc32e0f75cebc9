"""The tour: every adapter and the async facade on the embedded client."""

import async_facade
import langchain_agent
import langchain_memory
import langgraph_graph
import langgraph_store
import mcp_tour
import openai_agents
import openai_tools
import tool_calling


def main() -> None:
    for title, example in [
        ("LangChain-style memory", langchain_memory),
        ("LangGraph-style store", langgraph_store),
        ("LangGraph's own store: a graph on VelkorStore", langgraph_graph),
        ("Tool calling with governance", tool_calling),
        ("asyncio facade", async_facade),
        ("MCP server over stdio", mcp_tour),
        ("LangChain 1.x agent with governance and memory", langchain_agent),
        ("OpenAI SDK tool calls, governed", openai_tools),
        ("OpenAI Agents SDK run, governed", openai_agents),
    ]:
        print(f"\n=== {title} ===")
        example.main()


if __name__ == "__main__":
    main()
