"""Offline Hermes: a Hermes home with the plugin installed and a scripted model on loopback."""

import atexit
import json
import os
import shutil
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Before Hermes is imported: it reads its home from the environment.
HOME = tempfile.mkdtemp(prefix="hermes-home-")
os.environ["HERMES_HOME"] = HOME
atexit.register(shutil.rmtree, HOME, True)

import pytest  # noqa: E402
from tools.registry import registry  # noqa: E402

from velkor_agent_hooks import hermes  # noqa: E402

hermes.install_plugin(HOME)
with open(os.path.join(HOME, "config.yaml"), "w") as f:
    f.write("plugins:\n  enabled: [velkor]\nmemory:\n  provider: velkor\n")

ran = []


def _search(args, **kwargs):
    ran.append("search")
    return json.dumps({"results": f"3 results for {args['q']}"})


def _shell(args, **kwargs):
    ran.append("shell")
    return json.dumps({"output": "ran"})


def _book(args, **kwargs):
    ran.append("book")
    raise RuntimeError(f"no rooms in {args['city']}")


for _name, _handler, _arg in [
    ("search", _search, "q"),
    ("shell", _shell, "cmd"),
    ("book", _book, "city"),
]:
    registry.register(
        name=_name,
        toolset="velkor_test",
        schema={
            "name": _name,
            "description": f"The {_name} tool.",
            "parameters": {"type": "object", "properties": {_arg: {"type": "string"}}},
        },
        handler=_handler,
    )


class ScriptedModel:
    """A Chat Completions server on loopback answering each request with the next turn:
    a list of (name, arguments, call_id) tool calls, or the final text, or a function making
    one (to act between turns)."""

    def __init__(self):
        self.turns = []
        self.requests = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("content-length", 0))))
                if not self.path.endswith("/chat/completions"):
                    self._send(404, b"", "application/json")
                    return
                server.requests.append(body)
                self._send(200, server._reply(body), "text/event-stream")

            def _send(self, status, payload, kind):
                self.send_response(status)
                self.send_header("content-type", kind)
                self.send_header("content-length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        self._http = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self._http.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self._http.server_address[1]}/v1"

    def _reply(self, body):
        turn = self.turns.pop(0) if self.turns else "done"
        turn = turn() if callable(turn) else turn
        if isinstance(turn, str):
            delta, finish = {"role": "assistant", "content": turn}, "stop"
        else:
            calls = [
                {
                    "index": i,
                    "id": call_id,
                    "type": "function",
                    "function": {"name": name, "arguments": json.dumps(arguments)},
                }
                for i, (name, arguments, call_id) in enumerate(turn)
            ]
            delta, finish = {"role": "assistant", "tool_calls": calls}, "tool_calls"
        chunk = {"id": "c", "object": "chat.completion.chunk", "created": 0, "model": "scripted"}
        usage = {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}
        events = [
            {**chunk, "choices": [{"index": 0, "delta": delta, "finish_reason": None}]},
            {
                **chunk,
                "choices": [{"index": 0, "delta": {}, "finish_reason": finish}],
                "usage": usage,
            },
        ]
        return (
            b"".join(b"data: " + json.dumps(e).encode() + b"\n\n" for e in events)
            + b"data: [DONE]\n\n"
        )

    def tool_results(self):
        """The tool messages of the last request, by tool call id."""
        return {
            m["tool_call_id"]: m["content"]
            for m in self.requests[-1]["messages"]
            if m["role"] == "tool"
        }

    def user_text(self, request=-1):
        return "\n".join(
            str(m.get("content")) for m in self.requests[request]["messages"] if m["role"] == "user"
        )

    def close(self):
        self._http.shutdown()
        self._http.server_close()


@pytest.fixture(scope="session")
def model():
    server = ScriptedModel()
    yield server
    server.close()


@pytest.fixture
def agent_for(model):
    from run_agent import AIAgent

    def make(*turns, **kwargs):
        model.turns[:] = list(turns)
        ran.clear()
        return AIAgent(
            base_url=model.url,
            api_key="offline",
            model="scripted",
            enabled_toolsets=["velkor_test"],
            quiet_mode=True,
            skip_context_files=True,
            **{"max_iterations": 5, **kwargs},
        )

    return make
