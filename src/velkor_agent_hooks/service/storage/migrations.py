"""Each database's schema, as numbered migrations.

Version N is the same schema in both databases; a database records the version it holds
(SQLite in ``PRAGMA user_version``, PostgreSQL in ``velkor_schema``). Opening one runs the
migrations it lacks, all in one transaction, and says so once; a database of a newer
release is refused. A migration is never edited once released: a change is a new one.
"""

from __future__ import annotations

import logging

log = logging.getLogger("velkor_agent_hooks.storage")


class SchemaTooNew(RuntimeError):
    """The database was written by a newer release than this one."""


MIGRATIONS: dict[str, list[list[str]]] = {
    "SQLite": [
        # 1: memories, audit events, keyed items, each with its full-text index.
        [
            """CREATE TABLE IF NOT EXISTS memories (
                seq INTEGER PRIMARY KEY,
                project TEXT NOT NULL,
                id TEXT NOT NULL,
                session_id TEXT NOT NULL,
                role TEXT NOT NULL,
                text TEXT NOT NULL,
                user_id TEXT NOT NULL,
                timestamp TEXT NOT NULL
            )""",
            "CREATE INDEX IF NOT EXISTS memories_by_project ON memories (project, seq)",
            "CREATE INDEX IF NOT EXISTS memories_by_session ON memories (project, session_id, seq)",
            """CREATE VIRTUAL TABLE IF NOT EXISTS memories_text USING fts5(
                body, scope, content='', tokenize='unicode61 remove_diacritics 2'
            )""",
            """CREATE TABLE IF NOT EXISTS events (
                seq INTEGER PRIMARY KEY,
                project TEXT NOT NULL,
                body TEXT NOT NULL
            )""",
            "CREATE INDEX IF NOT EXISTS events_by_project ON events (project, seq)",
            """CREATE TABLE IF NOT EXISTS items (
                seq INTEGER PRIMARY KEY,
                project TEXT NOT NULL,
                namespace TEXT NOT NULL,
                key TEXT NOT NULL,
                value TEXT NOT NULL,
                created_at TEXT NOT NULL,
                updated_at TEXT NOT NULL,
                UNIQUE (project, namespace, key)
            )""",
            "CREATE INDEX IF NOT EXISTS items_by_project ON items (project, seq)",
            """CREATE VIRTUAL TABLE IF NOT EXISTS items_text USING fts5(
                body, scope, tokenize='unicode61 remove_diacritics 2'
            )""",
        ],
    ],
    "PostgreSQL": [
        # 1: as for SQLite; the first release created these tables without a version.
        [
            """CREATE TABLE IF NOT EXISTS velkor_memories (
                seq bigserial PRIMARY KEY,
                project text NOT NULL,
                id text NOT NULL,
                session_id text NOT NULL,
                role text NOT NULL,
                text text NOT NULL,
                user_id text NOT NULL,
                timestamp text NOT NULL,
                words tsvector NOT NULL
            )""",
            """CREATE INDEX IF NOT EXISTS velkor_memories_words ON velkor_memories
                USING gin (words) WITH (fastupdate = off)""",
            "CREATE INDEX IF NOT EXISTS velkor_memories_recent ON velkor_memories (project, seq)",
            """CREATE INDEX IF NOT EXISTS velkor_memories_session
                ON velkor_memories (project, session_id, seq)""",
            """CREATE TABLE IF NOT EXISTS velkor_events (
                seq bigserial PRIMARY KEY,
                project text NOT NULL,
                body text NOT NULL
            )""",
            "CREATE INDEX IF NOT EXISTS velkor_events_recent ON velkor_events (project, seq)",
            "CREATE SEQUENCE IF NOT EXISTS velkor_items_seq",
            """CREATE TABLE IF NOT EXISTS velkor_items (
                project text NOT NULL,
                namespace text COLLATE "C" NOT NULL,
                key text NOT NULL,
                seq bigint NOT NULL,
                value text NOT NULL,
                doc jsonb NOT NULL,
                words tsvector NOT NULL,
                created_at text NOT NULL,
                updated_at text NOT NULL,
                PRIMARY KEY (project, namespace, key)
            )""",
            """CREATE INDEX IF NOT EXISTS velkor_items_words ON velkor_items
                USING gin (words) WITH (fastupdate = off)""",
            "CREATE INDEX IF NOT EXISTS velkor_items_recent ON velkor_items (project, seq)",
        ],
    ],
}
LATEST = len(MIGRATIONS["SQLite"])
assert all(len(steps) == LATEST for steps in MIGRATIONS.values())


def plan(database: str, found: int) -> list[str]:
    """The statements taking a database at version ``found`` to ``LATEST``."""
    if found > LATEST:
        raise SchemaTooNew(
            f"the {database} database holds schema version {found}, newer than this release"
            f" knows (version {LATEST}): upgrade velkor-agent-hooks to open it"
        )
    return [statement for steps in MIGRATIONS[database][found:] for statement in steps]


def report(where: str, found: int) -> None:
    # A new database is no news; an upgraded one is said once, by the process that did it.
    if 0 < found < LATEST:
        log.warning(
            "upgraded the database at %s from schema version %d to %d", where, found, LATEST
        )
