"""The tour: every adapter and the async facade on the embedded client.

CrewAI and Hermes Agent pin versions the main venv cannot hold, so their examples run in
their own venvs (.venv-crewai, .venv-hermes, which `make demo` makes), each as a child
process; a step whose venv is absent says so and the tour goes on.
"""

import subprocess
import sys
from pathlib import Path

import async_facade
import langchain_agent
import langchain_memory
import langgraph_graph
import langgraph_store
import mcp_tour
import openai_agents
import openai_tools
import policies
import recall_and_forget
import tool_calling

ROOT = Path(__file__).resolve().parent.parent
HOSTED = [
    ("CrewAI crew, governed, with memory kept by the service", "crewai", "crewai_crew.py"),
    ("Hermes Agent with the Velkor plugin", "hermes", "hermes_agent.py"),
]


def run_in_host_venv(host: str, script: str) -> None:
    python = ROOT / f".venv-{host}" / "bin" / "python"
    if not python.exists():
        print(f"skipped: {python.parent.parent.name} is absent (`make demo` makes it)")
        return
    sys.stdout.flush()
    subprocess.run([str(python), str(ROOT / "examples" / script)], check=True)


def main() -> None:
    for title, example in [
        ("Memory: recall what was meant, forget when told", recall_and_forget),
        ("LangChain-style memory", langchain_memory),
        ("LangGraph-style store", langgraph_store),
        ("LangGraph's own store: a graph on VelkorStore", langgraph_graph),
        ("Tool calling with governance", tool_calling),
        ("asyncio facade", async_facade),
        ("MCP server over stdio", mcp_tour),
        ("LangChain 1.x agent with governance and memory", langchain_agent),
        ("OpenAI SDK tool calls, governed", openai_tools),
        ("OpenAI Agents SDK run, governed", openai_agents),
        ("Cedar policies: decisions, a shadow rule, an approval, the audit chain", policies),
    ]:
        print(f"\n=== {title} ===")
        example.main()
    for title, host, script in HOSTED:
        print(f"\n=== {title} ===")
        run_in_host_venv(host, script)


if __name__ == "__main__":
    main()
