"""Agent-framework adapters and an asyncio facade for the Velkor service.

Import the parts you need: ``velkor_agent_hooks.adapters`` (framework adapters),
``velkor_agent_hooks.parlow`` (``AsyncVelkorClient``) or ``velkor_agent_hooks.client``
(the synchronous client). Importing the package itself loads none of them.
"""

__version__ = "0.1.0"
