"""Embeddings on every storage, embedded and over HTTP: erasure reaches the vectors and their
index, models are never mixed, and the keyed store searches by vector."""

import hashlib
import sqlite3
import uuid
from contextlib import closing

import pytest
from pgserver import ensure_pgvector, find_bindir

from velkor_agent_hooks.client import VelkorClient, VelkorHTTPError, serve
from velkor_agent_hooks.service.cli import main
from velkor_agent_hooks.service.storage.sqlite import sqlite_vec

pytestmark = pytest.mark.skipif(sqlite_vec is None, reason="the embeddings extra is missing")


def bag_of_words(dim=16, name="bag16"):
    """A deterministic embedder: each word adds 1 to a coordinate picked by its hash."""

    def embed(texts):
        vectors = []
        for text in texts:
            vector = [0.0] * dim
            for word in text.lower().split():
                vector[hashlib.sha256(word.strip("?.,").encode()).digest()[0] % dim] += 1.0
            vector[0] += 0.01  # never all zero
            vectors.append(vector)
        return vectors

    embed.name = name
    return embed


@pytest.fixture(scope="session")
def pgvector(pg_server):
    why = ensure_pgvector(find_bindir())
    if why is not None:
        pytest.skip(why)


@pytest.fixture
def where(db, request):
    if db is not None and db.startswith("postgresql"):
        request.getfixturevalue("pgvector")
    return db


@pytest.fixture(params=["embedded", "http"])
def connect(where, request):
    """Clients of one project on the test's storage, embedded or through a server."""
    project = f"emb-{uuid.uuid4().hex[:8]}"
    server = None
    if request.param == "http":
        server = serve(db=where, project=project, embedder=bag_of_words())
        request.addfinalizer(server.close)

    def make():
        if server is None:
            client = VelkorClient(path=where, project=project, embedder=bag_of_words())
        else:
            client = VelkorClient(base_url=server.url, project=project)
        request.addfinalizer(client.close)
        return client

    make.project = project
    return make


def vector_rows(where, project):
    """Seqs in the vector table and in its search index (SQLite: the sign-bit vec0 table;
    PostgreSQL's HNSW index goes with its table's rows)."""
    if where is not None and where.startswith("postgresql"):
        import psycopg

        with psycopg.connect(where) as conn:
            rows = conn.execute(
                "SELECT seq FROM velkor_memory_vectors WHERE project = %s", (project,)
            ).fetchall()
        return {seq for (seq,) in rows}, None
    from velkor_agent_hooks.service.storage.sqlite import _db

    with closing(_db.connect(where)) as conn:
        conn.enable_load_extension(True)
        sqlite_vec.load(conn)
        table = {seq for (seq,) in conn.execute("SELECT seq FROM memory_vectors")}
        index = {seq for (seq,) in conn.execute("SELECT rowid FROM memory_bits_16")}
    return table, index


@pytest.mark.parametrize("db", ["sqlite-file", "postgresql"], indirect=True)
@pytest.mark.parametrize("scope", ["user_id", "session_id"])
def test_erasing_a_scope_leaves_every_other_and_empties_every_index(connect, where, scope):
    client = connect()
    for person in ("ana", "bob", "eve"):
        client.remember_turns(
            [{"text": f"{person} keeps a red kayak"}, {"text": f"{person} hates mornings"}],
            session_id=f"s-{person}",
            user_id=person,
        )
    table, index = vector_rows(where, connect.project)
    assert len(table) == 6 and index in (None, table)
    assert client.forget(**{scope: "bob" if scope == "user_id" else "s-bob"}) == 2
    left = {m["text"] for m in client.memories()}
    assert left == {
        f"{p} {t}" for p in ("ana", "eve") for t in ("keeps a red kayak", "hates mornings")
    }
    table, index = vector_rows(where, connect.project)
    assert len(table) == 4 and index in (None, table)
    found = [m["text"] for m in client.recall("who keeps a kayak", limit=10)]
    assert "bob keeps a red kayak" not in found and "ana keeps a red kayak" in found
    assert {m["user_id"] for m in client.recall("kayak", user_id="eve")} == {"eve"}


@pytest.mark.parametrize("db", ["sqlite-file", "postgresql"], indirect=True)
def test_an_embedder_other_than_the_recorded_one_is_refused(where):
    project = f"emb-{uuid.uuid4().hex[:8]}"
    with VelkorClient(path=where, project=project, embedder=bag_of_words()) as client:
        client.remember("first note")
    with pytest.raises(ValueError, match=r"embedded with 'bag16', not 'bag8'.*reembed"):
        VelkorClient(path=where, project=project, embedder=bag_of_words(8, "bag8"))
    with pytest.raises(ValueError, match="embedded with 'bag16'"):
        serve(db=where, project=project, embedder=bag_of_words(8, "bag8"))
    # The same name with another dimension is refused at the write, and nothing is stored.
    with VelkorClient(path=where, project=project, embedder=bag_of_words(8, "bag16")) as client:
        with pytest.raises(ValueError, match=r"dimension 8.*dimension 16"):
            client.remember("second note")
        assert [m["text"] for m in client.memories()] == ["first note"]


@pytest.mark.parametrize("db", ["sqlite-file", "postgresql"], indirect=True)
def test_reembed_switches_the_model_and_fills_in_what_is_missing(where):
    project = f"emb-{uuid.uuid4().hex[:8]}"
    with VelkorClient(path=where, project=project) as plain:
        plain.remember("written before embeddings")
    with VelkorClient(path=where, project=project, embedder=bag_of_words()) as client:
        client.remember("written with bag16")
    target = ["--db", where, "--project", project]
    assert main(["memories", "reembed", "--embedder", "no-such-model", *target]) == 1
    assert main(["memories", "reembed", "--embedder", "test_embeddings:bag8", *target]) == 0
    with VelkorClient(path=where, project=project, embedder=bag8) as client:
        assert len(client.recall("written embeddings")) == 2
        assert client._backend.service.storage.embedding_model() == ("bag8", 8)
    with pytest.raises(ValueError, match="embedded with 'bag8'"):
        VelkorClient(path=where, project=project, embedder=bag_of_words())


bag8 = bag_of_words(8, "bag8")


@pytest.mark.parametrize("db", ["sqlite-memory", "sqlite-file", "postgresql"], indirect=True)
def test_keyed_store_vector_search(connect):
    client = connect()
    client.put_item(("docs", "a"), "north", {"kind": "x"}, vectors=[[1, 0, 0], [0, 1, 0]])
    client.put_item(("docs", "a"), "east", {"kind": "y", "text": "sunrise"}, vectors=[[0, 0, 1]])
    client.put_item(("docs", "b"), "south", {"kind": "x"}, vectors=[[0.7, 0.7, 0]])
    client.put_item(("docs", "a"), "plain", {"kind": "x", "text": "sunrise"})
    client.put_item(("other",), "far", {"kind": "x"}, vectors=[[0, 1, 0]])

    def found(**kwargs):
        return [(i["key"], i["score"]) for i in client.search_items(("docs",), **kwargs)]

    (first, score), *rest = found(vector=[0, 2, 0])
    assert (first, round(score, 4)) == ("north", 1.0)  # its best vector counts
    assert [key for key, _ in rest] == ["south", "east", "plain"] and rest[-1][1] is None
    assert [k for k, _ in found(vector=[0, 1, 0], filter={"kind": "x"}, limit=2, offset=1)] == [
        "south",
        "plain",
    ]
    # Words and vectors together: "sunrise" lifts the item that says it above its rank.
    assert found(vector=[1, 0, 0], query="sunrise")[0][0] == "east"
    # Written again without vectors, an item is no longer found by them.
    client.put_item(("docs", "a"), "north", {"kind": "x"})
    assert found(vector=[0, 1, 0])[0][0] == "south"
    # In one batch, in order: vectors written, searched, dropped by a plain write.
    west = {"namespace": ("docs", "c"), "key": "west", "value": {}}
    near = ("search_items", {"namespace_prefix": ("docs", "c"), "vector": [0, 1, 0]})
    ops = [("put_item", {**west, "vectors": [[0, 1, 0]]}), near, ("put_item", west), near]
    first, second = client.batch_items(ops)[1::2]
    assert first[0]["score"] == pytest.approx(1.0) and second[0]["score"] is None
    bad = (ValueError, VelkorHTTPError)
    with pytest.raises(bad, match="dimension 2"):
        client.search_items(("docs",), vector=[1, 0])
    with pytest.raises(bad, match="dimension 2"):
        client.put_item(("docs",), "k", {}, vectors=[[1, 0]])


def test_a_base_install_reads_and_writes_and_refuses_erasing_whole(tmp_path):
    from conftest import run_fresh

    path = str(tmp_path / "v.db")
    with VelkorClient(path=path, project="p", embedder=bag_of_words()) as client:
        client.remember("embedded note", session_id="a")
    # Without sqlite-vec: the standard library's sqlite3, no vector index to maintain.
    run_fresh(
        f"""
        import sys
        sys.modules["sqlite_vec"] = None
        import pytest
        from velkor_agent_hooks.client import VelkorClient
        with VelkorClient(path={path!r}, project="p") as client:
            client.remember("plain note", session_id="b")
            assert [m["text"] for m in client.recall("note")] == ["plain note", "embedded note"]
            for scope in ("a", "b"):
                with pytest.raises(ValueError, match=r"needs sqlite-vec.*nothing was erased"):
                    client.forget(session_id=scope)
            assert len(client.memories()) == 2
        print("ok")
        """
    )
    with closing(sqlite3.connect(path)) as conn:
        assert conn.execute("SELECT count(*) FROM memory_vectors").fetchone() == (1,)


def test_the_shipped_model_finds_what_shares_no_word_with_the_query():
    pytest.importorskip("wordllama")
    with VelkorClient(embedder="wordllama") as client:
        client.remember("We adopted a puppy from the shelter last week", session_id="a")
        client.remember("The quarterly budget review is on Friday", session_id="b")
        client.remember("My sister moved to Lisbon", session_id="c")
        found = client.recall("dog", limit=1)
        assert [m["session_id"] for m in found] == ["a"]
        assert client.doctor()["embedder"] == "wordllama-l2_supercat"
