"""Constructing the async facade: the client it keeps or builds, and from_env."""

import traceback

import pytest

import velkor_agent_hooks.client as client_module
import velkor_agent_hooks.parlow as parlow
from velkor_agent_hooks.parlow import AsyncVelkorClient

FILE = "src/velkor_agent_hooks/parlow"


def frames(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


class Factory:
    """Stands in for VelkorClient: records how it is called."""

    def __init__(self):
        self.calls = []
        self.env_calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("made", kwargs)

    def from_env(self, *args, **kwargs):
        self.env_calls.append((args, kwargs))
        return ("from_env", kwargs)


@pytest.fixture
def factory(monkeypatch):
    fake = Factory()
    monkeypatch.setattr(parlow, "VelkorClient", fake)
    return fake


class Falsy:
    def __len__(self):
        return 0


def test_no_client_builds_one(factory):
    assert AsyncVelkorClient().sync == ("made", {})
    assert AsyncVelkorClient(None, project="p", timeout=3).sync == (
        "made",
        {"project": "p", "timeout": 3},
    )
    assert AsyncVelkorClient(Falsy()).sync == ("made", {})
    assert factory.calls == [((), {}), ((), {"project": "p", "timeout": 3}), ((), {})]


@pytest.mark.parametrize("by_keyword", [False, True])
def test_truthy_client_is_kept(factory, by_keyword):
    given = object()
    facade = AsyncVelkorClient(client=given) if by_keyword else AsyncVelkorClient(given)
    assert vars(facade) == {"sync": given}
    assert factory.calls == []


@pytest.mark.parametrize("given", [object(), Falsy(), 0])
def test_client_and_keywords_conflict(monkeypatch, given):
    monkeypatch.delattr(parlow, "VelkorClient")
    with pytest.raises(ValueError, match=r"^pass a client or client keyword arguments, not both$"):
        AsyncVelkorClient(given, project="p")


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom


class Failing:
    def __init__(self, **kwargs):
        raise Boom

    @staticmethod
    def from_env(**overrides):
        raise Boom(overrides)


@pytest.mark.parametrize(
    "name, make",
    [
        ("__init__", lambda: AsyncVelkorClient(BadTruth())),
        ("__init__", lambda: AsyncVelkorClient()),
        ("from_env", lambda: AsyncVelkorClient.from_env(a=1)),
    ],
    ids=["truth-test", "factory", "from_env"],
)
def test_construction_errors_propagate(monkeypatch, name, make):
    monkeypatch.setattr(parlow, "VelkorClient", Failing)
    with pytest.raises(Boom) as info:
        make()
    assert info.value.args in ((), ({"a": 1},))
    assert (f"velkor_agent_hooks.parlow.AsyncVelkorClient.{name}", FILE) in frames(info.value)


def test_embedded_client_is_built():
    facade = AsyncVelkorClient(project="h4-proj", agent_id="a1")
    assert type(facade.sync) is client_module.VelkorClient
    assert (facade.sync.project, facade.sync.agent_id) == ("h4-proj", "a1")


def test_from_env_passes_overrides(factory):
    class Sub(AsyncVelkorClient):
        pass

    made = Sub.from_env(project="p", timeout=2)
    assert type(made) is Sub
    assert made.sync == ("from_env", {"project": "p", "timeout": 2})
    from_instance = AsyncVelkorClient(object()).from_env()
    assert type(from_instance) is AsyncVelkorClient
    assert factory.env_calls == [((), {"project": "p", "timeout": 2}), ((), {})]
    assert factory.calls == []


def test_from_env_with_embedded_client(monkeypatch):
    monkeypatch.setenv("VELKOR_PROJECT", "from-env")
    monkeypatch.setenv("VELKOR_DENY_TOOLS", "shell")
    assert AsyncVelkorClient.from_env().sync.project == "from-env"
    facade = AsyncVelkorClient.from_env(project="override")
    assert facade.sync.project == "override"
    assert facade.sync.deny_tools == {"shell"}
