import hashlib
import json

import pytest

from velkor_agent_hooks.service.governance.chain import GENESIS, canonical, chain_event, verify


def events(count=5):
    chain, prev = [], GENESIS
    for seq in range(1, count + 1):
        event = {"kind": "gate" if seq % 2 else "observe", "tool_name": "shell",
                 "recorded_at": f"2026-01-01T00:00:0{seq}Z",
                 "tool_input": {"command": "ls", "n": seq, "ratio": 0.5}}  # fmt: skip
        chain.append(chain_event(event, prev, seq))
        prev = chain[-1]["hash"]
    return chain


def test_the_encoding_is_pinned():
    event = {"b": [1, 2.5, 3.0, None, True], "a": "é\n", "hash": "ignored"}
    assert canonical(event) == b'{"a":"\\u00e9\\n","b":[1,2.5,3,null,true]}'
    chained = chain_event({"kind": "gate", "recorded_at": "2026-01-01T00:00:00Z"}, GENESIS, 1)
    body = f'{{"kind":"gate","prev_hash":"{GENESIS}","recorded_at":"2026-01-01T00:00:00Z","seq":1}}'
    assert chained["hash"] == hashlib.sha256(body.encode()).hexdigest()


def test_an_intact_chain_verifies_after_a_storage_round_trip():
    stored = json.loads(json.dumps(events()))
    stored[2]["tool_input"]["n"] = 3.0  # jsonb hands back integral floats as integers, or not
    assert verify(stored) == {"ok": True, "events": 5, "first_bad_seq": None}
    assert verify([]) == {"ok": True, "events": 0, "first_bad_seq": None}


def edit(chain):
    chain[2]["tool_input"]["command"] = "rm -rf /"


def edit_and_rehash(chain):
    event = {k: v for k, v in chain[2].items() if k not in ("seq", "prev_hash", "hash")}
    chain[2] = chain_event(event | {"tool_name": "other"}, chain[1]["hash"], 3)


def insert(chain):
    chain.insert(2, chain_event({"kind": "gate"}, chain[1]["hash"], 3))


@pytest.mark.parametrize(
    ("tamper", "first_bad_seq"),
    [
        (edit, 3),
        (edit_and_rehash, 4),
        (lambda c: c[0].update(recorded_at="2025-12-31T23:59:59Z"), 1),
        (lambda c: c.pop(2), 3),
        (insert, 4),
        (lambda c: c.insert(1, c.pop(2)), 2),
        (lambda c: c[3].pop("hash"), 4),
        (lambda c: c[4].update(seq=True), 5),
    ],
)
def test_tampering_names_the_first_bad_seq(tamper, first_bad_seq):
    chain = events()
    tamper(chain)
    assert verify(chain) == {"ok": False, "events": len(chain), "first_bad_seq": first_bad_seq}


@pytest.mark.parametrize(
    ("event", "prev_hash", "seq", "error"),
    [
        ({"kind": "gate"}, GENESIS, 0, ValueError),
        ({"kind": "gate"}, GENESIS, True, ValueError),
        ({"kind": "gate"}, "ab" * 31, 2, ValueError),
        ({"kind": "gate"}, "AB" * 32, 2, ValueError),
        ({"kind": "gate"}, "ab" * 32, 1, ValueError),
        ({"kind": "gate", "hash": "x"}, GENESIS, 1, ValueError),
        ({"kind": "gate", "seq": 1}, GENESIS, 1, ValueError),
        ({"v": float("nan")}, GENESIS, 1, ValueError),
        ({"v": {1: "a"}}, GENESIS, 1, TypeError),
        ({"v": {1, 2}}, GENESIS, 1, TypeError),
        (["kind", "gate"], GENESIS, 1, TypeError),
    ],
)
def test_chain_event_refuses_bad_input(event, prev_hash, seq, error):
    with pytest.raises(error):
        chain_event(event, prev_hash, seq)
