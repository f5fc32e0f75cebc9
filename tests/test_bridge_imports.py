"""Bridges to hosts tested in their own venvs still name their extra when the host is absent."""

import subprocess
import sys

import pytest


@pytest.mark.parametrize(
    ("module", "hidden", "extra"),
    [("crewai", "crewai", "crewai"), ("hermes", "agent", "hermes")],
)
def test_import_without_the_host_names_the_extra(module, hidden, extra):
    code = (
        f"import sys; sys.modules[{hidden!r}] = None\n"
        f"try:\n import velkor_agent_hooks.{module}\n"
        "except ImportError as e: print(e)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert f"velkor-agent-hooks[{extra}]" in out.stdout
