"""An asyncio program: every client call runs in a worker thread, the loop stays free."""

import asyncio
import time

from velkor_agent_hooks.client import VelkorClient
from velkor_agent_hooks.parlow import AsyncVelkorClient


async def heartbeat(stop: asyncio.Event) -> int:
    beats = 0
    while not stop.is_set():
        beats += 1
        await asyncio.sleep(0.001)
    return beats


async def run(client: VelkorClient | None = None) -> None:
    facade = AsyncVelkorClient(client or VelkorClient(deny_tools=["shell"]))
    stop = asyncio.Event()
    beats = asyncio.create_task(heartbeat(stop))
    started = time.perf_counter()
    stored = await asyncio.gather(
        *(facade.remember(f"note {i}: the build takes {i} minutes") for i in range(20))
    )
    context, decision, observed, turns, health = await asyncio.gather(
        facade.context("How long does the build take?", max_tokens=60),
        facade.gate("shell", agent_id="ops", tool_input={"cmd": "ls"}),
        facade.observe(tool_name="search", agent_id="ops", fields={"hits": 3}),
        facade.remember_turns(
            [{"role": "user", "text": "hi"}, {"role": "assistant", "text": "hello"}]
        ),
        facade.doctor(),
    )
    stop.set()
    print(f"stored {len(stored)} notes in {time.perf_counter() - started:.3f}s")
    print(f"loop heartbeats meanwhile: {await beats}")
    print("context:", context.text.replace("\n", " | "))
    print(f"gate shell: allow={decision.allow} outcome={decision.outcome}")
    print("observe:", observed["recorded"], "| remember_turns:", turns["stored"])
    print("doctor:", {k: health[k] for k in ("backend", "memories", "audit_events")})


def main(client: VelkorClient | None = None) -> None:
    asyncio.run(run(client))


if __name__ == "__main__":
    main()
