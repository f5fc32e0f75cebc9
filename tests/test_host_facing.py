"""What a host sees without reading the source: typing, introspection and the examples."""

import pydoc
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import velkor_agent_hooks.adapters as adapters
import velkor_agent_hooks.parlow as parlow

ROOT = Path(__file__).resolve().parent.parent
# Hosts whose pins conflict with the rest run their examples in venvs of their own.
EXAMPLES = sorted(
    p for p in (ROOT / "examples").glob("*.py") if not p.name.startswith(("crewai_", "hermes_"))
)


def mypy(*paths):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, paths)],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )


def test_examples_type_check_clean():
    result = mypy(*EXAMPLES)
    assert result.returncode == 0, result.stdout


def test_wrong_calls_are_each_reported():
    wrong = ROOT / "tests" / "typing" / "wrong_calls.py"
    result = mypy(wrong)
    expected = {n for n, line in enumerate(wrong.read_text().splitlines(), 1) if "# error" in line}
    reported = {
        int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line
    }
    assert expected <= reported, result.stdout


def test_help_renders_both_modules():
    for module, names in ((adapters, ("LangChainMemory", "dispatch")), (parlow, ("gate",))):
        text = pydoc.render_doc(module, renderer=pydoc.plaintext)
        assert all(name in text for name in names)


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_examples_run(path, capsys, monkeypatch):
    monkeypatch.syspath_prepend(str(path.parent))
    runpy.run_path(str(path), run_name="__main__")
    assert capsys.readouterr().out
