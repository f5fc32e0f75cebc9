"""Hermes Agent with the Velkor plugin: governed tool calls and memory across sessions.

The plugin is installed the way a user installs it (install_plugin, then the two settings
`hermes plugins enable velkor` and `hermes config set memory.provider velkor` write), into a
throwaway Hermes home. The model is a scripted Chat Completions server on loopback, so
nothing leaves the machine. The agent calls an allowed, a denied and a failing tool; then a
later session of the same user is handed what the first one said, another user's is not.

Run it in a venv with Hermes: `.venv-hermes/bin/python examples/hermes_agent.py`.
"""

import json
import os
import shutil
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOME = tempfile.mkdtemp(prefix="hermes-demo-")
os.environ["HERMES_HOME"] = HOME  # before Hermes is imported

from velkor_agent_hooks import hermes  # noqa: E402

# Hermes reads its plugin settings once, when it first loads plugins.
hermes.install_plugin()
with open(os.path.join(HOME, "config.yaml"), "w") as f:
    f.write("plugins:\n  enabled: [velkor]\nmemory:\n  provider: velkor\n")

from run_agent import AIAgent  # noqa: E402
from tools.registry import registry  # noqa: E402

from velkor_agent_hooks.client import VelkorClient  # noqa: E402


class ScriptedModel(ThreadingHTTPServer):
    """Streams the next scripted turn for each chat completion: tool calls or text."""

    def __init__(self) -> None:
        self.turns: list = []
        self.requests: list = []
        super().__init__(("127.0.0.1", 0), _Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server_address[1]}/v1"

    def chunks(self) -> bytes:
        turn = self.turns.pop(0)
        if isinstance(turn, str):
            delta, finish = {"role": "assistant", "content": turn}, "stop"
        else:
            calls = [
                {
                    "index": i,
                    "id": cid,
                    "type": "function",
                    "function": {"name": n, "arguments": json.dumps(a)},
                }
                for i, (n, a, cid) in enumerate(turn)
            ]
            delta, finish = {"role": "assistant", "tool_calls": calls}, "tool_calls"
        head = {"id": "x", "object": "chat.completion.chunk", "created": 0, "model": "scripted"}
        events = [
            {**head, "choices": [{"index": 0, "delta": delta, "finish_reason": None}]},
            {**head, "choices": [{"index": 0, "delta": {}, "finish_reason": finish}]},
        ]
        return (
            b"".join(b"data: %s\n\n" % json.dumps(e).encode() for e in events) + b"data: [DONE]\n\n"
        )


class _Handler(BaseHTTPRequestHandler):
    server: ScriptedModel

    def log_message(self, *args: object) -> None:
        pass

    def do_POST(self) -> None:
        body = json.loads(self.rfile.read(int(self.headers.get("content-length", 0))))
        found = self.path.endswith("/chat/completions")
        if found:
            self.server.requests.append(body)
        payload = self.server.chunks() if found else b""
        self.send_response(200 if found else 404)
        self.send_header("content-type", "text/event-stream")
        self.send_header("content-length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)


def tool(name: str, arg: str, handler) -> None:
    schema = {
        "name": name,
        "description": name,
        "parameters": {"type": "object", "properties": {arg: {"type": "string"}}},
    }
    registry.register(name=name, toolset="demo", schema=schema, handler=handler)


def book_hotel(args, **kwargs):
    raise RuntimeError(f"no rooms left in {args['city']}")


tool("search_web", "q", lambda args, **kw: json.dumps({"results": f"3 results for {args['q']!r}"}))
tool("shell", "cmd", lambda args, **kw: json.dumps({"output": "a denied tool must never run"}))
tool("book_hotel", "city", book_hotel)


def main(client: VelkorClient | None = None) -> None:
    client = client or VelkorClient(deny_tools=["shell"])
    hermes.set_client(client)
    model = ScriptedModel()

    def agent(*turns, user_id="ana"):
        model.turns[:] = turns
        return AIAgent(
            base_url=model.url,
            api_key="offline",
            model="scripted",
            enabled_toolsets=["demo"],
            quiet_mode=True,
            skip_context_files=True,
            user_id=user_id,
        )

    first = agent(
        [
            ("search_web", {"q": "lisbon hotels"}, "call_search"),
            ("shell", {"cmd": "rm -rf /tmp/cache"}, "call_shell"),
            ("book_hotel", {"city": "Lisbon"}, "call_book"),
        ],
        "Found hotels; booking failed; shell was not allowed. Your flight is on May 3.",
    )
    turn = first.run_conversation("Plan my Lisbon trip; my flight leaves May 3.")
    first.shutdown_memory_provider(turn["messages"])
    for message in model.requests[-1]["messages"]:
        if message["role"] == "tool":
            print(f"  model read for {message['tool_call_id']}: {message['content']}")
    print("  agent says:", turn["final_response"])
    print("audit:")
    for event in client.audit_events():
        status = event.get("outcome") or event.get("outcome_status")
        print(f"  {event['kind']:8} {event['tool_name']:11} {event['trace_id']:12} {status}")

    for user in ("ana", "bob"):
        agent("Noted.", user_id=user).run_conversation("When does my flight leave?")
        sent = model.requests[-1]["messages"][-1]["content"]
        recalled = hermes.MEMORY_HEADER in str(sent) and "May 3" in str(sent)
        print(f"  a later session of {user} is handed the earlier turn: {recalled}")
    hermes.set_client(None)
    model.shutdown()
    shutil.rmtree(HOME, ignore_errors=True)


if __name__ == "__main__":
    main()
