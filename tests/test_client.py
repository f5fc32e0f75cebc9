import hashlib
import threading

import pytest

from velkor_agent_hooks.client import (
    GovernanceDenied,
    VelkorClient,
    estimate_tokens,
    serve,
)


@pytest.fixture(params=["embedded", "http"])
def client(request):
    """The same behaviour is required of both backends; the remote one denies on the server."""
    if request.param == "embedded":
        return VelkorClient(agent_id="agent-1", deny_tools=["shell"])
    server = serve(deny_tools=["shell"])
    request.addfinalizer(server.close)
    return VelkorClient(base_url=server.url, agent_id="agent-1", timeout=5)


class TestMemory:
    @pytest.mark.parametrize(("long_texts", "found"), [(10, "old short"), (40, "")])
    def test_reading_stops_after_a_run_of_texts_that_do_not_fit(self, client, long_texts, found):
        client.remember("old short")
        for i in range(long_texts):
            client.remember(f"long text {i} " + "x" * 100)
        assert client.context("", max_tokens=10).text == found

    def test_recall_ranks_by_overlap_then_recency(self, client):
        # Sessions of their own: turns of one session also lend each other relevance.
        for n, text in enumerate(
            ["my cat is called Tom", "Tom the cat likes FISH", "unrelated note", "Tom has a cat"]
        ):
            client.remember(text, session_id=f"s{n}")
        result = client.context("cat, Tom, fish?")
        assert result.text.split("\n") == [
            "Tom the cat likes FISH",
            "Tom has a cat",
            "my cat is called Tom",
        ]
        assert (result.status, result.hits) == ("ok", 3)
        assert result.token_count == estimate_tokens(result.text)
        assert result.block_hash == hashlib.sha256(result.text.encode()).hexdigest()[:16]

    def test_budget_skips_what_does_not_fit(self, client):
        client.remember("apple pie")  # 3 tokens
        client.remember("apple " + "x" * 38)  # 11 tokens, newer so ranked first
        assert client.context("apple", max_tokens=3).text == "apple pie"
        assert client.context("apple", max_tokens=13).text.startswith("apple xx")
        both = client.context("apple", max_tokens=14)  # 44 + 1 + 9 characters
        assert (both.hits, both.token_count) == (2, 14)
        assert client.context("apple", max_tokens=0).status == "empty"

    def test_empty_query_gives_recent_in_order_and_no_match_is_empty(self, client):
        for text in ("one", "two", "three"):
            client.remember(text)
        assert client.context("").text == "one\ntwo\nthree"
        assert client.context("", max_tokens=3).text == "two\nthree"
        miss = client.context("zebra")
        assert (miss.text, miss.status, miss.token_count) == ("", "empty", 0)

    def test_estimate_tokens(self):
        assert [estimate_tokens(t) for t in ("", "a", "abcd", "abcde")] == [0, 1, 1, 2]

    def test_remember_and_turns_return_exact_dicts_and_store_metadata(self, client):
        one = client.remember(
            "hello", role="assistant", session_id="s1", user_id="u", timestamp="t"
        )
        assert type(one) is dict and one["stored"] is True and one["tokens"] == 2
        many = client.remember_turns(
            [{"role": "user", "content": "q"}, {"text": "a"}], session_id="s2"
        )
        assert type(many) is dict and many["stored"] == 2 and len(many["ids"]) == 2
        assert client.remember_turns([])["stored"] == 0
        rows = client.memories()
        assert [(r["session_id"], r["role"], r["text"]) for r in rows] == [
            ("s1", "assistant", "hello"),
            ("s2", "user", "q"),
            ("s2", "user", "a"),
        ]
        assert (rows[0]["id"], rows[0]["user_id"], rows[0]["timestamp"]) == (one["id"], "u", "t")
        rows[0]["text"] = "mutated"
        assert client.memories()[0]["text"] == "hello"


class TestGovernance:
    def test_allowed_and_denied(self, client):
        ok = client.gate("search")
        assert (ok.allow, ok.governed, ok.outcome, ok.degraded) == (True, True, "ALLOWED", False)
        assert ok.require() is None and ok.trace_id.startswith("sdk_")
        denied = client.gate("shell")
        assert (denied.allow, denied.governed, denied.outcome) == (False, True, "DENIED")
        with pytest.raises(GovernanceDenied) as info:
            denied.require()
        assert isinstance(info.value, PermissionError)
        assert info.value.decision is denied
        assert "shell" in str(info.value) and "deny_tools" in str(info.value)

    def test_gate_and_observe_audit_every_keyword(self, client):
        tool_input = {"q": "x"}
        client.gate(
            "search", session_id="s", tool_input=tool_input, system_id="sys", actor="me",
            action="read", purpose="p", capability="c", resource="r", approval_id="a",
            trace_id="t1",
        )  # fmt: skip
        tool_input["q"] = "changed"
        result = client.observe(
            tool_name="search", agent_id="other", outcome_status="FAILED",
            fields={"n": 1}, purpose="p", trace_id="t1",
        )  # fmt: skip
        assert type(result) is dict and result["recorded"] is True
        gate, observe = client.audit_events()
        # No approval "a" was ever asked for: naming it denies the call.
        assert gate["kind"] == "gate" and gate["outcome"] == "DENIED"
        assert gate["reason"] == "approval a does not exist"
        assert gate["agent_id"] == "agent-1" and gate["tool_input"] == {"q": "x"}
        assert [gate[k] for k in ("system_id", "actor", "action", "approval_id")] == [
            "sys", "me", "read", "a",
        ]  # fmt: skip
        assert observe["event_id"] == result["event_id"] and observe["agent_id"] == "other"
        assert (observe["outcome_status"], observe["fields"]) == ("FAILED", {"n": 1})
        client.remember("x")
        report = client.doctor()
        assert type(report) is dict and report["base_url"] == client.base_url
        assert report["backend"] == ("http" if client.base_url else "embedded")
        assert (report["memories"], report["audit_events"], report["deny_tools"]) == (
            1,
            2,
            ["shell"],
        )


def test_from_env_reads_variables_and_overrides_win(monkeypatch):
    monkeypatch.setenv("VELKOR_PROJECT", "proj")
    monkeypatch.setenv("VELKOR_AGENT_ID", "env-agent")
    monkeypatch.setenv("VELKOR_DENY_TOOLS", " shell, ,rm ")
    monkeypatch.setenv("VELKOR_TIMEOUT", "2.5")
    client = VelkorClient.from_env(agent_id="override")
    assert (client.base_url, client.project, client.timeout) == (None, "proj", 2.5)
    assert client.agent_id == "override"
    assert client.deny_tools == {"shell", "rm"}
    assert not client.gate("rm").allow
    monkeypatch.setenv("VELKOR_BASE_URL", "http://127.0.0.1:9/velkor")
    assert "'http'" in repr(VelkorClient.from_env())  # nothing is sent on construction
    assert "'embedded'" in repr(VelkorClient.from_env(base_url=""))
    monkeypatch.setenv("VELKOR_TIMEOUT", "soon")
    with pytest.raises(ValueError, match="VELKOR_TIMEOUT"):
        VelkorClient.from_env()
    assert VelkorClient.from_env(timeout=1).timeout == 1.0


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda c: c.remember(b"bytes"), TypeError),
        (lambda c: c.remember("  "), ValueError),
        (lambda c: c.remember("x", session_id=None), TypeError),
        (lambda c: c.context(None), TypeError),
        (lambda c: c.context("q", max_tokens=True), TypeError),
        (lambda c: c.context("q", max_tokens=2.0), TypeError),
        (lambda c: c.context("q", max_tokens=-1), ValueError),
        (lambda c: c.remember_turns({"text": "x"}), TypeError),
        (lambda c: c.remember_turns(["x"]), TypeError),
        (lambda c: c.remember_turns([{"role": "user"}]), ValueError),
        (lambda c: c.gate(""), ValueError),
        (lambda c: c.gate("t", tool_input="{}"), TypeError),
        (lambda c: c.gate("t", purpose=1), TypeError),
        (lambda c: c.observe(tool_name="t", fields=[1]), TypeError),
        (lambda c: VelkorClient(deny_tools="shell"), TypeError),
        (lambda c: VelkorClient(timeout=0), ValueError),
        (lambda c: VelkorClient(base_url="ftp://127.0.0.1/"), ValueError),
        (lambda c: VelkorClient(base_url="127.0.0.1:8787"), ValueError),
        (lambda c: VelkorClient(base_url="http://127.0.0.1:http"), ValueError),
        (lambda c: VelkorClient(base_url="http://127.0.0.1:1/?x=1"), ValueError),
    ],
)
def test_bad_input(client, call, error):
    with pytest.raises(error):
        call(client)
    assert client.memories() == [] and client.audit_events() == []


def test_threads_share_one_client(client):
    barrier = threading.Barrier(16)

    def work(n):
        barrier.wait()
        for i in range(50):
            client.remember(f"thread {n} item {i}")
            client.gate("shell" if i % 2 else "search")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(client.memories()) == 800
    assert len({row["id"] for row in client.memories()}) == 800
    assert sum(not e["allow"] for e in client.audit_events()) == 400
