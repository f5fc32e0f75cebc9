"""Cedar policies on the embedded client: decisions, a shadow rule, a rate limit, an approval
from request to use, and the audit's hash chain. Needs the policy extra (cedarpy)."""

import json
from typing import Any

from velkor_agent_hooks.client import VelkorClient

# The README's worked examples, as one file.
POLICIES = """
@id("shell-ls")
@reason("the shell may run ls")
permit(principal, action == Action::"call_tool", resource == Tool::"shell")
when {
  context.input has command &&
  (context.input.command == "ls" || context.input.command like "ls *")
};

@id("shell-no-rm-rf")
@reason("the shell never runs rm -rf")
forbid(principal, action == Action::"call_tool", resource == Tool::"shell")
when { context.input has command && context.input.command like "*rm -rf*" };

@id("refund")
permit(principal, action == Action::"call_tool", resource == Tool::"refund");

@id("refund-cap")
@reason("refunds are capped at 500")
forbid(principal, action == Action::"call_tool", resource == Tool::"refund")
when { !(context.input has amount) || context.input.amount > 500 };

@id("email")
permit(principal, action == Action::"call_tool", resource == Tool::"send_email");

@id("email-rate")
@reason("at most 3 emails a minute")
forbid(principal, action == Action::"call_tool", resource == Tool::"send_email")
when { context.recent.tool_calls_last_minute >= 3 };

@id("delete")
permit(principal, action == Action::"call_tool", resource == Tool::"delete_file");

@id("delete-needs-approval")
@reason("deleting outside /tmp needs a person's approval")
@approval
forbid(principal, action == Action::"call_tool", resource == Tool::"delete_file")
when { !(context.input has path) || !(context.input.path like "/tmp/*") };

@id("shell-no-etc")
@reason("the shell stays out of /etc")
@shadow
forbid(principal, action == Action::"call_tool", resource == Tool::"shell")
when { context.input has command && context.input.command like "*/etc*" };
"""


def main() -> None:
    client = VelkorClient(policy=POLICIES, agent_id="a1")
    calls: list[tuple[str, dict[str, Any]]] = [
        ("shell", {"command": "ls -la"}),
        ("shell", {"command": "ls; rm -rf /"}),
        ("shell", {"command": "cat notes.txt"}),
        ("refund", {"amount": 500}),
        ("refund", {"amount": 499.5}),
        ("browser", {}),
    ]
    for tool, tool_input in calls:
        decision = client.gate(tool, tool_input=tool_input)
        print(f"{tool} {json.dumps(tool_input)}: {decision.outcome} ({decision.reason})")

    emails = [client.gate("send_email", tool_input={"to": "a@example.com"}) for _ in range(4)]
    print("four emails in a minute:", [d.outcome for d in emails])

    # The shadow rule decides nothing; the audit says what it would have done.
    live = client.gate("shell", tool_input={"command": "ls /etc"})
    (event,) = client.audit_events(trace_id=live.trace_id)
    print(f"shell ls /etc: {live.outcome}, shadow {event['shadow']['outcome']}", end="")
    print(f" ({event['shadow']['reason']})")

    asked = client.gate("delete_file", tool_input={"path": "notes.txt"})
    print(f"delete notes.txt: {asked.outcome} ({asked.reason})")
    assert asked.approval_id is not None
    for pending in client.approvals("pending"):
        print(f"  pending {pending['id']}: {pending['tool_name']} {pending['tool_input']}")
    client.decide_approval(asked.approval_id, True, by="ana", note="old notes")
    for attempt in ("retry", "again"):
        decision = client.gate(
            "delete_file", tool_input={"path": "notes.txt"}, approval_id=asked.approval_id
        )
        print(f"  {attempt} with the approval: {decision.outcome} ({decision.reason})")

    print("audit chain:", client.verify_audit())
    client.close()


if __name__ == "__main__":
    main()
