"""Governance end to end: Cedar policies deciding gates on the embedded client and over HTTP,
on SQLite and PostgreSQL; rate counts shared by two servers on one database; approvals across
a restart; refused and reloaded policy files; the audit chain under tampering and under
concurrent writers."""

import hashlib
import json
import queue
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import uuid
from contextlib import closing
from datetime import UTC, datetime, timedelta
from pathlib import Path

import pytest

pytest.importorskip("cedarpy")

from velkor_agent_hooks.client import VelkorClient, VelkorHTTPError, serve
from velkor_agent_hooks.service import governance
from velkor_agent_hooks.service.cli import main
from velkor_agent_hooks.service.clock import stamp
from velkor_agent_hooks.service.governance.policy import PolicyError

README = Path(__file__).parents[1] / "README.md"
NO_PERMIT = "no policy permits this call"
PERMIT_ALL = "permit(principal, action, resource);\n"
RATE = (
    PERMIT_ALL + 'forbid(principal, action, resource == Tool::"send_email")\n'
    "when { context.recent.tool_calls_last_minute >= 3 };\n"
)
APPROVAL = (
    PERMIT_ALL + '@approval @reason("a person decides")\n'
    'forbid(principal, action, resource == Tool::"delete_file");\n'
)
BAD = PERMIT_ALL + 'forbid(principal, action, resource)\nwhen { context.sesion_id == "x" };\n'
shared = pytest.mark.parametrize("db", ["sqlite-file", "postgresql"], indirect=True)


def readme_blocks():
    section = README.read_text(encoding="utf-8").split("\n## Policies\n")[1].split("\n## ")[0]
    return re.findall(r"```cedar\n(.*?)```", section, re.S)


class Governed:
    """Clients of one project on the test's database, embedded or through a server of their
    own; ``open`` closes the last one first, so opening again is a restart."""

    def __init__(self, via, db):
        self.via, self.db = via, db
        self.project = f"gov-{uuid.uuid4().hex[:8]}"
        self._open = []

    def open(self, policy, **options):
        self.close()
        if self.via == "embedded":
            client = VelkorClient(path=self.db, project=self.project, policy=policy, **options)
        else:
            server = serve(db=self.db, project=self.project, policy=policy, **options)
            self._open.append(server)
            client = VelkorClient(base_url=server.url, project=self.project)
        self._open.insert(0, client)
        return client

    def close(self):
        while self._open:
            self._open.pop(0).close()


@pytest.fixture(params=["embedded", "http"])
def governed(request, db):
    handle = Governed(request.param, db)
    yield handle
    handle.close()


@pytest.fixture
def clock(monkeypatch):
    """The governance clock, moved by hand; servers in this process read it too."""

    class Clock:
        at = datetime.now(UTC)

        def move(self, seconds):
            self.at += timedelta(seconds=seconds)

    hand = Clock()
    monkeypatch.setattr(governance, "now", lambda: stamp(hand.at))
    monkeypatch.setattr(governance, "ago", lambda s: stamp(hand.at - timedelta(seconds=s)))
    monkeypatch.setattr(governance, "later", lambda s: stamp(hand.at + timedelta(seconds=s)))
    return hand


# The README's table: tool, input, outcome, reason (its start), shadow outcome.
EMAIL = ("send_email", {"to": "a@example.com"})
README_CASES = [
    ("shell", {"command": "ls -la"}, "ALLOWED", "the shell may run ls", "ALLOWED"),
    # A forbid beats a permit; no permit denies.
    ("shell", {"command": "ls; rm -rf /"}, "DENIED", "the shell never runs rm -rf", "DENIED"),
    ("shell", {"command": "cat notes.txt"}, "DENIED", NO_PERMIT, "DENIED"),
    ("shell", {"command": "ls /etc"}, "ALLOWED", "the shell may run ls", "DENIED"),
    ("refund", {"amount": 500}, "ALLOWED", "refund", None),
    ("refund", {"amount": 501}, "DENIED", "refunds are capped at 500", None),
    ("refund", {}, "DENIED", "refunds are capped at 500", None),
    # A policy that fails to evaluate denies.
    ("refund", {"amount": 499.5}, "DENIED", "policy refund-cap could not be evaluated: ", None),
    ("delete_file", {"path": "notes.txt"}, "APPROVAL_REQUIRED", "deleting outside /tmp", None),
    ("delete_file", {"path": "/tmp/scratch"}, "ALLOWED", "delete", None),
    ("browser", {}, "DENIED", NO_PERMIT, None),
    *[(*EMAIL, "ALLOWED", "email", None)] * 3,
    (*EMAIL, "DENIED", "at most 3 emails a minute", None),
]


def test_readme_examples_decide_as_documented(governed):
    text = "\n".join(readme_blocks())
    client = governed.open(text)
    for tool, tool_input, outcome, reason, _ in README_CASES:
        decision = client.gate(tool, agent_id="a1", tool_input=tool_input)
        assert (decision.outcome, decision.allow) == (outcome, outcome == "ALLOWED"), tool_input
        assert decision.reason.startswith(reason), decision
        assert (decision.approval_id is not None) == (outcome == "APPROVAL_REQUIRED")
    events = client.audit_events()
    assert [e["outcome"] for e in events] == [case[2] for case in README_CASES]
    assert [(e["shadow"] or {}).get("outcome") for e in events] == [c[4] for c in README_CASES]
    version = hashlib.sha256(text.encode()).hexdigest()
    assert {e["policy_version"] for e in events} == {version}
    assert [e["recent"]["tool_calls_last_minute"] for e in events[-4:]] == [0, 1, 2, 3]
    assert client.verify_audit() == {"ok": True, "events": len(events), "first_bad_seq": None}


def test_shadow_policies_change_nothing_but_the_audit(governed):
    blocks = readme_blocks()
    live = "\n".join(b for b in blocks if "@shadow" not in b)
    calls = [(t, i) for t, i, *_ in README_CASES]
    volatile = {"event_id", "recorded_at", "trace_id", "approval_id", "hash", "prev_hash"}
    seen = []
    for text in (live, "\n".join(blocks)):
        client = governed.open(text)
        decisions = [client.gate(t, agent_id="a1", tool_input=i) for t, i in calls]
        seen.append(
            (
                [(d.allow, d.outcome, d.reason) for d in decisions],
                [{k: v for k, v in e.items() if k not in volatile} for e in client.audit_events()],
            )
        )
        governed.project += "-shadowed"  # a fresh audit, so the rate counts start alike
    (before, plain), (after, shadowed) = seen
    assert after == before
    for old, new in zip(plain, shadowed, strict=True):
        differ = {k for k in old.keys() | new.keys() if old.get(k) != new.get(k)}
        assert differ <= {"shadow", "policy_version"}, (old, new)
        assert old["shadow"] is None and (new["shadow"] is None) == (new["tool_name"] != "shell")
    etc = shadowed[3]
    assert etc["shadow"] == {
        "outcome": "DENIED",
        "reason": "the shell stays out of /etc",
        "policies": ["shell-no-etc"],
    }


@pytest.mark.parametrize("db", ["sqlite-memory", "sqlite-file", "postgresql"], indirect=True)
def test_a_rate_rule_counts_the_calls_that_ran_in_the_last_minute(db, clock):
    outcomes = []
    start = clock.at
    with VelkorClient(path=db, project=f"rate-{uuid.uuid4().hex[:8]}", policy=RATE) as client:
        # Denied calls do not count: at 61 s only the calls at 10 and 20 s are in the window.
        for second in (0, 10, 20, 30, 59, 61, 62, 71):
            clock.at = start + timedelta(seconds=second)
            outcomes.append(client.gate("send_email", agent_id="a1").allow)
        assert client.gate("send_email", agent_id="a2").allow  # counts are per agent
    assert outcomes == [True, True, True, False, False, True, False, True]


class Served:
    """A ``velkor serve`` process whose output lines are read as they come."""

    def __init__(self, *args):
        command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
        self.proc = subprocess.Popen(
            [*command, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        self.lines = {"out": queue.Queue(), "err": queue.Queue()}
        self.readers = [
            threading.Thread(target=self._read, args=(stream, name), daemon=True)
            for name, stream in (("out", self.proc.stdout), ("err", self.proc.stderr))
        ]
        for reader in self.readers:
            reader.start()
        try:
            found = re.search(r"http://[\d.]+:\d+", self.wait("out", "listening on"))
            self.url = found.group(0)
        except BaseException:
            self.stop()
            raise

    def _read(self, stream, name):
        for line in stream:
            self.lines[name].put(line)
        self.lines[name].put(None)

    def wait(self, name, text, seconds=60):
        deadline = time.monotonic() + seconds
        seen = []
        while True:
            try:
                line = self.lines[name].get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                pytest.fail(f"no line with {text!r} on std{name} in {seconds} s, only {seen}")
            if line is None:
                pytest.fail(f"std{name} closed before a line with {text!r}, after {seen}")
            if text in line:
                return line
            seen.append(line)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        finally:
            self.proc.kill()
            self.proc.wait()
            for reader in self.readers:
                reader.join(timeout=10)
            self.proc.stdout.close()
            self.proc.stderr.close()


@pytest.fixture
def served():
    running = []

    def start(*args):
        running.append(Served(*args))
        return running[-1]

    yield start
    for server in running:
        server.stop()


@shared
def test_a_rate_rule_allows_exactly_n_a_minute_across_two_servers(db, served, tmp_path):
    path = tmp_path / "rate.cedar"
    path.write_text(RATE)
    project = f"rate-{uuid.uuid4().hex[:8]}"
    urls = [served("--db", db, "--project", project, "--policy", path).url for _ in range(2)]
    clients = [VelkorClient(base_url=url, project=project, timeout=30) for url in urls]
    start = threading.Barrier(12)
    allowed = []

    def call(n):
        start.wait()
        allowed.append(clients[n % 2].gate("send_email", agent_id="a1").allow)

    threads = [threading.Thread(target=call, args=(n,)) for n in range(12)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(allowed) == [False] * 9 + [True] * 3
    events = clients[1].audit_events(kind="gate")
    assert [e["recent"]["tool_calls_last_minute"] for e in events if e["allow"]] == [0, 1, 2]
    assert clients[0].verify_audit() == {"ok": True, "events": 12, "first_bad_seq": None}
    for client in clients:
        client.close()


def _ask(client, agent="a1", path="notes.txt"):
    asked = client.gate("delete_file", agent_id=agent, tool_input={"path": path})
    assert (asked.allow, asked.outcome) == (False, "APPROVAL_REQUIRED"), asked
    return asked.approval_id


@shared
def test_an_approval_survives_a_restart_and_allows_one_call(governed):
    client = governed.open(APPROVAL)
    approval_id = _ask(client)
    client = governed.open(APPROVAL)  # a new server, or client, on the same database
    (pending,) = client.approvals("pending")
    assert (pending["id"], pending["tool_input"], pending["agent_id"]) == (
        approval_id,
        {"path": "notes.txt"},
        "a1",
    )
    approved = client.decide_approval(approval_id, True, by="ana", note="old notes")
    assert (approved["status"], approved["decided_by"]) == ("approved", "ana")
    client = governed.open(APPROVAL)

    def retry(agent="a1", path="notes.txt"):
        decision = client.gate(
            "delete_file", agent_id=agent, tool_input={"path": path}, approval_id=approval_id
        )
        return decision.outcome, decision.reason

    assert retry(path="other.txt") == ("DENIED", f"approval {approval_id} is for another input")
    assert retry(agent="a2") == ("DENIED", f"approval {approval_id} is for another tool or agent")
    assert retry() == ("APPROVED", "approved by ana")
    assert retry() == ("DENIED", f"approval {approval_id} was used already")
    assert [a["id"] for a in client.approvals("used")] == [approval_id]
    assert client.approvals("pending") == []
    (decided,) = client.audit_events(kind="approval")
    assert [decided[k] for k in ("outcome", "decided_by", "note")] == [
        "APPROVED",
        "ana",
        "old notes",
    ]
    assert client.verify_audit()["ok"]


def test_an_approval_takes_its_input_back_as_json_compares_it():
    with VelkorClient(policy=APPROVAL) as client:
        asked = client.gate("delete_file", tool_input={"path": "a", "size": 5.0, "o": [1, 2]})
        client.decide_approval(asked.approval_id, True, by="ana")
        again = {"o": [1.0, 2], "size": 5, "path": "a"}
        ran = client.gate("delete_file", tool_input=again, approval_id=asked.approval_id)
        assert ran.outcome == "APPROVED", ran.reason


@pytest.mark.parametrize("ending", ["denied", "expired"])
def test_an_approval_denied_or_expired_never_lets_the_call_run(governed, clock, ending):
    client = governed.open(APPROVAL, approval_ttl=60)
    approval_id = _ask(client)
    if ending == "denied":
        client.decide_approval(approval_id, False, by="bo")
        reason = f"approval {approval_id} was denied"
    else:
        clock.move(61)
        reason = f"approval {approval_id} has expired"
    assert [a["id"] for a in client.approvals(ending)] == [approval_id]
    retried = client.gate(
        "delete_file", agent_id="a1", tool_input={"path": "notes.txt"}, approval_id=approval_id
    )
    assert (retried.allow, retried.outcome, retried.reason) == (False, "DENIED", reason)
    with pytest.raises((ValueError, VelkorHTTPError), match=f"is {ending}, not pending"):
        client.decide_approval(approval_id, True, by="ana")


@pytest.fixture
def bad_policy(tmp_path):
    path = tmp_path / "bad.cedar"
    path.write_text(BAD)
    return path


@pytest.mark.parametrize("how", ["client", "serve", "velkor serve", "velkor serve --processes 2"])
def test_a_bad_policy_refuses_to_start_naming_file_and_line(bad_policy, how):
    where = f"{bad_policy}:3: policy policy1: attribute `sesion_id`"
    if how in ("client", "serve"):
        with pytest.raises(PolicyError, match=re.escape(where)):
            (VelkorClient if how == "client" else serve)(policy=bad_policy)
        return
    command = [sys.executable, "-m", "velkor_agent_hooks.client", *how.split()[1:]]
    command += ["--port", "0", "--db", bad_policy.with_suffix(".db"), "--policy", bad_policy]
    done = subprocess.run(list(map(str, command)), capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and done.stdout == "" and where in done.stderr


@pytest.mark.parametrize("processes", [1, 2])
def test_sighup_keeps_the_old_policy_for_a_bad_file_and_loads_a_good_one(
    served, tmp_path, processes
):
    path = tmp_path / "live.cedar"
    path.write_text(PERMIT_ALL)
    server = served("--policy", path, "--processes", processes, "--db", tmp_path / "v.db")
    client = VelkorClient(base_url=server.url, timeout=30)
    assert client.gate("shell").allow
    path.write_text(BAD)
    server.proc.send_signal(signal.SIGHUP)
    for _ in range(processes):
        refused = server.wait("err", "policy not reloaded")
        assert "the old one stays in force" in refused and f"{path}:3:" in refused
    assert client.gate("shell").allow
    path.write_text(PERMIT_ALL + 'forbid(principal, action, resource == Tool::"shell");')
    server.proc.send_signal(signal.SIGHUP)
    for _ in range(processes):
        server.wait("out", f"policy reloaded from {path}")
    fresh = [VelkorClient(base_url=server.url, timeout=30) for _ in range(8)]
    assert not any(c.gate("shell").allow for c in [client, *fresh])
    assert client.gate("search").allow
    for one in [client, *fresh]:
        one.close()


def _tamper(path, how):
    """Edits, deletes or inserts the audit row at seq 3, as someone with the file could."""
    with closing(sqlite3.connect(path)) as conn, conn:
        rows = conn.execute("SELECT seq, project, body FROM events ORDER BY seq").fetchall()
        seq, project, body = rows[2]
        if how == "edit":
            event = json.loads(body)
            event["reason"] = "nothing to see"
            conn.execute("UPDATE events SET body = ? WHERE seq = ?", (json.dumps(event), seq))
        elif how == "delete":
            conn.execute("DELETE FROM events WHERE seq = ?", (seq,))
        else:  # a genuine event copied in before the third
            conn.execute("UPDATE events SET seq = seq + 1000 WHERE seq >= ?", (seq,))
            conn.execute(
                "INSERT INTO events (seq, project, body) VALUES (?, ?, ?)",
                (seq, project, rows[0][2]),
            )


@pytest.mark.parametrize(("how", "events"), [("edit", 5), ("delete", 4), ("insert", 6)])
def test_a_changed_sqlite_audit_is_reported_at_its_seq(tmp_path, capsys, how, events):
    path = str(tmp_path / "audit.db")
    with VelkorClient(path=path, policy=RATE) as client:
        for _ in range(4):
            client.gate("send_email", agent_id="a1")
        client.observe(tool_name="send_email")
        assert client.verify_audit()["ok"]
    _tamper(path, how)
    expected = {"ok": False, "events": events, "first_bad_seq": 3}
    with VelkorClient(path=path) as client:
        assert client.verify_audit() == expected
    capsys.readouterr()
    assert main(["audit", "verify", "--db", path]) == 1
    assert json.loads(capsys.readouterr().out) == expected


APPENDER = """
import sys
from velkor_agent_hooks.client import VelkorClient
with VelkorClient(path=sys.argv[1], project=sys.argv[2], policy=sys.argv[3]) as client:
    print("ready", flush=True)
    sys.stdin.readline()
    for i in range(40):
        client.gate("send_email", agent_id=f"child-{i % 3}", tool_input={"i": i})
        client.observe(tool_name="send_email", fields={"i": i})
"""


@shared
def test_threads_and_processes_appending_leave_a_chain_that_verifies(db, tmp_path):
    project = f"chain-{uuid.uuid4().hex[:8]}"
    policy = tmp_path / "rate.cedar"
    policy.write_text(RATE)
    children = [
        subprocess.Popen(
            [sys.executable, "-c", APPENDER, db, project, str(policy)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(2)
    ]
    try:
        with VelkorClient(path=db, project=project, policy=policy) as client:
            assert [child.stdout.readline() for child in children] == ["ready\n"] * 2
            start = threading.Barrier(17)

            def work(n):
                start.wait()
                for i in range(10):
                    client.gate("send_email", agent_id=f"thread-{n % 4}", tool_input={"i": i})
                    client.observe(tool_name="send_email", fields={"n": n, "i": i})

            threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
            for thread in threads:
                thread.start()
            for child in children:
                child.stdin.write("go\n")
                child.stdin.close()
            start.wait()
            for thread in threads:
                thread.join()
            assert all(child.wait(timeout=120) == 0 for child in children)
            total = 2 * 80 + 16 * 20
            assert client.verify_audit() == {"ok": True, "events": total, "first_bad_seq": None}
            events = client.audit_events(kind="gate")
            # Each agent ran exactly 3 sends: no two appends read the same rate count.
            ran = dict.fromkeys(
                [f"child-{i}" for i in range(3)] + [f"thread-{i}" for i in range(4)], 0
            )
            for event in events:
                ran[event["agent_id"]] += event["allow"]
            assert set(ran.values()) == {3}, ran
    finally:
        for child in children:
            child.kill()
            child.wait()
            child.stdout.close()


def test_velkor_policy_check_and_test(tmp_path, bad_policy, capsys):
    path = tmp_path / "policies.cedar"
    path.write_text("\n".join(readme_blocks()))
    assert main(["policy", "check", str(path)]) == 0
    assert capsys.readouterr().out == f"{path}: 9 policies valid\n"
    assert main(["policy", "check", str(bad_policy)]) == 1
    assert capsys.readouterr().out.startswith(f"{bad_policy}:3: ")
    command = ["policy", "test", str(path), "--tool", "shell", "--agent", "a1"]
    assert main([*command, "--input", '{"command": "ls /etc"}']) == 0
    assert capsys.readouterr().out.splitlines()[:4] == [
        "outcome: ALLOWED",
        "reason: the shell may run ls",
        "policies: shell-ls",
        "shadow: DENIED (the shell stays out of /etc; policies: shell-no-etc)",
    ]
    assert main([*command, "--input", '{"command": "ls; rm -rf /"}']) == 1
    assert capsys.readouterr().out.startswith("outcome: DENIED\n")


def test_velkor_approvals_list_approve_and_deny(tmp_path, capsys):
    db = str(tmp_path / "v.db")
    with VelkorClient(path=db, policy=APPROVAL) as client:
        first, second = _ask(client), _ask(client, path="b.txt")
    assert main(["approvals", "list", "--db", db, "--status", "pending"]) == 0
    listed = capsys.readouterr().out.splitlines()
    assert sorted(line.split()[:3] for line in listed) == sorted(
        [[first, "pending", "delete_file"], [second, "pending", "delete_file"]]
    )
    assert main(["approvals", "approve", first, "--by", "ana", "--db", db]) == 0
    assert main(["approvals", "deny", second, "--by", "bo", "--note", "no", "--db", db]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{first}: approved by ana",
        f"{second}: denied by bo",
    ]
    assert main(["approvals", "approve", second, "--by", "ana", "--db", db]) == 1
    assert f"approval {second} is denied, not pending" in capsys.readouterr().err
    with VelkorClient(path=db, policy=APPROVAL) as client:
        ran = client.gate(
            "delete_file", agent_id="a1", tool_input={"path": "notes.txt"}, approval_id=first
        )
        assert ran.outcome == "APPROVED"
