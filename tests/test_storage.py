"""One suite for every storage: SQLite in memory, a SQLite file, and a real PostgreSQL server
of the tests' own. Driven through VelkorClient, so the checks in front of storage run too."""

import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import uuid
from contextlib import closing
from datetime import UTC, datetime, timedelta

import pytest

from velkor_agent_hooks.client import VelkorClient, serve
from velkor_agent_hooks.service import store as keyed
from velkor_agent_hooks.service.clock import stamp
from velkor_agent_hooks.service.storage.common import CANDIDATES
from velkor_agent_hooks.service.storage.migrations import LATEST, MIGRATIONS, SchemaTooNew
from velkor_agent_hooks.service.storage.postgres import POOL_SIZE

# A private in-memory database has one storage only.
shared = pytest.mark.parametrize("db", ["sqlite-file", "postgresql"], indirect=True)


@pytest.fixture
def open_client(db, request):
    """Clients on the test's database; each test has a project of its own (PostgreSQL's
    database is shared by the whole session)."""
    base = f"test-{uuid.uuid4().hex[:8]}"

    def make(project="", **kwargs):
        client = VelkorClient(path=db, project=base + project, **kwargs)
        request.addfinalizer(client.close)
        return client

    return make


@pytest.fixture
def client(open_client):
    return open_client(deny_tools=["shell"])


def texts(result):
    return result.text.split("\n") if result.text else []


class TestMemories:
    def test_ranking_budget_and_ties(self, client):
        # Sessions of their own: turns of one session also lend each other relevance.
        for n, text in enumerate(
            ["my cat is called Tom", "Tom the cat likes FISH", "unrelated note", "Tom has a cat"]
        ):
            client.remember(text, session_id=f"s{n}")
        assert texts(client.context("cat, Tom, fish?")) == [
            "Tom the cat likes FISH",
            "Tom has a cat",
            "my cat is called Tom",
        ]
        client.remember("apple pie")
        client.remember("apple " + "x" * 38)  # same length in words: newest first
        assert texts(client.context("apple", max_tokens=14)) == ["apple " + "x" * 38, "apple pie"]
        assert texts(client.context("apple", max_tokens=3)) == ["apple pie"]
        assert client.context("APPLÉ", max_tokens=3).text == "apple pie"  # case and accents
        assert client.context("zebra").status == "empty"

    def test_empty_query_is_recency_and_session_narrows(self, client):
        for i in range(100):
            client.remember(f"note {i}", session_id="a" if i % 2 else "b")
        assert texts(client.context("", max_tokens=4)) == ["note 98", "note 99"]
        assert texts(client.context("...", max_tokens=4)) == ["note 98", "note 99"]
        assert texts(client.context("", max_tokens=4, session_id="b")) == ["note 96", "note 98"]
        (found,) = texts(client.context("note", max_tokens=2, session_id="a"))
        assert int(found.split()[1]) % 2 == 1
        assert client.context("note", session_id="c").status == "empty"
        assert len(texts(client.context(""))) == 100

    def test_query_text_is_never_search_syntax(self, client):
        client.remember('said "NEAR(a b)" AND -x OR col:y*')
        for query in ['"', "NEAR(a b)", "AND OR NOT", "-x", "col:y*", "y*", "(", "^a", "_"]:
            result = client.context(query)
            assert result.status in ("ok", "empty")
        assert client.context("near").hits == 1
        assert client.context("'x'").hits == 1

    def test_a_rare_word_is_found_behind_many_common_matches(self, client):
        client.remember("common words and one rare platypus")
        client.remember_turns([{"text": f"common words {i}"} for i in range(CANDIDATES + 200)])
        assert texts(client.context("rare platypus common", max_tokens=9)) == [
            "common words and one rare platypus"
        ]

    def test_concurrent_writers_lose_nothing(self, client):
        def work(n):
            for i in range(25):
                client.remember(f"thread {n} item {i}", session_id=f"t{n}")
                client.observe(tool_name="t", fields={"n": n, "i": i})

        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert client.doctor()["memories"] == 200 and len(client.audit_events()) == 200
        assert client.context("thread 7 item 24").text.startswith("thread 7 item 24")


def test_audit_keeps_every_field_in_order(client):
    client.gate("search", tool_input={"q": "é", "n": [1, 2.5, None, True]}, trace_id="t")
    client.gate("shell")
    client.observe(tool_name="search", fields={"deep": {"x": "\u00e9\u4e2d"}})
    gate, denied, observed = client.audit_events()
    assert (gate["tool_input"], gate["trace_id"]) == ({"q": "é", "n": [1, 2.5, None, True]}, "t")
    assert (denied["allow"], denied["outcome"]) == (False, "DENIED")
    assert observed["fields"] == {"deep": {"x": "é中"}}


class TestKeyedStore:
    def test_put_get_delete_last_write_wins(self, client):
        first = client.put_item(("users", "ana"), "prefs", {"food": "pizza"})
        again = client.put_item(("users", "ana"), "prefs", {"food": "soup"})
        assert again["created_at"] == first["created_at"] <= again["updated_at"]
        got = client.get_item(("users", "ana"), "prefs")
        assert got == {**again, "value": {"food": "soup"}} and got["namespace"] == ("users", "ana")
        assert client.get_item(("users", "bob"), "prefs") is None
        assert client.delete_item(("users", "ana"), "prefs") is True
        assert client.delete_item(("users", "ana"), "prefs") is False
        assert client.get_item(("users", "ana"), "prefs") is None
        assert client.search_items(query="soup") == []

    def test_search_prefix_filter_query_and_pages(self, client):
        client.put_item(("a", "x"), "1", {"kind": "note", "text": "red apples", "n": 1})
        client.put_item(("a", "y"), "2", {"kind": "note", "text": "green apples", "n": 1.0})
        client.put_item(("ab",), "3", {"kind": "note", "text": "apples apples", "n": True})
        client.put_item(("a", "x"), "4", {"kind": "todo", "text": "buy pears", "n": "1"})
        client.put_item(("a", "x"), "1", {"kind": "note", "text": "red apples", "n": 1})

        def keys(*args, **kwargs):
            return [i["key"] for i in client.search_items(*args, **kwargs)]

        assert keys() == ["1", "4", "3", "2"]  # most recently updated first
        assert keys(("a",)) == ["1", "4", "2"] and keys(("a", "x")) == ["1", "4"]
        assert keys(filter={"n": 1}) == ["1", "3", "2"]  # 1 == 1.0 == True, not "1"
        assert keys(filter={"kind": "note", "n": "1"}) == []
        assert keys(limit=2, offset=1) == ["4", "3"] and keys(offset=9) == []
        hits = client.search_items(("a",), query="apples red")
        assert [h["key"] for h in hits] == ["1", "2"]
        assert hits[0]["score"] > hits[1]["score"] > 0 and type(hits[0]["score"]) is float
        assert client.search_items(query="pears")[0]["key"] == "4"
        assert keys(query="apples", filter={"kind": "note"}) == ["3", "1", "2"]  # tf, then recency
        assert keys(query="apples", filter={"kind": "note"}, limit=1, offset=1) == ["1"]
        assert keys(query="zebra") == [] and keys(query="") == keys()
        assert all(i["score"] is None for i in client.search_items())

    def test_word_search_in_a_batch_sees_its_earlier_writes(self, client):
        def put(key, text):
            return ("put_item", {"namespace": ("n",), "key": key, "value": {"t": text}})

        def find(query):
            return ("search_items", {"namespace_prefix": ("n",), "query": query})

        client.put_item(("n",), "old", {"t": "plums"})
        results = client.batch_items(
            [put("a", "figs"), put("a", "dates"), ("delete_item", {"namespace": ("n",),
             "key": "old"}), find("dates"), find("figs"), find("plums"), put("b", "figs"),
             ("delete_item", {"namespace": ("n",), "key": "b"}), put("c", "plums")]
        )  # fmt: skip
        assert [[i["key"] for i in found] for found in results[3:6]] == [["a"], [], []]
        after = {q: [i["key"] for i in client.search_items(query=q)] for q in ("figs", "plums")}
        assert after == {"figs": [], "plums": ["c"]}

    def test_a_batch_reads_its_own_writes_and_renews_what_it_reads(self, client, monkeypatch):
        clock = [datetime.now(UTC)]
        monkeypatch.setattr(keyed, "now", lambda: stamp(clock[0]))
        ns = ("n",)
        client.put_item(ns, "old", {"t": 1}, ttl=60)
        clock[0] += timedelta(seconds=50)
        results = client.batch_items(
            [("put_item", {"namespace": ns, "key": "a", "value": {"t": 2}}),
             ("get_item", {"namespace": ns, "key": "old", "refresh_ttl": True}),
             ("search_items", {"namespace_prefix": ns, "limit": 1, "offset": 1}),
             ("list_namespaces", {}),
             ("delete_item", {"namespace": ns, "key": "a"}),
             ("get_item", {"namespace": ns, "key": "a"}),
             ("delete_item", {"namespace": ns, "key": "a"})]
        )  # fmt: skip
        assert results[0]["key"] == "a" and results[1]["value"] == {"t": 1}
        assert [i["key"] for i in results[2]] == ["old"] and results[3] == [ns]
        assert results[4:] == [True, None, False]
        clock[0] += timedelta(seconds=50)  # past the first expiry, not the renewed one
        assert client.get_item(ns, "old")["value"] == {"t": 1}

    def test_filters_follow_python_equality(self, client):
        values = [
            {"v": None}, {}, {"v": [1, {"a": 2}]}, {"v": {"b": 1, "a": [True]}},
            {"v": 0}, {"v": False}, {"v": 2**70}, {'we"ird.key': "x"}, {"v": "0"},
        ]  # fmt: skip
        for index, value in enumerate(values):
            client.put_item(("f",), str(index), value)

        def keys(filter):
            return sorted(i["key"] for i in client.search_items(filter=filter, limit=99))

        assert keys({"v": None}) == ["0", "1", "7"]  # missing reads as null, as in LangGraph
        assert keys({"v": [1, {"a": 2}]}) == ["2"]
        assert keys({"v": {"a": [1]}}) == ["3"]  # an object matches part of one
        assert keys({"v": 0.0}) == ["4", "5"]
        assert keys({"v": 2**70}) == ["6"]
        assert keys({'we"ird.key': "x"}) == ["7"]

    def test_list_namespaces(self, client):
        for ns in [("a", "b", "c"), ("a", "b"), ("a", "d", "c"), ("a-b",), ("z", "c")]:
            client.put_item(ns, "k", {})
        ls = client.list_namespaces
        assert ls() == [("a", "b"), ("a", "b", "c"), ("a", "d", "c"), ("a-b",), ("z", "c")]
        assert ls(prefix=("a",)) == [("a", "b"), ("a", "b", "c"), ("a", "d", "c")]
        assert ls(prefix=("a", "*", "c")) == [("a", "b", "c"), ("a", "d", "c")]
        assert ls(suffix=("c",)) == [("a", "b", "c"), ("a", "d", "c"), ("z", "c")]
        assert ls(prefix=("*",), suffix=("*", "c")) == ls(suffix=("c",))
        assert ls(max_depth=1) == [("a",), ("a-b",), ("z",)]
        assert ls(prefix=("a",), max_depth=2) == [("a", "b"), ("a", "d")]
        assert ls(limit=2, offset=2) == [("a", "d", "c"), ("a-b",)]
        assert ls(prefix=("q",)) == []


@shared
def test_projects_never_see_each_other(open_client):
    ana, bob = open_client("-ana"), open_client("-bob")
    ana.remember("secret plan", session_id="s")
    ana.gate("search")
    ana.put_item(("n",), "k", {"t": "secret"})
    for client, mine in ((bob, 0), (ana, 1)):
        assert client.context("secret plan").hits == mine
        assert client.context("", session_id="s").hits == mine
        assert (len(client.memories()), len(client.audit_events())) == (mine, mine)
        assert len(client.search_items(query="secret")) == mine
        assert len(client.search_items()) == len(client.list_namespaces()) == mine
        assert (client.get_item(("n",), "k") is not None) == bool(mine)
    assert bob.delete_item(("n",), "k") is False
    bob.put_item(("n",), "k", {"t": "bob's"})
    assert ana.get_item(("n",), "k")["value"] == {"t": "secret"}


def test_bad_input_is_refused_and_nothing_is_stored(client, db):
    bad = [
        (lambda: client.remember("lone \ud800"), ValueError),
        (lambda: client.remember_turns([{"text": "ok"}, {"text": "\udfff"}]), ValueError),
        (lambda: client.remember("x", session_id="\ud800"), ValueError),
        (lambda: client.put_item(("n",), "k", {"t": "\ud800"}), ValueError),
        (lambda: client.put_item(("n",), "k\udc00", {}), ValueError),
        (lambda: client.put_item(("n",), "k", {"t": float("nan")}), ValueError),
        (lambda: client.put_item(("n",), "k", {"t": [{"u": (1, 2)}]}), TypeError),
        (lambda: client.put_item(("n",), "k", {"t": {1: "x"}}), TypeError),
        (lambda: client.put_item(("n",), "k", {"é\ud800": 1}), ValueError),
        (lambda: client.put_item(("n",), "k", {"t": 10**5000}), ValueError),
        (lambda: client.gate("t", tool_input={"x": "\ud800"}), ValueError),
        (lambda: client.observe(tool_name="t", fields={"x": object()}), TypeError),
        (lambda: client.context("q", max_tokens=-1), ValueError),
        (lambda: client.search_items(limit=-1), ValueError),
    ]
    if db is not None and db.startswith("postgresql"):
        bad.append((lambda: client.remember_turns([{"text": "a"}, {"text": "b\x00"}]), ValueError))
        bad.append((lambda: client.put_item(("n",), "k", {"a\x00": 1}), ValueError))
        put = ("put_item", {"namespace": ("n",), "key": "k", "value": {}})
        nul = ("put_item", {"namespace": ("n",), "key": "k\x00", "value": {}})
        bad.append((lambda: client.batch_items([put, put, nul]), ValueError))
    for call, error in bad:
        with pytest.raises(error):
            call()
    assert (client.doctor()["memories"], client.doctor()["audit_events"]) == (0, 0)
    assert client.search_items() == [] and client.context("").status == "empty"


def test_sqlite_keeps_nul_and_reads_damaged_rows(tmp_path):
    path = str(tmp_path / "v.db")
    with VelkorClient(path=path) as client:
        client.remember("a\x00b")
        client.put_item(("n",), "k", {"t": "x"})
        client.gate("t")
    with sqlite3.connect(path) as raw:  # another program damages the file's contents
        raw.execute("UPDATE memories SET text = CAST(x'61ff62' AS TEXT)")
        raw.execute("UPDATE events SET body = 'not json'")
        raw.execute("UPDATE items SET value = '[1]'")
    raw.close()
    with VelkorClient(path=path) as client:
        assert client.context("").text == "a\ufffdb"
        assert client.memories()[0]["text"] == "a\ufffdb"
        assert client.audit_events() == [{"unreadable": "not json"}]
        assert client.get_item(("n",), "k")["value"] == {"unreadable": "[1]"}


# Several processes


def start_server(db, project):
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "serve", "--port", "0"]
    command += ["--db", db, "--project", project]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    match = re.search(r"https?://\S+", line)
    if match is None:
        process.kill()
        process.wait()
        raise AssertionError(f"server did not announce its URL: {line!r}")
    return process, match.group(0)


@pytest.fixture
def servers():
    running = []

    def start(db, project="default"):
        process, url = start_server(db, project)
        running.append(process)
        return process, VelkorClient(base_url=url, project=project, timeout=30)

    yield start
    for process in running:
        process.kill()
        process.wait()
        process.stdout.close()


@shared
def test_server_killed_keeps_every_acknowledged_write(db, servers):
    project = f"kill-{uuid.uuid4().hex[:8]}"
    process, client = servers(db, project)
    for i in range(20):
        client.remember(f"memory {i}")
        client.gate(f"tool{i}")
    client.put_item(("n",), "k", {"v": 1})
    process.send_signal(signal.SIGKILL)
    process.wait()
    _, again = servers(db, project)
    assert [m["text"] for m in again.memories()] == [f"memory {i}" for i in range(20)]
    assert [e["tool_name"] for e in again.audit_events()] == [f"tool{i}" for i in range(20)]
    assert again.get_item(("n",), "k")["value"] == {"v": 1}
    assert again.context("memory 7").text.startswith("memory 7")


def test_two_servers_on_one_postgresql_database(pg_url, servers):
    project = f"two-{uuid.uuid4().hex[:8]}"
    _, one = servers(pg_url, project)
    _, two = servers(pg_url, project)
    one.remember("written through one")
    two.put_item(("n",), "k", {"by": "two"})
    assert two.context("written").text == "written through one"
    assert one.get_item(("n",), "k")["value"] == {"by": "two"}


@pytest.mark.parametrize("db", ["postgresql"], indirect=True)
def test_projects_on_one_database_share_its_connections(pg_url, open_client):
    import psycopg

    clients = [open_client(f"-{i}") for i in range(3 * POOL_SIZE)]
    for i, client in enumerate(clients):
        client.remember(f"note {i}")
    with psycopg.connect(pg_url) as probe:
        query = "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
        (backends,) = probe.execute(query + " AND pid <> pg_backend_pid()").fetchone()
    assert backends <= POOL_SIZE
    clients[0].close()
    assert clients[1].context("note 1").text == "note 1"
    for client in clients[1:]:
        client.close()
    assert open_client("-after").context("").hits == 0


@shared
def test_a_closed_client_refuses_work_and_others_go_on(open_client):
    one, other = open_client(), open_client()
    one.remember("kept")
    one.close()
    with pytest.raises(ValueError, match="closed"):
        one.remember("lost")
    assert other.context("").text == "kept"


CHILD = """
import sys
from velkor_agent_hooks.client import VelkorClient
with VelkorClient(path=sys.argv[1]) as client:
    print(client.memories()[0]["text"], flush=True)
    client.remember_turns([{"text": f"child {i}"} for i in range(50)])
    client.put_item(("n",), "child", {"v": 2})
"""


def test_two_processes_share_one_sqlite_file(tmp_path):
    path = str(tmp_path / "shared.db")
    with VelkorClient(path=path) as parent:
        parent.remember("from the parent")
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE, text=True
        )
        for i in range(50):  # written while the child writes
            parent.remember(f"parent {i}")
        out, _ = child.communicate(timeout=60)
        assert child.returncode == 0 and out.strip() == "from the parent"
        assert parent.context("child 49").text.startswith("child 49")
        assert parent.get_item(("n",), "child")["value"] == {"v": 2}
        assert parent.doctor()["memories"] == 101


def test_server_default_database_is_a_file(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    from velkor_agent_hooks.service.storage import default_server_db

    assert default_server_db() == os.path.join(str(tmp_path), "velkor", "velkor.db")
    with serve(db=default_server_db()) as server:
        VelkorClient(base_url=server.url).remember("kept")
    with VelkorClient(path=default_server_db()) as client:
        assert json.loads(json.dumps(client.memories()))[0]["text"] == "kept"


FIXTURE = os.path.join(os.path.dirname(__file__), "fixtures", "release1.sqlite")


def release1_rows():
    """What the first release's fixture holds, read straight from its tables."""
    with closing(sqlite3.connect(FIXTURE)) as conn:
        memories = conn.execute(
            "SELECT project, id, session_id, role, text, user_id, timestamp FROM memories"
            " ORDER BY seq"
        ).fetchall()
        events = conn.execute("SELECT project, body FROM events ORDER BY seq").fetchall()
        items = conn.execute(
            "SELECT project, namespace, key, value, created_at, updated_at FROM items ORDER BY seq"
        ).fetchall()
    return memories, events, items


def assert_release1_reads_back(path):
    memories, events, items = release1_rows()
    columns = ("id", "session_id", "role", "text", "user_id", "timestamp")
    for project in ("default", "other"):
        with VelkorClient(path=path, project=project) as client:
            got = [{c: m[c] for c in columns} for m in client.memories()]
            assert got == [
                dict(zip(columns, m[1:], strict=True)) for m in memories if m[0] == project
            ]
            bodies = [json.loads(b) for p, b in events if p == project]
            # Kept as they were, and linked into the project's hash chain.
            kept = client.audit_events()[: len(bodies)]
            assert [{k: e[k] for k in b} for e, b in zip(kept, bodies, strict=True)] == bodies
            assert [e["seq"] for e in kept] == list(range(1, len(bodies) + 1))
            assert client.verify_audit() == {"ok": True, "events": len(kept), "first_bad_seq": None}
            for _, ns, key, value, created, updated in (i for i in items if i[0] == project):
                item = client.get_item(tuple(ns.split(".")[:-1]), key)
                assert (item["value"], item["created_at"], item["updated_at"]) == (
                    json.loads(value),
                    created,
                    updated,
                )
            assert client.recall("Lisbon")[0]["text"] == "I fly to Lisbon in May"


class TestMigrations:
    def test_sqlite_file_of_the_first_release_upgrades_with_nothing_lost(self, tmp_path):
        path = str(tmp_path / "old.db")
        with open(FIXTURE, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read())
        assert_release1_reads_back(path)
        with closing(sqlite3.connect(path)) as conn:
            assert conn.execute("PRAGMA user_version").fetchone()[0] == LATEST

    def test_postgresql_tables_of_the_first_release_upgrade_with_nothing_lost(self, pg_server):
        import psycopg

        url = pg_server.create_database(f"old_{uuid.uuid4().hex[:8]}")
        memories, events, items = release1_rows()
        with psycopg.connect(url, autocommit=True) as conn:
            for statement in MIGRATIONS["PostgreSQL"][0]:  # the first release's tables
                conn.execute(statement)
            for row in memories:
                conn.execute(
                    "INSERT INTO velkor_memories (project, id, session_id, role, text, user_id,"
                    " timestamp, words) VALUES (%s, %s, %s, %s, %s, %s, %s,"
                    " to_tsvector('simple', %s))",
                    (*row, row[4]),
                )
            for row in events:
                conn.execute("INSERT INTO velkor_events (project, body) VALUES (%s, %s)", row)
            for project, ns, key, value, created, updated in items:
                conn.execute(
                    "INSERT INTO velkor_items (project, namespace, key, seq, value, doc, words,"
                    " created_at, updated_at) VALUES (%s, %s, %s, nextval('velkor_items_seq'),"
                    " %s, %s::jsonb, to_tsvector('simple', %s), %s, %s)",
                    (project, ns, key, value, value, value, created, updated),
                )
        assert_release1_reads_back(url)
        with psycopg.connect(url) as conn:
            assert conn.execute("SELECT version FROM velkor_schema").fetchall() == [(LATEST,)]

    def test_a_newer_database_is_refused_naming_both_versions(self, tmp_path, pg_server):
        import psycopg

        path = str(tmp_path / "new.db")
        with closing(sqlite3.connect(path)) as conn:
            conn.execute(f"PRAGMA user_version={LATEST + 1}")
        url = pg_server.create_database(f"new_{uuid.uuid4().hex[:8]}")
        with psycopg.connect(url, autocommit=True) as conn:
            conn.execute("CREATE TABLE velkor_schema (version integer NOT NULL)")
            conn.execute("INSERT INTO velkor_schema VALUES (%s)", (LATEST + 1,))
        for where in (path, url):
            with pytest.raises(SchemaTooNew, match=f"version {LATEST + 1}.*version {LATEST}"):
                VelkorClient(path=where)

    @pytest.mark.skipif(LATEST < 2, reason="no release before this one wrote an older schema")
    def test_processes_opening_an_old_file_at_once_upgrade_it_once(self, tmp_path):
        path = str(tmp_path / "old.db")
        with open(FIXTURE, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read())
        opener = (
            "import logging, sys; logging.basicConfig(level=logging.WARNING);"
            "from velkor_agent_hooks.client import VelkorClient;"
            "VelkorClient(path=sys.argv[1]).close()"
        )
        procs = [
            subprocess.Popen(
                [sys.executable, "-c", opener, path], stderr=subprocess.PIPE, text=True
            )
            for _ in range(4)
        ]
        said = [proc.communicate(timeout=60)[1] for proc in procs]
        assert [proc.returncode for proc in procs] == [0] * 4, said
        assert sum("upgraded the database" in err for err in said) == 1
        assert_release1_reads_back(path)
