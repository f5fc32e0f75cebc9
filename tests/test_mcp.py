"""The MCP server as a host runs it: a subprocess driven by the SDK's own clients."""

import json
import os
import socket
import subprocess
import sys
from contextlib import asynccontextmanager

import anyio
import anyio.to_thread
import httpx2
import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.client.streamable_http import streamable_http_client

from velkor_agent_hooks.adapters import openai_tools
from velkor_agent_hooks.mcp import is_loopback

pytestmark = pytest.mark.anyio
MODULE = "velkor_agent_hooks.mcp"
DEADLINE = 60  # seconds for one server's whole conversation, sanitizer builds included


@pytest.fixture
def anyio_backend():
    return "asyncio"


def server_env(**extra):
    # The whole environment (a sanitizer build needs its preload), less any ambient Velkor set-up.
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELKOR_")}
    return env | extra


@asynccontextmanager
async def stdio_session(**env):
    params = StdioServerParameters(
        command=sys.executable, args=["-m", MODULE], env=server_env(**env)
    )
    with anyio.fail_after(DEADLINE):
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            yield session


async def call(session, name, arguments):
    result = await session.call_tool(name, arguments)
    text = result.content[0].text
    if not result.is_error:
        assert json.loads(text) == result.structured_content
    return result, text


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


async def test_tools_match_openai_tools_and_reach_the_service():
    expected = [t["function"] for t in openai_tools()]
    async with stdio_session(VELKOR_DENY_TOOLS="shell, deploy") as session:
        listed = (await session.list_tools()).tools
        assert [(t.name, t.description, t.input_schema) for t in listed] == [
            (f["name"], f["description"], f["parameters"]) for f in expected
        ]

        stored, _ = await call(session, "velkor_remember", {"text": "The launch is on Friday."})
        assert stored.structured_content["stored"] is True
        found, _ = await call(session, "velkor_context", {"query": "When is the launch?"})
        assert not found.is_error
        assert "launch is on Friday" in found.structured_content["context"]

        denied, _ = await call(session, "velkor_gate", {"tool_name": "deploy", "agent_id": "ci"})
        assert not denied.is_error
        assert denied.structured_content["allow"] is False
        assert denied.structured_content["outcome"] == "DENIED"
        allowed, _ = await call(session, "velkor_gate", {"tool_name": "search", "tool_input": {}})
        assert allowed.structured_content["allow"] is True


BAD_CALLS = [
    ("velkor_remember", {"text": 5}, "not of type 'string'"),
    ("velkor_remember", {"text": ""}, "must not be empty"),
    ("velkor_remember", {"text": "sneaky", "bogus": 1}, "'bogus' was unexpected"),
    ("velkor_remember", {"text": "sneaky", "role": None}, "not of type 'string'"),
    ("velkor_remember", None, "'text' is a required property"),
    ("velkor_context", {"query": "x", "max_tokens": -1}, "must not be negative"),
    ("velkor_context", {"query": "x", "max_tokens": True}, "not of type 'integer'"),
    ("velkor_gate", {"tool_name": "x", "tool_input": ["rm"]}, "not of type 'object'"),
    ("velkor_forget", {"text": "x"}, "unknown Velkor tool"),
]


async def test_bad_calls_are_error_results_that_store_nothing():
    async with stdio_session() as session:
        await call(session, "velkor_remember", {"text": "baseline"})
        for name, arguments, reason in BAD_CALLS:
            result, text = await call(session, name, arguments)
            assert result.is_error, (name, arguments)
            assert reason in text, (name, arguments, text)
        # Still serving, and only the first text was ever stored.
        everything, _ = await call(session, "velkor_context", {"query": "", "max_tokens": 10_000})
        assert everything.structured_content["context"] == "baseline"


async def test_unreachable_service_is_an_error_result_and_serving_goes_on():
    url = f"http://127.0.0.1:{closed_port()}"
    async with stdio_session(VELKOR_BASE_URL=url, VELKOR_TIMEOUT="5") as session:
        for name, arguments in [
            ("velkor_remember", {"text": "lost?"}),
            ("velkor_context", {"query": "anything"}),
        ]:
            result, text = await call(session, name, arguments)
            assert result.is_error
            assert "Velkor service is unreachable" in text and "VelkorConnectionError" in text
        assert len((await session.list_tools()).tools) == 3


async def read_line(stream):
    return await anyio.to_thread.run_sync(stream.readline, abandon_on_cancel=True)


async def test_streamable_http_demands_the_key_and_serves_with_it():
    key = "s3cret-key-0123456789"
    proc = subprocess.Popen(
        [sys.executable, "-m", MODULE, "--transport", "streamable-http", "--port", "0"],
        env=server_env(VELKOR_API_KEY=key),
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        with anyio.fail_after(DEADLINE):
            banner = await read_line(proc.stdout)
            url = banner.split()[-1]
            assert url.startswith("http://127.0.0.1:") and url.endswith("/mcp"), banner
            async with httpx2.AsyncClient() as http:
                for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": key}):
                    response = await http.post(url, json={}, headers=headers)
                    assert response.status_code == 401, headers
            auth = {"Authorization": f"Bearer {key}"}
            async with (
                httpx2.AsyncClient(headers=auth) as http,
                streamable_http_client(url, http_client=http) as (read, write),
                ClientSession(read, write) as session,
            ):
                await session.initialize()
                assert len((await session.list_tools()).tools) == 3
                await call(session, "velkor_remember", {"text": "over http"})
                found, _ = await call(session, "velkor_context", {"query": "http"})
                assert found.structured_content["context"] == "over http"
    finally:
        proc.terminate()
        proc.wait(timeout=DEADLINE)
        proc.stdout.close()


@pytest.mark.parametrize(
    ("args", "env", "message"),
    [
        (["--transport", "streamable-http", "--host", "0.0.0.0"], {}, "without an API key"),
        (["--transport", "streamable-http", "--host", "::"], {"VELKOR_API_KEY": " "}, "API key"),
        ([], {"VELKOR_TIMEOUT": "soon"}, "VELKOR_TIMEOUT must be a number"),
    ],
    ids=["any-v4", "any-v6-blank-key", "bad-env"],
)
def test_start_up_refusals(args, env, message):
    result = subprocess.run(
        [sys.executable, "-m", MODULE, *args],
        env=server_env(**env),
        capture_output=True,
        text=True,
        timeout=DEADLINE,
        stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 2
    assert message in result.stderr
    assert result.stdout == ""


def test_loopback_hosts():
    assert all(map(is_loopback, ["127.0.0.1", "127.8.0.1", "::1", "[::1]", "localhost"]))
    assert not any(map(is_loopback, ["0.0.0.0", "::", "10.0.0.1", "example.com", ""]))


def test_import_without_the_sdk_names_the_extra():
    code = f"import sys; sys.modules['mcp'] = None; import {MODULE}"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=DEADLINE
    )
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: velkor_agent_hooks.mcp needs the MCP SDK")
    assert last.endswith('pip install "velkor-agent-hooks[mcp]"')
