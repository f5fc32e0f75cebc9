"""``python -m velkor_agent_hooks.client``: the ``velkor`` command under its earlier name."""

import sys

from ..service.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m velkor_agent_hooks.client"))
