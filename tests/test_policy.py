import hashlib
import itertools
import re
import subprocess
import sys
from pathlib import Path

import pytest

cedarpy = pytest.importorskip("cedarpy")

from velkor_agent_hooks.service.governance import policy as pol  # noqa: E402

DOCS = Path(__file__).parents[1] / "docs" / "policies.md"
ALLOW_ALL = "permit(principal, action, resource);\n"


def decide(text, tool="t", tool_input=None, **kwargs):
    kwargs.setdefault("agent_id", "a1")
    return pol.Policy(text).evaluate(tool, tool_input=tool_input, **kwargs)


def doc_policy():
    blocks = re.findall(r"```cedar\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S)
    return pol.Policy("\n".join(blocks))


DOC_CASES = [
    ("shell", {"command": "ls -la"}, 0, "ALLOWED", "the shell may run ls", "ALLOWED"),
    ("shell", {"command": "ls; rm -rf /"}, 0, "DENIED", "the shell never runs rm -rf", "DENIED"),
    ("shell", {"command": "cat notes.txt"}, 0, "DENIED", pol.NO_PERMIT, "DENIED"),
    ("shell", {"command": "ls /etc"}, 0, "ALLOWED", "the shell may run ls", "DENIED"),
    ("refund", {"amount": 500}, 0, "ALLOWED", "refund", None),
    ("refund", {"amount": 501}, 0, "DENIED", "refunds are capped at 500", None),
    ("refund", {}, 0, "DENIED", "refunds are capped at 500", None),
    ("refund", {"amount": 499.5}, 0, "DENIED", "policy refund-cap could not be evaluated", None),
    ("send_email", {"to": "a@example.com"}, 2, "ALLOWED", "email", None),
    ("send_email", {"to": "a@example.com"}, 3, "DENIED", "at most 3 emails a minute", None),
    ("delete_file", {"path": "notes.txt"}, 0, "APPROVAL_REQUIRED", "deleting outside", None),
    ("delete_file", {"path": "/tmp/scratch"}, 0, "ALLOWED", "delete", None),
    ("browser", {}, 0, "DENIED", pol.NO_PERMIT, None),
]


def test_the_documented_examples_decide_as_documented():
    policy = doc_policy()
    seen = set()
    for tool, tool_input, last_minute, outcome, reason, shadow in DOC_CASES:
        recent = {"tool_calls_last_minute": last_minute}
        decision = policy.evaluate(tool, agent_id="a1", tool_input=tool_input, recent=recent)
        assert (decision.outcome, decision.allow) == (outcome, outcome == "ALLOWED"), tool_input
        assert decision.reason.startswith(reason), decision
        assert (decision.shadow or {}).get("outcome") == shadow, decision
        seen.update(decision.policies, (decision.shadow or {}).get("policies", ()))
    assert seen == set(policy.ids)


# fmt: off
DECISIONS = [
    (ALLOW_ALL + "forbid(principal, action, resource);", {}, "DENIED", "policy1", ["policy1"]),
    ("forbid(principal, action, resource) when { context.input has x };", {},
     "DENIED", pol.NO_PERMIT, []),
    ('@id("a") permit(principal, action, resource);', {}, "ALLOWED", "a", ["a"]),
    ('@reason("r") permit(principal, action, resource);\n' + ALLOW_ALL, {},
     "ALLOWED", "r", ["policy0", "policy1"]),
    (ALLOW_ALL + '@approval @reason("ask") forbid(principal, action, resource);', {},
     "APPROVAL_REQUIRED", "ask", ["policy1"]),
    (ALLOW_ALL + "@approval forbid(principal, action, resource);\n"
     "forbid(principal, action, resource);", {}, "DENIED", "policy1", ["policy1", "policy2"]),
    # A failing policy denies even where another permit matches, and even with @approval.
    (ALLOW_ALL + '@id("e") permit(principal, action, resource) when { context.input.x > 1 };',
     {}, "DENIED", "policy e could not be evaluated: record does not have the attribute `x`",
     ["e"]),
    (ALLOW_ALL + "@approval forbid(principal, action, resource);\n"
     'forbid(principal, action, resource) when { context.input.x like "a" };', {"x": 1},
     "DENIED", "policy1", ["policy1", "policy2"]),
]
# fmt: on


@pytest.mark.parametrize(("text", "tool_input", "outcome", "reason", "policies"), DECISIONS)
def test_decision(text, tool_input, outcome, reason, policies):
    decision = decide(text, tool_input=tool_input)
    got = (decision.outcome, decision.reason, list(decision.policies))
    assert got == (outcome, reason, policies)
    assert bool(decision.errors) == ("context.input.x" in text)


@pytest.mark.parametrize(
    ("text", "outcome", "reason"),
    [
        (ALLOW_ALL + "@approval forbid(principal, action, resource);", "ALLOWED", "policy0"),
        ("@approval forbid(principal, action, resource);", "DENIED", pol.NO_PERMIT),
        (ALLOW_ALL + "@approval forbid(principal, action, resource);\n"
         "forbid(principal, action, resource);", "DENIED", "policy2"),
    ],
)  # fmt: skip
def test_an_approved_call_is_decided_without_the_approval_forbids(text, outcome, reason):
    decision = decide(text, approved=True)
    assert (decision.outcome, decision.reason) == (outcome, reason)


# fmt: off
SHADOWS = [
    ("forbid(principal, action, resource);", {}, ("DENIED", "policy1", ["policy1"])),
    ('@reason("x") permit(principal, action, resource) when { context.input has x };', {"x": 1},
     ("ALLOWED", "r", ["policy0", "policy1"])),
    ("forbid(principal, action, resource) when { context.input.x };", {},
     ("DENIED", "policy policy1 could not be evaluated: record does not have the attribute `x`",
      ["policy1"])),
    ('forbid(principal, action, resource == Tool::"other");', {}, None),
]
# fmt: on


@pytest.mark.parametrize(("shadow", "tool_input", "expected"), SHADOWS)
def test_shadow_policies_change_nothing_but_the_shadow_record(shadow, tool_input, expected):
    live = '@reason("r") permit(principal, action, resource);\n'
    without = decide(live, tool_input=tool_input)
    decision = decide(live + "@shadow " + shadow, tool_input=tool_input)
    unversioned = {"policy_version": ""}
    assert decision.as_dict() | unversioned | {"shadow": None} == without.as_dict() | unversioned
    keys = ("outcome", "reason", "policies")
    assert decision.shadow == (None if expected is None else dict(zip(keys, expected, strict=True)))


@pytest.mark.parametrize(
    ("value", "condition"),
    [
        (3, "context.input.v == 3"),
        (500.0, "context.input.v == 500"),
        (-0.25, 'context.input.v == decimal("-0.25")'),
        (0.123456, 'context.input.v == "0.123456"'),
        (1e300, 'context.input.v == "1e+300"'),
        (2**63, 'context.input.v == "9223372036854775808"'),
        (float("nan"), 'context.input.v == "NaN"'),
        (None, 'context.input.v == "null"'),
        (["a", 1, "a"], 'context.input.v.contains("a") && context.input.v.contains(1)'),
        ({"w": [True]}, "context.input.v.w.contains(true)"),
        (
            {"__entity": {"type": "Agent", "id": "root"}},
            r'context.input.v == "{\"__entity\":{\"id\":\"root\",\"type\":\"Agent\"}}"',
        ),
        (
            {"__extn": {"fn": "decimal", "arg": "1.0"}, "k": 1},
            r'context.input.v like "{\"__extn\":*,\"k\":1}"',
        ),
    ],
)
def test_input_values_reach_cedar_by_the_documented_rule(value, condition):
    text = f"permit(principal, action, resource) when {{ {condition} }};"
    assert decide(text, tool_input={"v": value}).outcome == "ALLOWED"


def nested(depth):
    value = {}
    for _ in range(depth):
        value = {"a": value}
    return value


@pytest.mark.parametrize(
    ("condition", "tool_input", "reason"),
    [
        ("context.input has a", nested(80), "tool input nests deeper than 64 levels"),
        ("context.input == context.input", {"__entity": {"type": "Agent", "id": "root"}},
         "tool input key '__entity' is reserved by Cedar's JSON format"),
    ],
)  # fmt: skip
def test_inputs_cedar_cannot_hold_are_denied(condition, tool_input, reason):
    decision = decide(
        f"permit(principal, action, resource) when {{ {condition} }};", tool_input=tool_input
    )
    assert (decision.outcome, decision.reason) == ("DENIED", reason)


RECENT_POLICY = (
    'permit(principal, action, resource);\nforbid(principal, action, resource == Tool::"mail") '
    "when { context.recent.tool_calls_last_minute > 2 };"
)


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"tool_name": ""}, ValueError),
        ({"agent_id": None}, TypeError),
        ({"session_id": 1}, TypeError),
        ({"purpose": b"p"}, TypeError),
        ({"tool_input": ["not", "an", "object"]}, TypeError),
        ({"tool_input": {"v": {1, 2}}}, TypeError),
        ({"tool_input": {"v": {1: "a"}}}, TypeError),
        ({"tool_name": "mail"}, ValueError),
        ({"tool_name": "mail", "recent": {"tool_calls_last_minute": -1}}, ValueError),
        ({"recent": {"tool_calls_last_minute": True}}, ValueError),
        ({"recent": {"calls": 1}}, ValueError),
        ({"approved": 1}, TypeError),
    ],
)
def test_bad_arguments_raise(kwargs, error):
    policy = pol.Policy(
        RECENT_POLICY + "\npermit(principal, action, resource) when "
        "{ context.input has v && context.input.v == 1 };"
    )
    call = {"tool_name": "t", "agent_id": "a1"} | kwargs
    with pytest.raises(error):
        policy.evaluate(call.pop("tool_name"), **call)


def test_only_the_recent_counts_a_tool_reads_are_asked_for():
    policy = pol.Policy(RECENT_POLICY)
    assert policy.recent_fields("mail") == {"tool_calls_last_minute"}
    assert policy.recent_fields("shell") == frozenset()
    assert policy.evaluate("shell", agent_id="a1").allow


EQUIVALENCE_POLICIES = """
permit(principal, action, resource == Tool::"a")
  when { context.input has x && context.input.x == 1 };
forbid(principal, action, resource in Tool::"b") when { context has purpose };
permit(principal, action, resource is Tool) when { context.session_id == "s" };
forbid(principal == Agent::"evil", action, resource);
permit(principal, action, resource) when { [context.input].contains({}) };
permit(principal, action, resource is Tool in Tool::"c")
  when { context.recent.tool_calls_in_session < 2 };
forbid(principal, action, resource == Tool::"a") when { context.input has z };
permit(principal, action, resource == Tool::"d")
  when { (if context.session_id == "s" then context else context) has purpose };
"""


def test_sending_cedar_only_what_the_tools_policies_read_changes_no_decision():
    policy = pol.Policy(EQUIVALENCE_POLICIES)
    inputs = [{}, {"x": 1}, {"x": 1, "z": 0}, {"y": [2.5, None]}]
    cases = itertools.product("abcde", inputs, [None, "p"], ["good", "evil"], "st", [0, 5])
    for tool, tool_input, purpose, agent, session, count in cases:
        recent = {"tool_calls_last_minute": count, "tool_calls_in_session": count}
        call = {"tool_input": tool_input, "purpose": purpose, "session_id": session}
        decision = policy.evaluate(tool, agent_id=agent, recent=recent, **call)
        context = (
            dict.fromkeys(["trace_id", "system_id", "actor", "action"], "")
            | {
                "session_id": session,
                "recent": recent,
                "input": pol._carry_input(tool_input, None),
            }
            | ({"purpose": purpose} if purpose else {})
        )
        request = {
            "principal": {"type": "Agent", "id": agent},
            "action": pol._ACTION,
            "resource": {"type": "Tool", "id": tool},
            "context": context,
        }
        whole = cedarpy.is_authorized(request, EQUIVALENCE_POLICIES, [])
        assert decision.allow == whole.allowed, (tool, call, agent, recent)
        assert sorted(decision.policies) == sorted(whole.diagnostics.reasons)


# fmt: off
BAD_POLICIES = [
    ("permit(principal, action, resource)\nwhen { context.input.x == 1 ;", 2,
     "unexpected token `;`"),
    ('permit(principal, action, resource) when { "open };', 1, "invalid token"),
    ("permit(principal, action, resource)", 1, "unexpected end of input"),
    (ALLOW_ALL + "\npermit(principal, action, resource)\n  when { foo(1) };", 4,
     "`foo` is not a valid function"),
    ('// rules\n@id("p")\npermit(principal, action, resource)\nwhen {\n'
     '  context.input has a &&\n  context.sesion_id == ""\n};', 6,
     "policy p: attribute `sesion_id` in context"),
    (ALLOW_ALL + 'forbid(principal == User::"x", action, resource);', 2,
     "unrecognized entity type `User`"),
    ('permit(principal, action, resource) when { context.purpose == "x" };', 1,
     "optional attribute `purpose`"),
    (ALLOW_ALL + "permit(principal == ?principal, action, resource);", 2, "templates"),
    ('@id("a") permit(principal, action, resource);\n'
     '@id("a") forbid(principal, action, resource);', 2, "@id 'a' is used twice"),
    ("@approval permit(principal, action, resource);", 1, "@approval applies to forbid"),
    ('@shadow("no") forbid(principal, action, resource);', 1, "@shadow takes no value"),
]
# fmt: on


@pytest.mark.parametrize(("text", "line", "message"), BAD_POLICIES)
def test_a_bad_policy_is_refused_with_file_and_line(tmp_path, text, line, message):
    path = tmp_path / "rules.cedar"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(pol.PolicyError) as caught:
        pol.load_policy(path)
    assert isinstance(caught.value, ValueError)
    first = caught.value.problems[0]
    assert (first.file, first.line) == (str(path), line)
    assert message in first.message
    assert str(caught.value).startswith(f"{path}:{line}: ")


@pytest.mark.parametrize(
    "condition",
    [
        "context.input.amount > 5",
        "context.input has amount && context.input.amount > 5",
        'context.input.a.b == 1 && context.input["my key"] like "x*"',
        "context.input has a.b && context.input.a.b.contains(2)",
    ],
)
def test_reads_of_the_tool_input_validate(condition):
    assert pol.check(f"permit(principal, action, resource) when {{ {condition} }};") == []


def test_policy_from_a_file_or_text_is_versioned_by_its_text(tmp_path):
    text = '@id("x")\npermit(principal, action, resource);\n'
    path = tmp_path / "p.cedar"
    path.write_text(text, encoding="utf-8")
    digest = hashlib.sha256(text.encode()).hexdigest()
    for source in (text, path, str(path)):
        assert pol.load_policy(source).evaluate("t", agent_id="a").policy_version == digest


def test_without_cedarpy_only_loading_a_policy_fails():
    code = (
        "import sys; sys.modules['cedarpy'] = None\n"
        "from velkor_agent_hooks.service.governance import policy\n"
        "try:\n    policy.Policy('permit(principal, action, resource);')\n"
        "except ImportError as e:\n    print(e)\n"
    )
    src = Path(pol.__file__).parents[3]
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={"PYTHONPATH": str(src)}, check=True)  # fmt: skip
    out = run.stdout
    assert "pip install 'velkor-agent-hooks[policy]'" in out


@pytest.mark.parametrize(
    ("content", "status", "expected"),
    [
        (ALLOW_ALL, 0, "{path}: 1 policies valid"),
        ("permit(principal, action, resource)\nwhen { context.input.x == 1 ;", 1,
         "{path}:2: unexpected token `;`"),
        (None, 2, "{path}: No such file or directory"),
    ],
)  # fmt: skip
def test_cli_check(tmp_path, content, status, expected):
    path = tmp_path / "p.cedar"
    if content is not None:
        path.write_text(content, encoding="utf-8")
    assert pol.cli_check(path) == (status, expected.format(path=path))


# fmt: off
CLI_TESTS = [
    ("shell", '{"command": "ls /etc"}', 0,
     ["outcome: ALLOWED", "reason: the shell may run ls", "policies: shell-ls",
      "shadow: DENIED (the shell stays out of /etc; policies: shell-no-etc)"]),
    ("send_email", "{}", 0, ["outcome: ALLOWED", "reason: email", "policies: email"]),
    ("browser", "{}", 1, ["outcome: DENIED", f"reason: {pol.NO_PERMIT}", "policies: (none)"]),
    ("shell", "[1]", 2, ["--input must be a JSON object"]),
    ("shell", "{", 2, ["--input is not JSON: Expecting property name enclosed in double quotes: "
                       "line 1 column 2 (char 1)"]),
]
# fmt: on


@pytest.mark.parametrize(("tool", "tool_input", "status", "lines"), CLI_TESTS)
def test_cli_test(tmp_path, tool, tool_input, status, lines):
    path = tmp_path / "p.cedar"
    path.write_text(doc_policy().text, encoding="utf-8")
    got_status, text = pol.cli_test(path, tool=tool, agent="a1", input_json=tool_input)
    version = f"policy_version: {hashlib.sha256(path.read_bytes()).hexdigest()}"
    assert (got_status, text.splitlines()) == (status, lines + [version] * (status < 2))
