"""Several server processes on one port, supervised: ``velkor serve --processes N``.

N server processes listen on one port with SO_REUSEPORT, the kernel spreading connections
between them; the parent only holds the port and supervises. SIGTERM or SIGINT to the
parent stops every process after its requests in flight. A process that dies on its own is
reported, the others are stopped, and the parent exits 1: restarting is left to whatever
runs the parent (systemd ``Restart=on-failure``), so a process that keeps failing (its
database gone) does not go round unseen.
"""

from __future__ import annotations

import os
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from . import url_of


def say(line: str, stream: Any = None) -> None:
    """Writes one line in one write: ``print`` writes the newline apart when output is
    unbuffered, and the lines of several processes sharing a pipe would run together."""
    stream = sys.stdout if stream is None else stream
    stream.write(line + "\n")
    stream.flush()


def _child(
    make: Callable[..., object],
    port: int,
    ready: int,
    parent: int,
    reload: Callable[[object], None] | None,
) -> int:
    stop = threading.Event()
    hup = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGHUP, lambda *_: hup.set())
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent passes a Ctrl-C on as SIGTERM
    signal.pthread_sigmask(signal.SIG_UNBLOCK, (signal.SIGTERM, signal.SIGINT, signal.SIGHUP))
    try:
        server = make(port, reuse_port=True)
        server.start()  # type: ignore[attr-defined]
    except Exception as exc:
        say(f"error: server process {os.getpid()} cannot serve: {exc}", sys.stderr)
        return 1
    with server:  # type: ignore[attr-defined]
        os.write(ready, b"1")
        os.close(ready)
        while not stop.wait(0.5):
            if os.getppid() != parent:  # the supervisor was killed: do not linger
                break
            if hup.is_set():
                hup.clear()
                if reload is not None:
                    reload(server)
    return 0


def _describe(status: int) -> str:
    code = os.waitstatus_to_exitcode(status)
    return f"was killed by signal {-code}" if code < 0 else f"exited with status {code}"


def supervise(
    reserved: socket.socket,
    processes: int,
    make: Callable[..., object],
    grace: float,
    reload: Callable[[object], None] | None = None,
) -> int:
    """Serves with ``processes`` children; SIGHUP to the parent is passed on to each, which
    calls ``reload`` with its server."""

    host, port = reserved.getsockname()[:2]
    stop = threading.Event()
    signals = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
    hup = threading.Event()
    # Blocked across the forks, so a signal reaches a child only once its handler is set.
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGHUP, lambda *_: hup.set())
    sys.stdout.flush()
    sys.stderr.flush()
    children: dict[int, int] = {}  # pid -> read end of its ready pipe
    parent = os.getpid()
    for _ in range(processes):
        ready_read, ready_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(ready_read)
            for fd in children.values():
                os.close(fd)
            reserved.close()
            code = 1
            try:
                code = _child(make, port, ready_write, parent, reload)
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(code)
        os.close(ready_write)
        children[pid] = ready_read
    signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)
    failed = False
    for ready_read in children.values():
        ready = os.read(ready_read, 1) == b"1"  # nothing: it failed and exited
        os.close(ready_read)
        failed = failed or not ready
    alive = set(children)
    started = not failed
    if started:
        pids = ", ".join(map(str, alive))
        say(f"Velkor server listening on {url_of(host, port)} (processes {pids})")
    while not failed and not stop.is_set():
        pid, status = os.waitpid(-1, os.WNOHANG)
        if pid:
            alive.discard(pid)
            say(f"error: server process {pid} {_describe(status)}", sys.stderr)
            failed = True
        else:
            if hup.is_set():
                hup.clear()
                for child in alive:
                    os.kill(child, signal.SIGHUP)
            time.sleep(0.1)
    if started:
        say("stopping: finishing requests in flight")
    for pid in alive:
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace + 5.0
    while alive:
        for pid in list(alive):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                alive.discard(pid)
                if os.waitstatus_to_exitcode(status) != 0:
                    say(f"error: server process {pid} {_describe(status)}", sys.stderr)
                    failed = True
        if alive and time.monotonic() > deadline:
            for pid in alive:
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.02)
    if started:
        say("stopped")
    return 1 if failed else 0
