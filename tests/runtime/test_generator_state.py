"""The handled-exception state of a native generator body, checked against the same body
written in Python: both must give the interpreter's answers."""

import sys
from contextlib import contextmanager, suppress

import pytest
from conftest import Recorder, allowed

from velkor_agent_hooks.adapters import AgentHooks


def python_guard(self, tool_name, tool_input=None, *, session_id="", trace_id=""):
    trace_id = trace_id or "sdk_python"
    decision = self.before_tool(tool_name, tool_input, session_id=session_id, trace_id=trace_id)
    decision.require()
    try:
        yield decision
    except Exception as exc:
        self.after_tool(
            tool_name, session_id=session_id, outcome_status="FAILED", result=exc, trace_id=trace_id
        )
        raise
    self.after_tool(tool_name, session_id=session_id, trace_id=trace_id)


GUARDS = [
    pytest.param(AgentHooks.guard.__wrapped__, id="native"),
    pytest.param(python_guard, id="python"),
]


def probe():
    """What a frame unrelated to the generator sees."""
    return sys.exception()


def watching(seen, **results):
    """Hooks whose client records sys.exception() at each call."""

    def record(name, answer):
        def method(*args, **kwargs):
            seen.append((name, sys.exception()))
            if isinstance(answer, BaseException):
                raise answer
            return answer

        return method

    results = {"gate": allowed(), "observe": None, **results}
    return AgentHooks(Recorder(**{n: record(n, a) for n, a in results.items()}), "a")


@pytest.mark.parametrize("guard", GUARDS)
def test_thrown_exception_is_handled_while_the_body_reports_it(guard):
    seen, failure = [], LookupError("report failed")
    gen = guard(watching(seen, observe=failure), "t")
    next(gen)
    thrown = ValueError("tool failed")
    with pytest.raises(LookupError) as ei:
        gen.throw(thrown)
    assert ei.value is failure and failure.__context__ is thrown
    assert thrown.__context__ is None
    assert seen == [("gate", None), ("observe", thrown)]
    assert (sys.exception(), probe()) == (None, None)


@pytest.mark.parametrize("guard", GUARDS)
def test_handled_exception_of_the_caller(guard):
    seen, host, thrown = [], KeyError("host"), ValueError("tool failed")
    hooks = watching(seen)
    try:
        raise host
    except KeyError:
        finished, failed, closed = guard(hooks, "a"), guard(hooks, "b"), guard(hooks, "c")
        next(finished)
        assert next(finished, "done") == "done"
        next(failed)
        assert probe() is host
        with pytest.raises(ValueError) as ei:
            failed.throw(thrown)
        assert ei.value is thrown and thrown.__context__ is None
        next(closed)
        closed.close()
        assert probe() is host
        with pytest.raises(RuntimeError) as ei:
            next(guard(watching(seen, gate=RuntimeError("down")), "d"))
        assert ei.value.__context__ is host
    assert probe() is None
    assert seen == [
        ("gate", host),
        ("observe", host),
        ("gate", host),
        ("observe", thrown),
        ("gate", host),
        ("gate", host),
    ]


@pytest.mark.parametrize("guard", GUARDS)
def test_suspended_generator_leaves_no_trace(guard):
    seen, host, thrown = [], KeyError("host"), ValueError("tool failed")
    hooks = watching(seen, observe=LookupError("report failed"))
    gen = guard(hooks, "t")
    try:
        raise host
    except KeyError:
        next(gen)  # suspended while the caller handles `host`
    assert probe() is None
    try:
        raise OSError("elsewhere")
    except OSError as other:
        with pytest.raises(LookupError):
            gen.throw(thrown)
        assert probe() is other
    assert probe() is None
    assert seen == [("gate", host), ("observe", thrown)]


@pytest.mark.parametrize("guard", GUARDS)
def test_through_contextmanager(guard):
    seen, host, block_error = [], KeyError("host"), ValueError("block")
    hooks = watching(seen)
    cm = contextmanager(guard)
    try:
        raise host
    except KeyError:
        with cm(hooks, "t"):
            seen.append(("block", sys.exception()))
        assert sys.exception() is host
        with suppress(ValueError), cm(hooks, "t"):
            raise block_error  # noqa: B904
        assert sys.exception() is host
    assert [e for _, e in seen] == [host, host, host, host, block_error]
    assert block_error.__context__ is host
