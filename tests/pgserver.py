"""A throw-away PostgreSQL server for the tests: Debian's binaries, a temporary data directory,
a free port on 127.0.0.1, run as an unprivileged user when the tests run as root."""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile


def find_bindir() -> str | None:
    found = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    if not found:
        initdb = shutil.which("initdb")
        return os.path.dirname(initdb) if initdb else None
    newest = max(found, key=lambda p: int(p.split("/")[-3]) if p.split("/")[-3].isdigit() else 0)
    return os.path.dirname(newest)


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class PostgresServer:
    def __init__(self, bindir: str) -> None:
        self.bindir = bindir
        self.root = tempfile.mkdtemp(prefix="velkor-pg-")
        self.data = os.path.join(self.root, "data")
        self.log = os.path.join(self.root, "server.log")
        self.port = free_port()
        # PostgreSQL refuses to run as root.
        self.user = "nobody" if os.geteuid() == 0 else None
        if self.user:
            entry = pwd.getpwnam(self.user)
            os.chown(self.root, entry.pw_uid, entry.pw_gid)

    def _run(self, *args: str) -> None:
        command = [os.path.join(self.bindir, args[0]), *args[1:]]
        if self.user:
            command = ["runuser", "-u", self.user, "--", *command]
        # Sanitizer runs preload their runtime; PostgreSQL's binaries are not built for it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run(
            command, check=True, capture_output=True, cwd=self.root, env=env, timeout=120
        )

    def start(self) -> PostgresServer:
        self._run("initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                  "--no-sync")  # fmt: skip
        options = (
            f"-p {self.port} -c listen_addresses=127.0.0.1 -k {self.root}"
            " -c fsync=off -c max_connections=200"
        )
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-o", options, "-w", "start")
        return self

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def create_database(self, name: str) -> str:
        import psycopg

        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def stop(self) -> None:
        try:
            if os.path.exists(os.path.join(self.data, "postmaster.pid")):
                self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


VENDOR = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "vendor")
PGVECTOR = "pgvector-0.8.6"


def ensure_pgvector(bindir: str) -> str | None:
    """Makes pgvector available to the server of ``bindir``, building it from the vendored
    source when missing (into the system's extension dirs: root only); None when it is
    there, else why not."""
    pg_config = os.path.join(bindir, "pg_config")

    def config(flag: str) -> str:
        return subprocess.run(
            [pg_config, flag], check=True, capture_output=True, text=True
        ).stdout.strip()

    if not os.path.exists(pg_config):
        return "pg_config not found"
    if os.path.exists(os.path.join(config("--sharedir"), "extension", "vector.control")):
        return None
    source = os.path.join(VENDOR, PGVECTOR + ".tar.gz")
    if not os.path.exists(source):
        return f"pgvector is not installed and {source} is missing"
    if not os.path.exists(os.path.join(config("--includedir-server"), "postgres.h")):
        major = config("--version").split()[-1].split(".")[0]
        return (
            "pgvector is not installed and cannot be built here:"
            f" apt-get install postgresql-server-dev-{major}"
        )
    if os.geteuid() != 0:
        return "pgvector is not installed and only root can install the one built here"
    work = tempfile.mkdtemp(prefix="velkor-pgvector-")
    try:
        subprocess.run(["tar", "-xzf", source, "-C", work], check=True, capture_output=True)
        tree = os.path.join(work, PGVECTOR)
        for target in ([], ["install"]):
            done = subprocess.run(
                ["make", "-j2", "USE_PGXS=1", f"PG_CONFIG={pg_config}", *target],
                cwd=tree,
                capture_output=True,
                text=True,
                timeout=600,
            )
            if done.returncode != 0:
                return f"building pgvector failed: {done.stderr.strip().splitlines()[-1:]}"
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return None
