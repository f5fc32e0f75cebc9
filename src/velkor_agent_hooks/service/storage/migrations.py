"""Each database's schema, as numbered migrations.

Version N is the same schema in both databases; a database records the version it holds
(SQLite in ``PRAGMA user_version``, PostgreSQL in ``velkor_schema``). Opening one runs the
migrations it lacks, all in one transaction, and says so once; a database of a newer
release is refused. A migration is never edited once released: a change is a new one.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Callable
from typing import Any

from .common import dump_json

# A statement, or a function of the open connection run in the same transaction.
Step = str | Callable[[Any], None]

log = logging.getLogger("velkor_agent_hooks.storage")


class SchemaTooNew(RuntimeError):
    """The database was written by a newer release than this one."""


def chain_events(conn: Any, table: str, placeholder: str) -> None:
    """Links the events of an earlier release into each project's hash chain, oldest first."""
    from ..governance.chain import GENESIS, chain_event

    rows = conn.execute(f"SELECT seq, project, body FROM {table} ORDER BY seq").fetchall()
    heads: dict[str, tuple[int, str]] = {}
    columns = ", ".join(f"{c} = {placeholder}" for c in (*EVENT_COLUMNS, "allowed"))
    update = (
        f"UPDATE {table} SET body = {placeholder}, chain = {placeholder},"
        f" hash = {placeholder}, {columns} WHERE seq = {placeholder}"
    )
    for seq, project, body in rows:
        number, prev = heads.get(project, (0, GENESIS))
        try:
            event = json.loads(body)
        except ValueError:
            event = {"unreadable": body}
        if not isinstance(event, dict):
            event = {"unreadable": body}
        chained = chain_event(event, prev, number + 1)
        conn.execute(
            update,
            (dump_json(chained), number + 1, chained["hash"], *event_columns(chained), seq),
        )
        heads[project] = (number + 1, chained["hash"])


def scope_keys(session_id: str, user_id: str) -> list[str]:
    """The scopes a memory counts in: its project (""), its session and its user."""
    keys = ["", "s:" + session_id]
    if user_id:
        keys.append("u:" + user_id)
    return keys


def analyse_memories(conn: Any, dialect: str) -> None:
    """Index terms, scope counts and the new index for the memories of an earlier release."""
    from ..memory.text import analyze

    sqlite = dialect == "SQLite"
    table = "memories" if sqlite else "velkor_memories"
    mark = "?" if sqlite else "%s"
    rows = conn.execute(
        f"SELECT seq, project, session_id, user_id, text, timestamp FROM {table} ORDER BY seq"
    ).fetchall()
    sizes: dict[tuple[str, str], int] = {}
    for seq, project, session_id, user_id, text, timestamp in rows:
        terms = " ".join(analyze(text))
        if sqlite:
            conn.execute(
                "UPDATE memories SET terms = ?, created_at = ? WHERE seq = ?",
                (terms, timestamp, seq),
            )
            conn.execute(
                "INSERT INTO memories_index (rowid, terms, scope) VALUES (?, ?, ?)",
                (seq, project_terms(project, terms), memory_scope(project, session_id, user_id)),
            )
        else:
            conn.execute(
                f"UPDATE velkor_memories SET terms = {mark}, created_at = {mark},"
                f" words = to_tsvector('simple', {mark}) WHERE seq = {mark}",
                (terms, timestamp, terms, seq),
            )
        for key in scope_keys(session_id, user_id):
            sizes[project, key] = sizes.get((project, key), 0) + 1
    scopes = "memory_scopes" if sqlite else "velkor_memory_scopes"
    for (project, key), size in sizes.items():
        conn.execute(
            f"INSERT INTO {scopes} (project, scope, size) VALUES ({mark}, {mark}, {mark})",
            (project, key, size),
        )


def memory_scope(project: str, session_id: str, user_id: str) -> str:
    """The tokens a memory's full-text row carries for its session and user."""
    from .common import scope_token

    tokens = [scope_token("s", session_id)]
    if user_id:
        tokens.append(scope_token("u", user_id))
    return " ".join(tokens)


def project_terms(project: str, terms: str) -> str:
    """A memory's terms as its full-text row holds them: each behind its project's mark.

    A term's entries are then its project's alone, and a look-up needs no intersection with a
    token that every row of the project holds (twenty times slower at 100,000 rows).
    """
    from .common import scope_token

    mark = scope_token("p", project)[:13]
    return " ".join(mark + term for term in terms.split())


# An event's fields that filters and rate counts read, kept in columns too.
EVENT_COLUMNS = ("kind", "tool_name", "agent_id", "trace_id", "session_id", "recorded_at")


def event_columns(event: dict[str, Any]) -> tuple[Any, ...]:
    """The column values of an event: its text fields, and whether a gate let the call run."""
    texts = tuple(v if isinstance(v := event.get(c), str) else "" for c in EVENT_COLUMNS)
    return (*texts, 1 if event.get("allow") is True else 0)


MIGRATIONS: dict[str, list[list[Step]]] = {
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
        # 2: the audit as a hash chain with filterable columns; approvals.
        [
            *(f"ALTER TABLE events ADD COLUMN {c} TEXT NOT NULL DEFAULT ''" for c in EVENT_COLUMNS),
            "ALTER TABLE events ADD COLUMN allowed INTEGER NOT NULL DEFAULT 0",
            "ALTER TABLE events ADD COLUMN chain INTEGER",
            "ALTER TABLE events ADD COLUMN hash TEXT",
            lambda conn: chain_events(conn, "events", "?"),
            "CREATE UNIQUE INDEX IF NOT EXISTS events_chain ON events (project, chain)",
            "CREATE INDEX IF NOT EXISTS events_by_trace ON events (project, trace_id, seq)",
            # Only the calls gates let run are counted: the indexes hold those alone.
            """CREATE INDEX IF NOT EXISTS events_calls ON events
                (project, agent_id, tool_name, recorded_at) WHERE kind = 'gate' AND allowed = 1""",
            """CREATE INDEX IF NOT EXISTS events_session_calls ON events
                (project, agent_id, tool_name, session_id) WHERE kind = 'gate' AND allowed = 1""",
            """CREATE TABLE IF NOT EXISTS approvals (
                seq INTEGER PRIMARY KEY,
                project TEXT NOT NULL,
                id TEXT NOT NULL,
                body TEXT NOT NULL,
                status TEXT NOT NULL,
                expires_at TEXT NOT NULL,
                UNIQUE (project, id)
            )""",
            "CREATE INDEX IF NOT EXISTS approvals_by_status ON approvals (project, status, seq)",
        ],
        # 3: memories by their analysed terms, when they were stored and when they expire;
        # a count per scope; expiring keyed items.
        [
            "ALTER TABLE memories ADD COLUMN terms TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE memories ADD COLUMN created_at TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE memories ADD COLUMN expires_at TEXT",
            """CREATE VIRTUAL TABLE memories_index USING fts5(
                terms, scope, tokenize='unicode61 remove_diacritics 0'
            )""",
            """CREATE TABLE memory_scopes (
                project TEXT NOT NULL,
                scope TEXT NOT NULL,
                size INTEGER NOT NULL,
                PRIMARY KEY (project, scope)
            ) WITHOUT ROWID""",
            lambda conn: analyse_memories(conn, "SQLite"),
            "DROP TABLE IF EXISTS memories_text",
            "CREATE INDEX memories_by_time ON memories (project, timestamp)",
            "CREATE INDEX memories_by_user ON memories (project, user_id, seq)",
            "CREATE INDEX memories_expiry ON memories (expires_at) WHERE expires_at IS NOT NULL",
            "ALTER TABLE items ADD COLUMN expires_at TEXT",
            "CREATE INDEX items_expiry ON items (expires_at) WHERE expires_at IS NOT NULL",
        ],
        # 4: how long a keyed item lives, in seconds, so that a read can renew its expiry.
        ["ALTER TABLE items ADD COLUMN ttl REAL"],
        # 5: vectors of memories and items (float32 little-endian), erased with their rows,
        # and the model and dimension each project's vectors have (storage/vectors.py).
        [
            """CREATE TABLE embedding_models (
                project TEXT NOT NULL,
                kind TEXT NOT NULL,
                model TEXT NOT NULL,
                dim INTEGER NOT NULL,
                PRIMARY KEY (project, kind)
            ) WITHOUT ROWID""",
            """CREATE TABLE memory_vectors (
                seq INTEGER PRIMARY KEY REFERENCES memories (seq) ON DELETE CASCADE,
                project TEXT NOT NULL,
                vector BLOB NOT NULL
            )""",
            "CREATE INDEX memory_vectors_by_project ON memory_vectors (project)",
            """CREATE TABLE item_vectors (
                item INTEGER NOT NULL REFERENCES items (seq) ON DELETE CASCADE,
                n INTEGER NOT NULL,
                vector BLOB NOT NULL,
                PRIMARY KEY (item, n)
            ) WITHOUT ROWID""",
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
        # 2: as for SQLite.
        [
            *(
                f"ALTER TABLE velkor_events ADD COLUMN IF NOT EXISTS {c} text NOT NULL DEFAULT ''"
                for c in EVENT_COLUMNS
            ),
            """ALTER TABLE velkor_events
                ADD COLUMN IF NOT EXISTS allowed integer NOT NULL DEFAULT 0""",
            "ALTER TABLE velkor_events ADD COLUMN IF NOT EXISTS chain bigint",
            "ALTER TABLE velkor_events ADD COLUMN IF NOT EXISTS hash text",
            lambda conn: chain_events(conn, "velkor_events", "%s"),
            """CREATE UNIQUE INDEX IF NOT EXISTS velkor_events_chain
                ON velkor_events (project, chain)""",
            """CREATE INDEX IF NOT EXISTS velkor_events_by_trace
                ON velkor_events (project, trace_id, seq)""",
            """CREATE INDEX IF NOT EXISTS velkor_events_calls ON velkor_events
                (project, agent_id, tool_name, recorded_at) WHERE kind = 'gate' AND allowed = 1""",
            """CREATE INDEX IF NOT EXISTS velkor_events_session_calls ON velkor_events
                (project, agent_id, tool_name, session_id) WHERE kind = 'gate' AND allowed = 1""",
            """CREATE TABLE IF NOT EXISTS velkor_approvals (
                seq bigserial PRIMARY KEY,
                project text NOT NULL,
                id text NOT NULL,
                body text NOT NULL,
                status text NOT NULL,
                expires_at text NOT NULL,
                UNIQUE (project, id)
            )""",
            """CREATE INDEX IF NOT EXISTS velkor_approvals_by_status
                ON velkor_approvals (project, status, seq)""",
        ],
        # 3: as for SQLite; the tsvector now holds the analysed terms.
        [
            "ALTER TABLE velkor_memories ADD COLUMN IF NOT EXISTS terms text NOT NULL DEFAULT ''",
            """ALTER TABLE velkor_memories
                ADD COLUMN IF NOT EXISTS created_at text NOT NULL DEFAULT ''""",
            "ALTER TABLE velkor_memories ADD COLUMN IF NOT EXISTS expires_at text",
            """CREATE TABLE IF NOT EXISTS velkor_memory_scopes (
                project text NOT NULL,
                scope text NOT NULL,
                size bigint NOT NULL,
                PRIMARY KEY (project, scope)
            )""",
            lambda conn: analyse_memories(conn, "PostgreSQL"),
            """CREATE INDEX IF NOT EXISTS velkor_memories_time
                ON velkor_memories (project, timestamp)""",
            """CREATE INDEX IF NOT EXISTS velkor_memories_user
                ON velkor_memories (project, user_id, seq)""",
            """CREATE INDEX IF NOT EXISTS velkor_memories_expiry ON velkor_memories (expires_at)
                WHERE expires_at IS NOT NULL""",
            "ALTER TABLE velkor_items ADD COLUMN IF NOT EXISTS expires_at text",
            """CREATE INDEX IF NOT EXISTS velkor_items_expiry ON velkor_items (expires_at)
                WHERE expires_at IS NOT NULL""",
        ],
        # 4: as for SQLite.
        ["ALTER TABLE velkor_items ADD COLUMN IF NOT EXISTS ttl double precision"],
        # 5: as for SQLite, vectors as real[] (pgvector, where installed, casts them).
        [
            """CREATE TABLE IF NOT EXISTS velkor_embedding_models (
                project text NOT NULL,
                kind text NOT NULL,
                model text NOT NULL,
                dim integer NOT NULL,
                PRIMARY KEY (project, kind)
            )""",
            """CREATE TABLE IF NOT EXISTS velkor_memory_vectors (
                seq bigint PRIMARY KEY REFERENCES velkor_memories (seq) ON DELETE CASCADE,
                project text NOT NULL,
                dim integer NOT NULL,
                vector real[] NOT NULL
            )""",
            """CREATE INDEX IF NOT EXISTS velkor_memory_vectors_by_project
                ON velkor_memory_vectors (project)""",
            "CREATE UNIQUE INDEX IF NOT EXISTS velkor_items_by_seq ON velkor_items (seq)",
            # An item written again keeps its row and takes a new seq.
            """CREATE TABLE IF NOT EXISTS velkor_item_vectors (
                item bigint NOT NULL
                    REFERENCES velkor_items (seq) ON DELETE CASCADE ON UPDATE CASCADE,
                n integer NOT NULL,
                vector real[] NOT NULL,
                PRIMARY KEY (item, n)
            )""",
        ],
    ],
}
LATEST = len(MIGRATIONS["SQLite"])
assert all(len(steps) == LATEST for steps in MIGRATIONS.values())


def plan(database: str, found: int) -> list[Step]:
    """The steps taking a database at version ``found`` to ``LATEST``."""
    if found > LATEST:
        raise SchemaTooNew(
            f"the {database} database holds schema version {found}, newer than this release"
            f" knows (version {LATEST}): upgrade velkor-agent-hooks to open it"
        )
    return [statement for steps in MIGRATIONS[database][found:] for statement in steps]


def apply(conn: Any, steps: list[Step]) -> None:
    for step in steps:
        if isinstance(step, str):
            conn.execute(step)
        else:
            step(conn)


def report(where: str, found: int) -> None:
    # A new database is no news; an upgraded one is said once, by the process that did it.
    if 0 < found < LATEST:
        log.warning(
            "upgraded the database at %s from schema version %d to %d", where, found, LATEST
        )
