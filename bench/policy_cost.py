"""What a Cedar decision adds to a tool-call gate, with 0, 10 and 100 policies.

    PYTHONPATH=src python bench/policy_cost.py [--repeats N] [--number N]

The reference is the embedded client's gate today (an audit write in in-memory SQLite plus
its checks). Two layouts of the policies: "scoped", where each names one of 20 tools in its
resource (as most tool rules do) and a tenth apply to every tool, and "unscoped", where all
apply to every call (the worst case). Times are the fastest of the repeats, in microseconds.
"""

import argparse
import timeit

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.service.governance.policy import Policy

TOOL = "tool1"
TOOL_INPUT = {"command": "ls -la /tmp", "cwd": "/home/agent", "timeout": 30, "env": {"LANG": "C"}}
CALL = {
    "agent_id": "agent-7",
    "tool_input": TOOL_INPUT,
    "session_id": "session-1",
    "trace_id": "trace-1",
    "recent": {"tool_calls_last_minute": 1, "tool_calls_in_session": 4},
}


def policies(count: int, scoped: bool) -> str:
    """``count`` policies: one permit, and forbids of the kinds docs/policies.md shows."""
    if count == 0:
        return ""
    rules = ['@id("allow-all") permit(principal, action == Action::"call_tool", resource);']
    for i in range(count - 1):
        general = not scoped or i % 10 == 0
        resource = "resource" if general else f'resource == Tool::"tool{i % 20}"'
        kind = i % 3
        if kind == 0:
            when = f'context.input has command && context.input.command like "*forbidden{i}*"'
        elif kind == 1:
            when = f"context.input has amount && context.input.amount > {500 + i}"
        else:
            when = f"context.recent.tool_calls_last_minute >= {10 + i}"
        rules.append(f'@id("rule-{i}")\nforbid(principal, action, {resource})\nwhen {{ {when} }};')
    return "\n".join(rules)


def best(fn, number: int, repeats: int) -> float:
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--number", type=int, default=2000)
    args = parser.parse_args()

    client = VelkorClient()
    gate_kwargs = {k: v for k, v in CALL.items() if k != "recent"}
    gate = best(lambda: client.gate(TOOL, **gate_kwargs), args.number, args.repeats)
    print(f"gate today (embedded, in-memory SQLite): {gate:6.1f} us")
    print(f"{'layout':9} {'policies':>8} {'decision us':>12} {'gate + decision / gate':>24}")
    for scoped in (True, False):
        for count in (0, 10, 100):
            policy = Policy(policies(count, scoped))
            decision = policy.evaluate(TOOL, **CALL)
            assert decision.outcome == ("DENIED" if count == 0 else "ALLOWED"), decision
            cost = best(lambda p=policy: p.evaluate(TOOL, **CALL), args.number, args.repeats)
            layout = "scoped" if scoped else "unscoped"
            print(f"{layout:9} {count:8} {cost:12.1f} {(gate + cost) / gate:23.2f}x")


if __name__ == "__main__":
    main()
