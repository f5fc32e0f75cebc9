"""The remote backend over real loopback sockets: errors, the server, the CLI and the native
modules driving an HTTP-backed client. Behaviour shared with the embedded backend is covered
by test_client.py, whose client fixture runs over both backends."""

import asyncio
import http.client
import json
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from velkor_agent_hooks import adapters, parlow
from velkor_agent_hooks.client import (
    GovernanceDenied,
    VelkorClient,
    VelkorConnectionError,
    VelkorHTTPError,
    VelkorProtocolError,
    VelkorTimeout,
    serve,
)


@pytest.fixture
def server():
    with serve(deny_tools=["shell"]) as running:
        yield running


@pytest.fixture
def client(server):
    return VelkorClient(base_url=server.url, agent_id="agent-1", timeout=5)


class _Stub(BaseHTTPRequestHandler):
    """Reads a request, then writes the server's raw `reply` bytes and hangs up."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.wfile.write(self.server.reply)
        self.close_connection = True

    do_GET = do_POST

    def log_message(self, *args):
        pass


class _StubServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, reply):
        super().__init__(("127.0.0.1", 0), _Stub)
        self.reply = reply
        self.url = f"http://127.0.0.1:{self.server_port}"
        self._thread = threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()

    def __exit__(self, *exc_info):
        self.shutdown()
        self._thread.join()
        self.server_close()


def _raw(status, body):
    head = f"HTTP/1.1 {status} X\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    return head.encode() + body


_KEY_ERROR = b'{"error": {"type": "KeyError", "message": "boom"}}'


def _request(server, method, path, body=b"", headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
    try:
        conn.request(
            method, path, body=body, headers={"X-Velkor-Project": "default", **(headers or {})}
        )
        response = conn.getresponse()
        return response.status, response.headers, json.loads(response.read())
    finally:
        conn.close()


class TestTransportErrors:
    def test_refused_connection(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with pytest.raises(VelkorConnectionError) as info:
            VelkorClient(base_url=f"http://127.0.0.1:{port}").doctor()
        assert isinstance(info.value, ConnectionError)

    def test_silent_server_times_out(self):
        # The kernel completes the handshake for a listening socket that never accepts.
        with socket.create_server(("127.0.0.1", 0)) as listener:
            port = listener.getsockname()[1]
            client = VelkorClient(base_url=f"http://127.0.0.1:{port}", timeout=0.2)
            start = time.monotonic()
            with pytest.raises(VelkorTimeout) as info:
                client.context("q")
        assert isinstance(info.value, TimeoutError) and time.monotonic() - start < 3

    @pytest.mark.parametrize(
        ("reply", "error", "match"),
        [
            (_raw(500, _KEY_ERROR), VelkorHTTPError, "boom"),
            (_raw(502, b"Bad gateway from proxy"), VelkorHTTPError, "Bad gateway from proxy"),
            (_raw(200, b"<html>not json</html>"), VelkorProtocolError, "not a JSON object"),
            (_raw(200, b"[1, 2]"), VelkorProtocolError, "not a JSON object"),
            (_raw(200, b'{"text": 1, "block_hash": "h", "token_count": 0, "status": "ok"}'),
             VelkorProtocolError, "'text'"),
            (_raw(200, b'{"text": "", "block_hash": "h", "token_count": true, "status": "ok",'
                       b' "hits": 0}'), VelkorProtocolError, "'token_count'"),
            (b"SMTP ready\r\n\r\n", VelkorProtocolError, "malformed HTTP"),
            (b"", VelkorConnectionError, "closed connection"),
        ],
        ids=["json-500", "text-502", "html", "array", "str-field", "bool-for-int", "not-http",
             "hang-up"],
    )  # fmt: skip
    def test_bad_replies(self, reply, error, match):
        with _StubServer(reply) as stub:
            with pytest.raises(error, match=match) as info:
                VelkorClient(base_url=stub.url).context("q")
        if error is VelkorHTTPError:
            assert info.value.status in (500, 502)
            assert info.value.error_type == ("KeyError" if info.value.status == 500 else "")


class TestServer:
    @pytest.mark.parametrize(
        ("method", "path", "body", "status", "message"),
        [
            ("POST", "/v1/context", b'{"query": 1}', 400, "query must be str"),
            ("POST", "/v1/gate", b'{"tool_name": "t", "sudo": true}', 400, "sudo"),
            ("POST", "/v1/remember", b'{"turns": [{"text": " "}]}', 400, "must not be empty"),
            ("POST", "/v1/observe", b"{oops", 400, "not JSON"),
            ("POST", "/v1/context", b'"text"', 400, "JSON object"),
            ("GET", "/v1/nothing", b"", 404, "no such endpoint"),
            ("GET", "/v1/gate", b"", 405, "does not accept GET"),
        ],
    )
    def test_rejections_are_json_errors_and_store_nothing(
        self, server, client, method, path, body, status, message
    ):
        got, headers, reply = _request(server, method, path, body)
        assert got == status and message in reply["error"]["message"]
        assert headers.get("Allow") == ("POST" if status == 405 else None)
        assert client.memories() == [] and client.audit_events() == []

    def test_head_gets_a_prompt_reply_without_a_body(self, server):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=2)
        try:
            conn.request("HEAD", "/v1/doctor", headers={"X-Velkor-Project": "default"})
            response = conn.getresponse()
            assert response.status == 405 and response.read() == b""
        finally:
            conn.close()

    @pytest.mark.parametrize(
        "kwargs",
        [{"api_key": "two words"}, {"api_key": "line\nbreak"}, {"base_url": "http://h/a b"}],
    )
    def test_values_that_cannot_go_into_a_request_are_refused_at_construction(self, kwargs):
        with pytest.raises(ValueError):
            VelkorClient(**{"base_url": "http://127.0.0.1:9", **kwargs})

    def test_project_mismatch_and_unserialisable_input_send_nothing(self, server, client):
        with pytest.raises(VelkorHTTPError) as info:
            VelkorClient(base_url=server.url, project="other ü").remember("x")
        assert info.value.status == 409 and "other ü" in info.value.message
        with pytest.raises(TypeError, match="JSON serializable"):
            client.gate("search", tool_input={"tags": {"a"}})
        assert client.doctor()["memories"] == 0 and client.audit_events() == []

    def test_client_deny_list_adds_to_the_servers(self, server):
        client = VelkorClient(base_url=server.url, deny_tools=["rm"])
        for tool in ("rm", "shell"):
            with pytest.raises(GovernanceDenied, match=tool):
                client.gate(tool).require()
        client.gate("search").require()
        audited = [(e["tool_name"], e["outcome"]) for e in client.audit_events()]
        assert audited == [("rm", "ALLOWED"), ("shell", "DENIED"), ("search", "ALLOWED")]
        assert client.doctor()["deny_tools"] == ["rm", "shell"]


def test_native_adapters_over_http(client):
    memory = adapters.LangChainMemory(client, session_id="chat")
    memory.save_context({"input": "what is the cat called"}, {"output": "the cat is Tom"})
    loaded = memory.load_memory_variables({"input": "cat"})
    assert loaded == {"history": "the cat is Tom\nwhat is the cat called"}

    store = adapters.LangGraphStore(client)
    stored = store.put(("users", "u1"), "prefs", {"lang": "ü", "a": 1})
    assert type(stored) is dict and stored["session_id"] == "users/u1/prefs"
    (hit,) = store.search(["users"], query="lang", limit=1)
    assert (hit["namespace"], hit["value"], hit["score"]) == (
        ("users",),
        '{"a": 1, "lang": "ü"}',
        1.0,
    )
    assert store.search(("users",), query="zebra") == []

    hooks = adapters.AgentHooks(client, "agent-7")
    with hooks.guard("search", {"q": "x"}, session_id="s") as decision:
        assert decision.allow
    with pytest.raises(GovernanceDenied), hooks.guard("shell"):
        pytest.fail("a denied block ran")
    with pytest.raises(ValueError, match="tool broke"), hooks.guard("search", trace_id="t-9"):
        raise ValueError("tool broke")
    events = [e for e in client.audit_events() if e["agent_id"] == "agent-7"]
    assert [(e["kind"], e.get("outcome") or e["outcome_status"]) for e in events] == [
        ("gate", "ALLOWED"), ("observe", "SUCCESS"), ("gate", "DENIED"),
        ("gate", "ALLOWED"), ("observe", "FAILED"),
    ]  # fmt: skip
    assert events[0]["trace_id"] == events[1]["trace_id"] and events[0]["tool_input"] == {"q": "x"}
    assert events[4]["trace_id"] == "t-9" and events[4]["fields"] == {
        "result_preview": "tool broke"
    }

    assert adapters.dispatch(client, "velkor_remember", {"text": "dispatched"})["stored"] is True
    found = adapters.dispatch(client, "velkor_context", {"query": "dispatched"})
    assert (found["context"], found["status"], found["token_count"]) == ("dispatched", "ok", 3)
    assert adapters.dispatch(client, "velkor_gate", {"tool_name": "shell"})["allow"] is False


def test_async_facade_over_http(server, monkeypatch):
    monkeypatch.setenv("VELKOR_BASE_URL", server.url)
    facade = parlow.AsyncVelkorClient.from_env(agent_id="async-agent")

    async def main():
        stored = await facade.remember("async note", session_id="a", user_id="u", timestamp="t")
        turns = await facade.remember_turns([{"role": "assistant", "text": "reply note"}])
        found = await facade.context("note", max_tokens=50)
        denied = await facade.gate("shell", tool_input={"cmd": "ls"}, purpose="p")
        observed = await facade.observe(tool_name="search", fields={"n": 1})
        report = await facade.doctor()
        many = await asyncio.gather(
            *(facade.remember(f"bulk {i}") if i % 2 else facade.gate(f"t{i}") for i in range(200))
        )
        return stored, turns, found, denied, observed, report, many

    stored, turns, found, denied, observed, report, many = asyncio.run(main())
    assert stored["stored"] is True and turns["stored"] == 1
    assert (found.text, found.hits) == ("reply note\nasync note", 2)
    assert not denied.allow and denied.outcome == "DENIED"
    with pytest.raises(GovernanceDenied):
        denied.require()
    assert observed["recorded"] is True and report["backend"] == "http"
    assert sum(type(r) is dict for r in many) == 100 and all(r.allow for r in many[::2])
    assert len(facade.sync.memories()) == 102 and len(facade.sync.audit_events()) == 102
    assert facade.sync.audit_events()[0]["agent_id"] == "async-agent"


def test_command_line_server():
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
    command += ["--deny-tools", "rm, shell", "--project", "cli", "--db", ":memory:"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://127\.0\.0\.1:\d+", proc.stdout.readline()).group(0)
        client = VelkorClient(base_url=url, project="cli")
        assert client.remember("from the cli")["stored"] is True
        assert not client.gate("shell").allow
        assert client.doctor()["deny_tools"] == ["rm", "shell"]
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and "stopped" in out, err
