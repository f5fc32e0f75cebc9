import builtins
import contextlib
import dataclasses
import gc
import inspect
import re
import sys
import traceback
import weakref
from collections.abc import Mapping
from types import SimpleNamespace

import pytest
from conftest import Recorder, allowed, assert_no_leak, denied, raises_each_time

from velkor_agent_hooks import adapters
from velkor_agent_hooks.adapters import AgentHooks
from velkor_agent_hooks.client import GovernanceDenied, VelkorClient

CID = re.compile(r"sdk_[0-9a-f]{32}")
GATE_KEYS = ["agent_id", "session_id", "tool_input", "trace_id"]
OBSERVE_KEYS = ["agent_id", "tool_name", "session_id", "outcome_status", "fields", "trace_id"]
GUARD_FN = AgentHooks.guard.__wrapped__


class Input(Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


@pytest.fixture
def hooks(recorder):
    return AgentHooks(recorder, "agent-7")


def observed(recorder):
    return [kw for name, _, kw in recorder.calls if name == "observe"]


def report(**changes):
    base = dict(agent_id="agent-7", tool_name="t", session_id="", outcome_status="SUCCESS")
    return {**base, "fields": {}, "trace_id": "", **changes}


def call(hooks, name, args=(), kwargs=None):
    fn = GUARD_FN if name == "guard" else getattr(AgentHooks, name)
    return fn(hooks, *args, **(kwargs or {}))


class TestClassShape:
    def test_dataclass(self):
        assert (
            str(inspect.signature(AgentHooks))
            == "(client: 'VelkorClient', agent_id: 'str') -> None"
        )
        assert AgentHooks.__annotations__ == {"client": "VelkorClient", "agent_id": "str"}
        assert AgentHooks.__doc__ == "AgentHooks(client: 'VelkorClient', agent_id: 'str')"
        assert (AgentHooks.__bases__, AgentHooks.__module__) == ((object,), adapters.__name__)
        own = [k for k in vars(AgentHooks) if not k.startswith("__")]
        assert own == ["before_tool", "after_tool", "guard"]
        assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(AgentHooks))

        client = object()
        h = AgentHooks(agent_id="a", client=client)
        assert (h.client, h.agent_id) == (client, "a")
        assert repr(AgentHooks("c", 5)) == "AgentHooks(client='c', agent_id=5)"
        assert AgentHooks("c", "a") == AgentHooks("c", "a") != AgentHooks("c", "b")
        assert AgentHooks.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(h)
        h.extra = 1
        assert vars(h) == {"client": client, "agent_id": "a", "extra": 1}
        with pytest.raises(TypeError):
            AgentHooks(client)

    def test_guard_is_a_contextmanager_wrapper(self, hooks):
        wrapper = vars(AgentHooks)["guard"]
        assert wrapper is not GUARD_FN and inspect.isgeneratorfunction(GUARD_FN)
        assert (wrapper.__name__, wrapper.__qualname__) == ("guard", "AgentHooks.guard")
        assert (wrapper.__module__, wrapper.__doc__) == (adapters.__name__, None)
        assert wrapper.__annotations__ == GUARD_FN.__annotations__
        assert isinstance(hooks.guard("t"), contextlib.AbstractContextManager)
        bound = hooks.before_tool
        assert bound.__func__ is AgentHooks.before_tool and bound.__self__ is hooks


class TestBeforeTool:
    @pytest.mark.parametrize("decision", [allowed(), denied()], ids=["allowed", "denied"])
    def test_defaults_and_decision_returned_unread(self, recorder, hooks, decision):
        recorder.results["gate"] = decision
        assert hooks.before_tool("search") is decision
        [(name, args, kwargs)] = recorder.calls
        assert (name, args, list(kwargs)) == ("gate", ("search",), GATE_KEYS)
        assert kwargs == dict(agent_id="agent-7", session_id="", tool_input=None, trace_id="")

    @pytest.mark.parametrize(
        "invoke",
        [
            lambda h, i: h.before_tool("t", i, session_id="s", trace_id="tr"),
            lambda h, i: h.before_tool(trace_id="tr", tool_input=i, session_id="s", tool_name="t"),
        ],
        ids=["positional", "keywords"],
    )
    @pytest.mark.parametrize("tool_input", [Input(), {"q": 1}, [1, 2], 0], ids=type)
    def test_arguments_passed_unchanged(self, recorder, hooks, invoke, tool_input):
        invoke(hooks, tool_input)
        [(_, args, kwargs)] = recorder.calls
        assert (args, list(kwargs), kwargs["tool_input"]) == (("t",), GATE_KEYS, tool_input)
        assert kwargs["tool_input"] is tool_input and kwargs["trace_id"] == "tr"


class TestAfterTool:
    @pytest.mark.parametrize(
        ("result", "fields"),
        [
            (None, {}),
            (0, {"result_preview": "0"}),
            ("", {"result_preview": ""}),
            ("x" * 1500, {"result_preview": "x" * 1000}),
            ("é" * 999 + "😀" * 5, {"result_preview": "é" * 999 + "😀"}),
            (ValueError("boom"), {"result_preview": "boom"}),
            (type("S", (str,), {"__str__": lambda s: "own"})("raw"), {"result_preview": "own"}),
        ],
        ids=["none", "zero", "empty", "long", "non-bmp", "exception", "str-subclass"],
    )
    def test_fields(self, recorder, hooks, result, fields):
        hooks.after_tool("t", result=result)
        [(name, args, kwargs)] = recorder.calls
        assert (name, args, list(kwargs)) == ("observe", (), OBSERVE_KEYS)
        assert kwargs == report(fields=fields) and type(kwargs["fields"]) is dict

    def test_explicit_keywords(self, recorder, hooks):
        hooks.after_tool("t", trace_id="tr", outcome_status="FAILED", session_id="s")
        [(_, _, kwargs)] = recorder.calls
        assert kwargs == report(session_id="s", outcome_status="FAILED", trace_id="tr")
        assert list(kwargs) == OBSERVE_KEYS

    def test_result_text_built_before_client_is_read(self):
        class Bad:
            def __str__(self):
                raise LookupError("no text")

        with pytest.raises(LookupError, match="no text"):
            AgentHooks.__new__(AgentHooks).after_tool("t", result=Bad())

    @pytest.mark.parametrize("answer", [{"ok": 1}, None])
    def test_observe_result_returned(self, recorder, hooks, answer):
        recorder.results["observe"] = answer
        assert hooks.after_tool("t") is answer

    @pytest.mark.parametrize(
        ("answer", "name"),
        [([], "list"), (type("MyDict", (dict,), {})(), "MyDict"), ("x", "str"), (0, "int")],
    )
    def test_observe_result_must_be_exact_dict(self, recorder, hooks, answer, name):
        recorder.results["observe"] = answer
        with pytest.raises(TypeError) as ei:
            hooks.after_tool("t")
        assert str(ei.value) == f"Expected dict, got {name}"


class TestInstanceAttributes:
    def test_client_and_agent_id_read_afresh(self, hooks):
        hooks.client, hooks.agent_id = Recorder(), "agent-8"
        hooks.before_tool("t")
        hooks.after_tool("t")
        assert [kw["agent_id"] for _, _, kw in hooks.client.calls] == ["agent-8", "agent-8"]

    @pytest.mark.parametrize("method", ["before_tool", "after_tool"])
    def test_missing_attributes_read_client_first(self, method):
        bare = AgentHooks.__new__(AgentHooks)
        with pytest.raises(AttributeError) as ei:
            call(bare, method, ("t",))
        assert ei.value.name == "client"
        bare.client = Recorder()
        with pytest.raises(AttributeError) as ei:
            call(bare, method, ("t",))
        assert ei.value.name == "agent_id" and bare.client.calls == []


class TestGuard:
    def test_checks_arguments_at_the_call(self, recorder, hooks):
        with pytest.raises(TypeError, match=r"^Argument 'tool_name'"):
            hooks.guard(1)
        assert recorder.calls == []

    def test_success(self, recorder, hooks):
        tool_input = {"q": 1}
        with hooks.guard("t", tool_input, session_id="s") as decision:
            assert decision is recorder.results["gate"] and recorder.names() == ["gate"]
        (_, gate_args, gate_kw), (_, observe_args, observe_kw) = recorder.calls
        assert gate_args == ("t",) and gate_kw["tool_input"] is tool_input
        assert CID.fullmatch(gate_kw["trace_id"])
        assert observe_args == () and list(observe_kw) == OBSERVE_KEYS
        assert observe_kw == report(session_id="s", trace_id=gate_kw["trace_id"])

    def test_correlation_ids(self, recorder, hooks):
        for trace_id in ("", "", "given"):
            with hooks.guard("t", trace_id=trace_id):
                pass
        with hooks.guard("outer"), hooks.guard("inner"):
            pass
        ids = [kw["trace_id"] for _, _, kw in recorder.calls]
        assert ids[0] == ids[1] != ids[2] == ids[3] and ids[4:6] == ["given", "given"]
        assert recorder.names()[6:] == ["gate", "gate", "observe", "observe"]
        assert ids[6] == ids[9] != ids[7] == ids[8]
        assert [kw["tool_name"] for kw in observed(recorder)[-2:]] == ["inner", "outer"]

    @pytest.mark.parametrize(
        ("error", "preview"),
        [
            (ValueError("bad input"), "bad input"),
            (KeyError("k"), "'k'"),
            (OSError("y" * 1001), "y" * 1000),
        ],
    )
    def test_failure_reported_then_same_exception(self, recorder, hooks, error, preview):
        def run_tool():
            raise error

        with (
            pytest.raises(type(error)) as ei,
            hooks.guard("t", {"q": 1}, session_id="s", trace_id="tr"),
        ):
            run_tool()
        assert ei.value is error
        assert "run_tool" in [f.name for f in traceback.extract_tb(error.__traceback__)]
        [sent] = observed(recorder)
        assert list(sent) == OBSERVE_KEYS
        fields = {"result_preview": preview}
        assert sent == report(session_id="s", outcome_status="FAILED", fields=fields, trace_id="tr")

    @pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
    def test_base_exceptions_not_reported(self, recorder, hooks, error):
        with pytest.raises(BaseException) as ei, hooks.guard("t"):
            raise error
        assert ei.value is error and recorder.names() == ["gate"]

    @pytest.mark.parametrize(
        ("decision", "error", "text"),
        [
            (denied(), PermissionError, "denied: policy"),
            (SimpleNamespace(require=lambda: 1 / 0), ZeroDivisionError, "division by zero"),
            (RuntimeError("gate down"), RuntimeError, "gate down"),
            (SimpleNamespace(), AttributeError, "no attribute 'require'"),
        ],
        ids=["denied", "require-raises", "gate-raises", "no-require"],
    )
    def test_refused_entry_runs_nothing(self, recorder, hooks, decision, error, text):
        recorder.results["gate"] = decision
        ran = []
        with pytest.raises(error, match=text), hooks.guard("t"):
            ran.append(1)
        assert ran == [] and recorder.names() == ["gate"]

    @pytest.mark.parametrize(
        ("answer", "error", "text"),
        [
            ([], TypeError, "Expected dict, got list"),
            (RuntimeError("observe down"), RuntimeError, "observe down"),
        ],
    )
    def test_report_failure(self, recorder, hooks, answer, error, text):
        recorder.results["observe"] = answer
        with pytest.raises(error, match=f"^{text}$"), hooks.guard("t"):
            pass
        block_error = ValueError("block")
        with pytest.raises(error, match=f"^{text}$") as ei, hooks.guard("t"):
            raise block_error
        assert ei.value.__context__ is block_error
        assert recorder.names() == ["gate", "observe", "gate", "observe"]

    @pytest.mark.parametrize("phase", ["gate", "observe"])
    def test_stop_iteration_from_client_becomes_runtime_error(self, recorder, hooks, phase):
        recorder.results[phase] = stop = StopIteration(phase)
        with (
            pytest.raises(RuntimeError, match=r"^generator raised StopIteration$") as ei,
            hooks.guard("t"),
        ):
            pass
        assert ei.value.__cause__ is stop

    def test_subclass_overrides_are_used(self, recorder):
        log = []

        class Custom(AgentHooks):
            def before_tool(self, *args, **kwargs):
                log.append((args, kwargs))
                return allowed()

            def after_tool(self, *args, **kwargs):
                log.append((args, kwargs))
                return "ignored"

        hooks, tool_input, error = Custom(recorder, "a"), {"q": 1}, ValueError("v")
        with hooks.guard("t", tool_input, session_id="s"):
            pass
        with pytest.raises(ValueError), hooks.guard("t", trace_id="tr"):
            raise error
        assert recorder.calls == [] and log[0][0][1] is tool_input
        cid = log[0][1]["trace_id"]
        assert CID.fullmatch(cid)
        assert [(args, list(kwargs.items())) for args, kwargs in log] == [
            (("t", tool_input), [("session_id", "s"), ("trace_id", cid)]),
            (("t",), [("session_id", "s"), ("trace_id", cid)]),
            (("t", None), [("session_id", ""), ("trace_id", "tr")]),
            (
                ("t",),
                [
                    ("session_id", ""),
                    ("outcome_status", "FAILED"),
                    ("result", error),
                    ("trace_id", "tr"),
                ],
            ),
        ]

    def test_uuid_looked_up_at_each_use(self, recorder, hooks, monkeypatch):
        fake = SimpleNamespace(uuid4=lambda: SimpleNamespace(hex=255))
        monkeypatch.setattr(adapters, "uuid", fake)
        with hooks.guard("t"):
            pass
        monkeypatch.delattr(adapters, "uuid")
        with hooks.guard("t", trace_id="tr"):
            pass
        with pytest.raises(NameError, match=r"^name 'uuid' is not defined$"), hooks.guard("t"):
            pass
        monkeypatch.setattr(builtins, "uuid", fake, raising=False)
        with hooks.guard("t"):
            pass
        ids = [kw["trace_id"] for _, _, kw in recorder.calls]
        assert ids == ["sdk_255", "sdk_255", "tr", "tr", "sdk_255", "sdk_255"]


class TestGenerator:
    @pytest.fixture
    def gen(self, hooks):
        return GUARD_FN(hooks, "t")

    def test_identity(self, recorder, gen):
        assert (gen.__name__, gen.__qualname__) == ("guard", "AgentHooks.guard")
        assert iter(gen) is gen and not gen.gi_running and recorder.calls == []

    @pytest.mark.parametrize("start", [next, lambda g: g.send(None)], ids=["next", "send-none"])
    def test_driven_to_the_end(self, recorder, gen, start):
        assert start(gen) is recorder.results["gate"]
        with pytest.raises(StopIteration) as ei:
            gen.send("ignored")
        assert ei.value.value is None and observed(recorder)[0]["outcome_status"] == "SUCCESS"
        for resume in (next, lambda g: g.send(1)):
            with pytest.raises(StopIteration):
                resume(gen)
        assert gen.close() is None and recorder.names() == ["gate", "observe"]

    def test_send_value_to_unstarted(self, recorder, gen):
        with pytest.raises(
            TypeError, match=r"^can't send non-None value to a just-started generator$"
        ):
            gen.send(1)
        with pytest.raises(StopIteration):
            next(gen)
        assert recorder.calls == []

    @pytest.mark.parametrize(
        "args",
        [lambda e: (e,), lambda e: (ValueError, e, None), lambda e: (ValueError, "thrown")],
        ids=["instance", "type-value-tb", "type-arg"],
    )
    def test_throw_when_suspended(self, recorder, gen, args):
        next(gen)
        error = ValueError("thrown")
        args = args(error)
        warning = pytest.warns(DeprecationWarning) if len(args) > 1 else contextlib.nullcontext()
        with pytest.raises(ValueError) as ei, warning:
            gen.throw(*args)
        assert ei.value.args == ("thrown",) and (ei.value is error) == (error in args)
        [sent] = observed(recorder)
        assert (sent["outcome_status"], sent["fields"]) == ("FAILED", {"result_preview": "thrown"})
        with pytest.raises(StopIteration):
            next(gen)

    @pytest.mark.parametrize(
        ("started", "error"),
        [(False, ValueError("early")), (False, KeyboardInterrupt()), (True, KeyboardInterrupt())],
    )
    def test_throw_unreported(self, recorder, gen, started, error):
        if started:
            next(gen)
        with pytest.raises(type(error)) as ei:
            gen.throw(error)
        with pytest.raises(StopIteration):
            next(gen)
        assert ei.value is error and recorder.names() == ["gate"] * started

    @pytest.mark.parametrize("started", [False, True], ids=["unstarted", "suspended"])
    def test_close_reports_nothing(self, recorder, gen, started):
        if started:
            next(gen)
        assert gen.close() is None and gen.close() is None
        with pytest.raises(StopIteration):
            next(gen)
        assert recorder.names() == ["gate"] * started

    def test_stop_iteration_thrown_in(self, recorder, hooks, gen):
        next(gen)
        stop = StopIteration("halt")
        with pytest.raises(RuntimeError, match=r"^generator raised StopIteration$") as ei:
            gen.throw(stop)
        assert ei.value.__cause__ is stop
        assert observed(recorder)[0]["fields"] == {"result_preview": "halt"}
        stop = StopIteration("again")
        with pytest.raises(StopIteration) as ei, hooks.guard("t"):
            raise stop
        assert ei.value is stop

    @pytest.mark.parametrize(
        "reenter",
        [next, lambda g: g.send(None), lambda g: g.throw(KeyError("k")), lambda g: g.close()],
        ids=["next", "send", "throw", "close"],
    )
    @pytest.mark.parametrize("phase", ["gate", "observe"])
    def test_reentry_while_running(self, recorder, gen, reenter, phase):
        seen, answer = [], recorder.results[phase]

        def client_call(*args, **kwargs):
            seen.append(gen.gi_running)
            with pytest.raises(ValueError) as ei:
                reenter(gen)
            seen.append(str(ei.value))
            return answer

        recorder.results[phase] = client_call
        next(gen)
        assert not gen.gi_running
        with pytest.raises(StopIteration):
            next(gen)
        assert seen == [True, "generator already executing"]
        assert recorder.names() == ["gate", "observe"] and not gen.gi_running

    def test_dropped_while_suspended_closes_quietly(self, recorder, hooks, monkeypatch):
        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        gen = GUARD_FN(hooks, "t")
        next(gen)
        hooks.guard("u").__enter__()
        del gen
        gc.collect()
        assert recorder.names() == ["gate", "gate"] and unraisable == []

    def test_suspended_in_a_cycle_is_collected(self):
        class Box:
            pass

        box = Box()
        box.gen = GUARD_FN(_quiet(), "t", box)
        next(box.gen)
        alive = weakref.ref(box)
        del box
        gc.collect()
        assert alive() is None


class TestEndToEnd:
    @pytest.fixture
    def client(self):
        return VelkorClient(agent_id="default-agent", deny_tools=["shell"])

    def test_allowed_then_reported(self, client):
        hooks = AgentHooks(client, "agent-1")
        with hooks.guard("search", {"q": "x"}, session_id="s1") as decision:
            assert decision.allow and CID.fullmatch(decision.trace_id)
        with pytest.raises(ValueError), hooks.guard("search", trace_id="t2"):
            raise ValueError("tool broke")
        events = client.audit_events()
        assert [(e["kind"], e["agent_id"], e["session_id"], e["trace_id"]) for e in events] == [
            ("gate", "agent-1", "s1", decision.trace_id),
            ("observe", "agent-1", "s1", decision.trace_id),
            ("gate", "agent-1", "", "t2"),
            ("observe", "agent-1", "", "t2"),
        ]
        assert events[0]["tool_input"] == {"q": "x"}
        assert [(e["outcome_status"], e["fields"]) for e in events[1::2]] == [
            ("SUCCESS", {}),
            ("FAILED", {"result_preview": "tool broke"}),
        ]

    def test_denied_tool_never_runs(self, client):
        ran = []
        with (
            pytest.raises(GovernanceDenied) as ei,
            AgentHooks(client, "a").guard("shell", {"cmd": "ls"}),
        ):
            ran.append(1)
        assert isinstance(ei.value, PermissionError) and ei.value.decision.tool_name == "shell"
        assert ran == [] and [e["kind"] for e in client.audit_events()] == ["gate"]


def _quiet(decision=None, answer=None):
    decision = decision or allowed()
    return AgentHooks(
        SimpleNamespace(gate=lambda *a, **k: decision, observe=lambda **k: answer), "a"
    )


def _guarded(hooks, block_error=None, expect=None):
    def run():
        with hooks.guard("t", {"q": 1}, session_id="s"):
            if block_error:
                raise block_error("x" * 50)

    expect = expect or block_error
    return raises_each_time(expect, run) if expect else run


def _suspended():
    gen = GUARD_FN(QUIET, "t", trace_id="tr")
    next(gen)
    return gen


QUIET = _quiet()
LEAK_CASES = {
    "success": _guarded(_quiet(answer={"ok": 1})),
    "failed": _guarded(QUIET, ValueError),
    "denied": _guarded(_quiet(denied()), expect=PermissionError),
    "gate-raises": _guarded(
        AgentHooks(SimpleNamespace(gate=lambda *a, **k: 1 / 0), "a"), expect=ZeroDivisionError
    ),
    "base-exception": _guarded(QUIET, KeyboardInterrupt),
    "report-type-error": _guarded(_quiet(answer=[]), expect=TypeError),
    "unstarted-dropped": lambda: GUARD_FN(QUIET, "t"),
    "suspended-dropped": _suspended,
    "suspended-closed": lambda: _suspended().close(),
    "stop-iteration": raises_each_time(RuntimeError, lambda: _suspended().throw(StopIteration())),
    "hooks": lambda: (
        QUIET.before_tool("t", {}),
        QUIET.after_tool("t", result=ValueError("v" * 1200)),
    ),
}


@pytest.mark.parametrize("case", LEAK_CASES.values(), ids=LEAK_CASES.keys())
def test_no_leaks(case):
    assert_no_leak(case, rounds=2000)
