"""The velkor command: every subcommand's help, its exit statuses and one-line errors, and
what the listing and maintenance commands print."""

import json
import os
import subprocess
import sys

import pytest

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.service.cli import main
from velkor_agent_hooks.service.storage.migrations import LATEST

COMMANDS = [
    [],
    ["serve"],
    ["doctor"],
    ["migrate"],
    ["memories"],
    ["memories", "list"],
    ["memories", "export"],
    ["audit"],
    ["audit", "list"],
    ["audit", "export"],
    ["audit", "verify"],
    ["memories", "forget"],
    ["policy", "check"],
    ["policy", "test"],
    ["approvals", "list"],
    ["approvals", "approve"],
    ["console"],
    ["hermes", "install"],
]


@pytest.mark.parametrize("words", COMMANDS, ids=lambda w: " ".join(w) or "velkor")
def test_every_help_says_in_a_line_what_it_does(words, capsys):
    with pytest.raises(SystemExit) as done:
        main([*words, "--help"])
    assert done.value.code == 0
    out = capsys.readouterr().out
    description = out.split("\n\n")[1]
    assert description and "\n" not in description.strip(), out


def test_the_installed_script_and_the_old_module_path_run():
    script = os.path.join(os.path.dirname(sys.executable), "velkor")
    for command in ([script, "--help"], [sys.executable, "-m", "velkor_agent_hooks.client", "-h"]):
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and "serve" in done.stdout, done.stderr


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "v.db")
    with VelkorClient(path=path) as client:
        client.remember("first <b>note</b>", session_id="s1")
        client.remember("second note", session_id="s2", user_id="ana")
        client.gate("search", agent_id="a1", trace_id="t-1")
    return path


def test_listings_and_exports(db, capsys):
    assert main(["memories", "export", "--db", db]) == 0
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [r["text"] for r in rows] == ["first <b>note</b>", "second note"]
    assert main(["memories", "list", "--db", db, "--limit", "1"]) == 0
    assert capsys.readouterr().out.count("\n") == 1
    assert main(["audit", "export", "--db", db]) == 0
    (event,) = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert (event["tool_name"], event["trace_id"]) == ("search", "t-1")
    assert main(["audit", "list", "--db", db]) == 0
    assert "search  ALLOWED  a1  t-1" in capsys.readouterr().out
    assert main(["doctor", "--db", db]) == 0
    assert json.loads(capsys.readouterr().out)["memories"] == 2
    assert main(["migrate", "--db", db]) == 0
    assert f"schema version {LATEST}, up to date" in capsys.readouterr().out


@pytest.mark.parametrize(
    ("words", "status", "says"),
    [
        (["frobnicate"], 2, "invalid choice"),
        (["memories", "list", "--limit", "x"], 2, "invalid int value"),
        (["doctor", "--url", "http://127.0.0.1:9"], 1, "VelkorConnectionError"),
        (["serve", "--processes", "0"], 1, "--processes must be at least 1"),
        (["serve", "--host", "0.0.0.0", "--port", "0", "--db", ":memory:"], 1, "API key"),
    ],
)
def test_errors_are_one_line_with_the_usage_or_failure_status(words, status, says, capsys):
    try:
        code = main(words)
    except SystemExit as exc:
        code = exc.code
    err = capsys.readouterr().err
    assert code == status and says in err, err
    assert err.strip().splitlines()[-1].startswith(("error:", "velkor"))
    if status == 1:
        assert err.count("\n") == 1
