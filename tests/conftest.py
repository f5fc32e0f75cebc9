import gc
import subprocess
import sys
import textwrap
import traceback
import tracemalloc
from types import SimpleNamespace

import pytest
from pgserver import PostgresServer, find_bindir

# The host suites need their hosts' own venvs: `make test-crewai`, `make test-hermes`.
collect_ignore = ["hosts"]


class Decision(SimpleNamespace):
    """Gate decision double: require() raises when the call is denied."""

    def require(self):
        if not self.allow:
            raise PermissionError(f"denied: {self.reason}")


def allowed():
    return Decision(allow=True, governed=True, reason="ok", degraded=False, outcome="ALLOWED")


def denied():
    return Decision(allow=False, governed=True, reason="policy", degraded=False, outcome="DENIED")


class Recorder:
    """Client double: records (method, args, kwargs) of every call, answers from `results`.

    A result that is callable is called with the call's arguments; one that is an exception
    instance is raised.
    """

    def __init__(self, **results):
        self.calls = []
        self.results = {
            "context": SimpleNamespace(text="ctx", block_hash="h1", token_count=3, status="ok"),
            "remember": {"stored": True},
            "remember_turns": {"stored": 2},
            "gate": allowed(),
            "observe": {"recorded": True},
            "doctor": {"ok": True},
            **results,
        }

    def __getattr__(self, name):
        if name.startswith("_") or name not in self.__dict__.get("results", {}):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            result = self.results[name]
            if isinstance(result, BaseException):
                raise result
            return result(*args, **kwargs) if callable(result) else result

        return method

    def names(self):
        return [c[0] for c in self.calls]


class Fresh:
    """Leak-test client: records nothing and answers with new objects at every call."""

    def __init__(self, error=None, result=dict, text=list, fields=("block_hash", "token_count")):
        self.error, self.result, self.text, self.fields = error, result, text, fields

    def context(self, query, **kwargs):
        if self.error:
            raise self.error(query)
        extra = {f: [query] for f in self.fields}
        return SimpleNamespace(text=self.text(query), **extra, status=[kwargs])

    def remember(self, text, **kwargs):
        if self.error:
            raise self.error(text)
        return self.result(text=[text])

    def gate(self, tool_name, **kwargs):
        if self.error:
            raise self.error(tool_name)
        return SimpleNamespace(**{f: [tool_name] for f in vars(denied())})


class Loud(str):
    """A str subclass with its own text."""

    def __str__(self):
        return "LOUD"


@pytest.fixture
def recorder():
    return Recorder()


def assert_no_leak(fn, *, rounds=3000, warmup=300, limit=16_384):
    """Runs fn many times and fails if traced memory keeps growing."""
    for _ in range(warmup):
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < limit, f"memory grew by {grown} bytes over {rounds} calls"


def raises_each_time(exc_type, fn):
    """A callable for assert_no_leak that expects fn to raise exc_type."""

    def run():
        try:
            fn()
        except exc_type:
            return
        raise AssertionError(f"{exc_type.__name__} not raised")

    return run


def run_fresh(code, *options):
    """Runs code in a new interpreter (a module executes once per process); it prints "ok"."""
    proc = subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().splitlines()[-1:] == ["ok"], proc.stdout


def native_frames(exc):
    """Names of the traceback entries the native modules added."""
    tb = traceback.extract_tb(exc.__traceback__)
    return [f.name for f in tb if f.filename.startswith("src/velkor_agent_hooks/")]


@pytest.fixture(scope="session")
def pg_server():
    bindir = find_bindir()
    if bindir is None:
        pytest.skip("PostgreSQL binaries not found (Debian: apt-get install postgresql)")
    pytest.importorskip("psycopg", reason="psycopg is not installed (the postgres extra)")
    server = PostgresServer(bindir)
    try:
        server.start()
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def pg_url(pg_server):
    return pg_server.create_database("velkor")


@pytest.fixture(params=["sqlite-memory", "sqlite-file", "postgresql"])
def db(request, tmp_path):
    """Where the storage lives: None (private memory), a file, or a PostgreSQL URL."""
    if request.param == "sqlite-memory":
        return None
    if request.param == "sqlite-file":
        return str(tmp_path / "velkor.db")
    return request.getfixturevalue("pg_url")
