"""The server as an attacker or a careless client meets it, and the transport against servers
that misbehave: keys, project isolation, framing, limits, deadlines, connection reuse, load."""

import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from velkor_agent_hooks.client import (
    ServerLimits,
    VelkorClient,
    VelkorConnectionError,
    VelkorHTTPError,
    VelkorProtocolError,
    VelkorTimeout,
    _transport,
    serve,
)

KEY = "test-key-0123456789abcdef"
REMEMBER = b'{"turns": [{"text": "smuggled"}]}'
SMUGGLED = (
    b"POST /v1/remember HTTP/1.1\r\nHost: x\r\nX-Velkor-Project: default\r\n"
    b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s" % (len(REMEMBER), REMEMBER)
)


def _exchange(server, data, wait=5.0):
    """Sends raw bytes on one connection; everything the server wrote until it hung up."""
    with socket.create_connection((server.host, server.port), timeout=wait) as sock:
        sock.sendall(data)
        chunks = []
        try:
            while chunk := sock.recv(65536):
                chunks.append(chunk)
        except TimeoutError:
            pass
    return b"".join(chunks)


def _statuses(reply):
    return [int(s) for s in re.findall(rb"^HTTP/1\.1 (\d{3})", reply, re.MULTILINE)]


@pytest.fixture
def server():
    with serve(deny_tools=["shell"]) as running:
        yield running


def _stored(server, project="default", api_key=None):
    client = VelkorClient(base_url=server.url, project=project, api_key=api_key)
    with client:
        return len(client.memories()), len(client.audit_events())


class TestKeys:
    def test_wrong_or_missing_key_gets_401_and_changes_nothing(self):
        with serve(api_key=KEY) as server:
            for key in (None, "wrong-key-0123456789abcdef", KEY + "x", KEY[:-1], KEY.upper()):
                with VelkorClient(base_url=server.url, api_key=key) as intruder:
                    for attempt in (
                        lambda c: c.remember("card 4111 1111 1111 1111"),
                        lambda c: c.observe(tool_name="pay", outcome_status="SUCCESS"),
                        lambda c: c.put_item(("users",), "bob", {"card": "4111"}),
                        lambda c: c.delete_item(("users",), "bob"),
                        lambda c: c.memories(),
                        lambda c: c.doctor(),
                    ):
                        with pytest.raises(VelkorHTTPError) as info:
                            attempt(intruder)
                        assert info.value.status == 401
            basic = _exchange(
                server,
                b"GET /v1/doctor HTTP/1.1\r\nHost: x\r\nX-Velkor-Project: default\r\n"
                b"Authorization: Basic " + KEY.encode() + b"\r\nConnection: close\r\n\r\n",
            )
            assert _statuses(basic) == [401] and b"www-authenticate: Bearer" in basic
            with VelkorClient(base_url=server.url, api_key=KEY) as owner:
                report = owner.doctor()
                assert (report["memories"], report["audit_events"]) == (0, 0)
                assert owner.get_item(("users",), "bob") is None
                owner.put_item(("users",), "bob", {"ok": True})
            lower = _exchange(
                server,
                b"GET /v1/doctor HTTP/1.1\r\nHost: x\r\nX-Velkor-Project: default\r\n"
                b"Authorization: bearer " + KEY.encode() + b"\r\nConnection: close\r\n\r\n",
            )
            assert _statuses(lower) == [200]

    def test_client_takes_the_key_from_the_environment(self, monkeypatch):
        with serve(api_key=KEY) as server:
            monkeypatch.setenv("VELKOR_BASE_URL", server.url)
            monkeypatch.setenv("VELKOR_API_KEY", KEY)
            with VelkorClient.from_env() as client:
                assert client.remember("hello")["stored"] is True

    @pytest.mark.parametrize("host", ["0.0.0.0", "", "::"])
    def test_refuses_a_non_loopback_address_without_a_key(self, host):
        with pytest.raises(ValueError, match="without an API key"):
            serve(host)

    def test_keys_must_be_long_enough_to_guess_badly(self):
        for key in ("short", "sixteen chars  !", "x" * 15):
            with pytest.raises(ValueError, match="at least 16"):
                serve(api_key=key)

    def test_command_line_refuses_too(self):
        command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
        command += ["--host", "0.0.0.0", "--db", ":memory:"]
        env = {k: v for k, v in os.environ.items() if k != "VELKOR_API_KEY"}
        done = subprocess.run(command, capture_output=True, text=True, timeout=30, env=env)
        assert done.returncode == 1 and "without an API key" in done.stderr


def _durable(tmp_path):
    path = str(tmp_path / "shared.db")
    try:
        VelkorClient(path=path).close()
    except NotImplementedError:
        pytest.skip("durable storage is not available in this build")
    return path


class TestProjects:
    @pytest.mark.parametrize("db", ["memory", "file"])
    def test_no_project_sees_or_changes_another(self, db, tmp_path):
        path = _durable(tmp_path) if db == "file" else None
        with serve(project=["alpha", "beta"], db=path) as server:
            a = VelkorClient(base_url=server.url, project="alpha", agent_id="a")
            b = VelkorClient(base_url=server.url, project="beta", agent_id="b")
            with a, b:
                a.remember("alpha secret token 42", session_id="s")
                a.put_item(("users", "bob"), "card", {"number": "4111"})
                a.gate("pay", tool_input={"token": "t0ken"})
                assert b.memories() == [] and b.audit_events() == []
                assert b.context("secret token").status == "empty"
                assert b.get_item(("users", "bob"), "card") is None
                assert b.search_items(()) == [] and b.list_namespaces() == []
                assert b.delete_item(("users", "bob"), "card") is False
                b.put_item(("users", "bob"), "card", {"number": "forged"})
                b.remember("forged memory", session_id="s")
                assert a.get_item(("users", "bob"), "card")["value"] == {"number": "4111"}
                assert a.context("").text == "alpha secret token 42"
                assert (a.doctor()["memories"], b.doctor()["memories"]) == (1, 1)

    def test_project_header_is_required_and_must_be_served(self, server):
        head = b"GET /v1/memories HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        missing = _exchange(server, head + b"\r\n")
        assert _statuses(missing) == [400] and b"X-Velkor-Project" in missing
        for name in (b"", b"other", b"%ff", b"*"):
            reply = _exchange(server, head + b"X-Velkor-Project: " + name + b"\r\n\r\n")
            assert _statuses(reply)[0] in (400, 409), name


class TestFraming:
    @pytest.mark.parametrize(
        "head",
        [
            b"GET /v1/doctor HTTP/1.1\r\nContent-Length: %d\r\n" % len(SMUGGLED),
            b"POST /v1/context HTTP/1.1\r\nContent-Length: 1_6\r\n",
            b"POST /v1/context HTTP/1.1\r\nContent-Length: +16\r\n",
            b"POST /v1/context HTTP/1.1\r\nContent-Length: 0x10\r\n",
            b"POST /v1/context HTTP/1.1\r\nContent-Length: 16, 16\r\n",
            b"POST /v1/context HTTP/1.1\r\nContent-Length: 16\r\nContent-Length: 17\r\n",
            b"POST /v1/context HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n",
        ],
        ids=["get-body", "underscore", "plus", "hex", "list", "twice", "with-chunked"],
    )
    def test_a_body_never_becomes_a_second_request(self, server, head):
        head += b"Host: x\r\nX-Velkor-Project: default\r\n\r\n"
        reply = _exchange(server, head + SMUGGLED, wait=2)
        assert _statuses(reply) == [400], reply
        assert _stored(server) == (0, 0)

    def test_nested_json_is_refused_with_400(self, server):
        with VelkorClient(base_url=server.url) as client:
            for depth in (100_000, 200):
                body = b'{"tool_name": "t", "tool_input": {"a": %s1%s}}' % (
                    b"[" * depth,
                    b"]" * depth,
                )
                head = b"POST /v1/gate HTTP/1.1\r\nHost: x\r\nX-Velkor-Project: default\r\n"
                head += b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(body)
                reply = _exchange(server, head + body)
                assert _statuses(reply) == [400] and b"nested" in reply
            assert client.audit_events() == []
            client.gate("t", tool_input={"a": [[[[1]]]]})
            assert client.audit_events()[0]["tool_input"] == {"a": [[[[1]]]]}

    def test_limits_answer_clearly_and_store_nothing(self):
        limits = ServerLimits(max_body=2000, max_turns=3, max_header_bytes=4096)
        with serve(limits=limits) as server, VelkorClient(base_url=server.url) as client:
            with pytest.raises(VelkorHTTPError, match="at most 3 turns") as info:
                client.remember_turns([{"text": f"t{i}"} for i in range(4)])
            assert info.value.status == 413
            with pytest.raises(VelkorHTTPError, match="at most 2000 bytes") as info:
                client.remember("x" * 3000)
            assert info.value.status == 413
            huge = b"POST /v1/remember HTTP/1.1\r\nHost: x\r\nX-Velkor-Project: default\r\n"
            assert _statuses(_exchange(server, huge + b"Content-Length: 99999999\r\n\r\n")) == [413]
            long_head = b"GET /v1/doctor HTTP/1.1\r\nX-Junk: " + b"j" * 8000 + b"\r\n\r\n"
            assert _statuses(_exchange(server, long_head)) == [431]
            assert client.remember_turns([{"text": "a"}, {"text": "b"}])["stored"] == 2
            assert _stored(server) == (2, 0)

    def test_slow_heads_and_bodies_are_cut_off(self):
        limits = ServerLimits(header_timeout=0.3, body_timeout=0.3)
        with serve(limits=limits) as server:
            for partial in (
                b"",
                b"GET /v1/doc",
                b"POST /v1/remember HTTP/1.1\r\nX-Velkor-Project: default\r\n"
                b"Content-Length: 50\r\n\r\n{",
            ):
                began = time.monotonic()
                reply = _exchange(server, partial, wait=5)
                assert time.monotonic() - began < 4  # cut off, not left to our own 5 s wait
                assert _statuses(reply) in ([], [408]), reply
            assert _stored(server) == (0, 0)


class TestPages:
    def test_listings_page_and_the_client_follows(self):
        with (
            serve(limits=ServerLimits(max_page=3)) as server,
            VelkorClient(base_url=server.url) as c,
        ):
            c.remember_turns([{"text": f"m{i}"} for i in range(10)])
            for i in range(7):
                c.observe(tool_name=f"t{i}")
            assert [m["text"] for m in c.memories()] == [f"m{i}" for i in range(10)]
            assert [e["tool_name"] for e in c.audit_events()] == [f"t{i}" for i in range(7)]

            def get(query):
                head = f"GET /v1/memories{query} HTTP/1.1\r\nX-Velkor-Project: default\r\n"
                reply = _exchange(server, head.encode() + b"Connection: close\r\n\r\n")
                return _statuses(reply)[0], json.loads(reply.partition(b"\r\n\r\n")[2])

            status, page = get("?limit=2&offset=1")
            assert status == 200
            assert [m["text"] for m in page["memories"]] == ["m1", "m2"]
            assert page["next_offset"] == 3
            status, page = get("?offset=8&limit=50")
            assert status == 200 and len(page["memories"]) == 2 and page["next_offset"] is None
            for bad in ("?limit=abc", "?limit=0", "?limit=1_6", "?limit=-1", "?foo=1", "?limit"):
                assert get(bad)[0] == 400, bad


def _stub(reply):
    """A raw server: after each request's head, runs reply(sock). Returns (url, stop)."""
    listener = socket.create_server(("127.0.0.1", 0))
    stopped = threading.Event()

    def run():
        listener.settimeout(0.1)
        while not stopped.is_set():
            try:
                sock, _ = listener.accept()
            except TimeoutError:
                continue
            with sock:
                data = b""
                while b"\r\n\r\n" not in data:
                    data += sock.recv(4096) or b"\r\n\r\n"
                try:
                    reply(sock, stopped)
                except OSError:
                    pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def stop():
        stopped.set()
        thread.join()
        listener.close()

    return f"http://127.0.0.1:{listener.getsockname()[1]}", stop


def _trickle(head):
    def reply(sock, stopped):
        sock.sendall(head)
        for _ in range(100):
            if stopped.wait(0.1):
                return
            sock.sendall(b" ")

    return reply


class TestTransport:
    @pytest.mark.parametrize(
        "head",
        [b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{", b"HTTP/1.1 200 OK\r\nX-Slow: "],
        ids=["body", "head"],
    )
    def test_a_trickling_server_cannot_stretch_the_timeout(self, head):
        url, stop = _stub(_trickle(head))
        try:
            began = time.monotonic()
            with pytest.raises(VelkorTimeout):
                VelkorClient(base_url=url, timeout=1).doctor()
            assert time.monotonic() - began < 5  # the trickle alone would last 10 s
        finally:
            stop()

    @pytest.mark.parametrize(
        ("body", "match"),
        [(b"[" * 100_000 + b"]" * 100_000, "nested too deeply"), (b"[" * 600 + b"]" * 600, "deep")],
    )
    def test_deep_replies_are_protocol_errors(self, body, match):
        def reply(sock, stopped):
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

        url, stop = _stub(reply)
        try:
            with pytest.raises(VelkorProtocolError, match=match):
                VelkorClient(base_url=url).doctor()
        finally:
            stop()

    def test_oversized_replies_are_refused_unread(self):
        def reply(sock, stopped):
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n{" % (2**40))

        url, stop = _stub(reply)
        try:
            with pytest.raises(VelkorProtocolError, match="over"):
                VelkorClient(base_url=url).doctor()
        finally:
            stop()

    def test_connections_are_kept_alive_and_stale_ones_replaced(self, monkeypatch):
        with serve(limits=ServerLimits(keep_alive=0.2)) as server:
            connections = server._uvicorn.server_state.connections
            with VelkorClient(base_url=server.url) as client:
                for i in range(20):
                    client.remember(f"note {i}")
                    client.doctor()
                assert len(connections) == 1
                _wait_until(lambda: len(connections) == 0)  # the server closed the idle one
                assert client.doctor()["memories"] == 20
                # A connection closed while it looked usable: a GET is sent again; a POST
                # only when the server cannot have read it, so never stored twice.
                monkeypatch.setattr(_transport, "_readable", lambda conn: False)
                _wait_until(lambda: len(connections) == 0)
                assert client.doctor()["memories"] == 20
                _wait_until(lambda: len(connections) == 0)
                try:
                    client.remember("once")
                except VelkorConnectionError:
                    pass
                assert client.doctor()["memories"] in (20, 21)
                assert sum(m["text"] == "once" for m in client.memories()) <= 1


def test_threads_lose_no_acknowledged_write(server):
    shared = VelkorClient(base_url=server.url, timeout=10)
    acknowledged: list[set] = [set() for _ in range(16)]
    items: list[dict] = [{} for _ in range(16)]
    errors = []
    stop_at = time.monotonic() + 2.0

    def work(n):
        client = shared if n % 2 else VelkorClient(base_url=server.url, timeout=10)
        i = 0
        try:
            while time.monotonic() < stop_at:
                acknowledged[n].add(client.remember(f"t{n} i{i}", session_id=f"s{n}")["id"])
                client.put_item(("t", str(n)), f"k{i % 7}", {"i": i})
                items[n][f"k{i % 7}"] = i
                assert client.get_item(("t", str(n)), f"k{i % 7}")["value"] == {"i": i}
                client.context(f"i{i}", session_id=f"s{n}")
                i += 1
        except Exception as exc:
            errors.append(exc)
        finally:
            if client is not shared:
                client.close()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    stored = {m["id"] for m in shared.memories()}
    assert stored == set().union(*acknowledged) and len(stored) > 16
    for n in range(16):
        found = {i["key"]: i["value"]["i"] for i in shared.search_items(("t", str(n)), limit=50)}
        assert found == items[n]
    shared.close()


_HOLDER = """
import socket, sys
host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
held = []
for i in range(count):
    s = socket.create_connection((host, port))
    if i % 3 == 1:
        s.sendall(b"POST /v1/remember HTTP/1.1\\r\\nX-Velkor-Pro")
    elif i % 3 == 2:
        s.sendall(b"POST /v1/remember HTTP/1.1\\r\\nX-Velkor-Project: default\\r\\n"
                  b"Content-Length: 100\\r\\n\\r\\n{\\"turns\\": [")
    held.append(s)
print("ready", flush=True)
sys.stdin.read()
"""


def test_ten_thousand_idle_or_half_sent_connections_do_not_delay_others():
    # The holder is another process: each side then needs only 10,000 descriptors.
    count = 10_000
    limits = ServerLimits(header_timeout=120, body_timeout=120)
    with serve(limits=limits) as server, VelkorClient(base_url=server.url, timeout=15) as client:
        with subprocess.Popen(
            [sys.executable, "-c", _HOLDER, server.host, str(server.port), str(count)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        ) as holder:
            assert holder.stdout.readline().strip() == "ready"
            connections = server._uvicorn.server_state.connections
            _wait_until(lambda: len(connections) >= count, seconds=60)
            try:
                # The client's timeout is far below the held connections' 120 s ones: an
                # answer at all means nobody waited for them.
                client.remember("still served")
                client.doctor()
            finally:
                holder.kill()  # all 10,000 close at once
        assert client.doctor()["memories"] == 1
        assert _stored(server) == (1, 0)


def test_sigterm_finishes_the_request_in_flight():
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
    command += ["--db", ":memory:"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://(127\.0\.0\.1):(\d+)", proc.stdout.readline())
        address = (url.group(1), int(url.group(2)))
        body = b'{"turns": [{"text": "in flight"}]}'
        with socket.create_connection(address, timeout=10) as sock:
            head = b"POST /v1/remember HTTP/1.1\r\nX-Velkor-Project: default\r\n"
            sock.sendall(head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:10])
            time.sleep(0.2)
            proc.send_signal(signal.SIGTERM)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:  # wait until it stops accepting
                try:
                    socket.create_connection(address, timeout=1).close()
                except (ConnectionRefusedError, ConnectionResetError):
                    break  # a reset: the listener closed with this connection in its backlog
                time.sleep(0.05)
            else:
                pytest.fail("still accepting after SIGTERM")
            sock.sendall(body[10:])
            reply = sock.recv(65536)
        assert _statuses(reply) == [200] and b'"stored":1' in reply
        out, err = proc.communicate(timeout=20)
    finally:
        _reap(proc)
    assert proc.returncode == 0 and "stopped" in out, err


def _wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.02)


def _reap(proc):
    # Kill, wait and close the pipes, so a failed test leaves nothing running for the next one.
    proc.kill()
    proc.communicate(timeout=20)


def _start_processes(*args):
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
    proc = subprocess.Popen(
        [*command, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    found = re.search(
        r"http://(127\.0\.0\.1):(\d+) \(processes ([\d, ]+)\)", proc.stdout.readline()
    )
    if found is None:
        proc.kill()
        pytest.fail(f"did not start: {proc.communicate(timeout=20)}")
    pids = {int(p) for p in found.group(3).split(", ")}
    return proc, (found.group(1), int(found.group(2))), pids


def _call(conn, method, path, body=None):
    headers = {"X-Velkor-Project": "default", "Content-Type": "application/json"}
    conn.request(method, path, body=json.dumps(body) if body is not None else None, headers=headers)
    reply = conn.getresponse()
    return int(reply.getheader("X-Velkor-Pid")), reply.status, json.loads(reply.read())


def _gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


class TestProcesses:
    def test_two_processes_share_a_port_and_a_file(self, tmp_path):

        proc, address, pids = _start_processes("--processes", "2", "--db", _durable(tmp_path))
        conns = [http.client.HTTPConnection(*address, timeout=10) for _ in range(32)]
        try:
            assert len(pids) == 2
            acknowledged, served, errors = set(), {}, []

            def write(n, conn):
                try:
                    for i in range(5):
                        text = f"c{n} w{i}"
                        pid, status, _ = _call(
                            conn, "POST", "/v1/remember", {"turns": [{"text": text}]}
                        )
                        assert status == 200
                        served[n] = pid
                        acknowledged.add(text)
                except Exception as exc:
                    errors.append(exc)

            threads = [threading.Thread(target=write, args=(n, c)) for n, c in enumerate(conns)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert errors == [] and len(acknowledged) == 160
            # The kernel spreads connections by their addresses: 32 all on one is 1 in 2**31.
            assert set(served.values()) == pids
            for pid in pids:
                conn = conns[next(n for n, p in served.items() if p == pid)]
                who, status, page = _call(conn, "GET", "/v1/memories?limit=1000")
                assert (who, status) == (pid, 200)
                assert {m["text"] for m in page["memories"]} == acknowledged
            # A request half-sent when SIGTERM comes is still answered, by whichever child.
            body = b'{"turns": [{"text": "in flight"}]}'
            with socket.create_connection(address, timeout=10) as sock:
                head = b"POST /v1/remember HTTP/1.1\r\nX-Velkor-Project: default\r\n"
                sock.sendall(head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:10])
                time.sleep(0.2)
                proc.send_signal(signal.SIGTERM)
                time.sleep(0.3)
                sock.sendall(body[10:])
                reply = sock.recv(65536)
            assert _statuses(reply) == [200] and b'"stored":1' in reply
            out, err = proc.communicate(timeout=40)
            assert proc.returncode == 0 and "stopped" in out, err
            assert all(_gone(pid) for pid in pids)
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection(address, timeout=1).close()
        finally:
            _reap(proc)
            for conn in conns:
                conn.close()

    def test_a_process_that_dies_stops_the_rest(self, tmp_path):
        proc, _, pids = _start_processes("--processes", "2", "--db", _durable(tmp_path))
        try:
            victim, other = sorted(pids)
            os.kill(victim, signal.SIGKILL)
            _, err = proc.communicate(timeout=40)
            assert proc.returncode == 1 and f"{victim} was killed by signal 9" in err
            assert _gone(other)
        finally:
            _reap(proc)

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (["--processes", "2", "--db", ":memory:"], "needs a database the processes share"),
            (["--processes", "0", "--db", ":memory:"], "at least 1"),
        ],
    )
    def test_refused_settings(self, args, message):
        command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
        done = subprocess.run([*command, *args], capture_output=True, text=True, timeout=30)
        assert done.returncode == 1 and message in done.stderr and done.stdout == ""
