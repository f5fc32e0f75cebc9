"""Who may sign in to the console, and the signed session cookie that says who did.

A session is stateless: a timestamped token signed (itsdangerous) with a secret derived from
every operator key, so the processes of ``serve --processes N`` all accept it and changing
any key ends every session. Signing out also revokes the token in this process.
"""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass

from itsdangerous import BadSignature, Signer, URLSafeTimedSerializer

from ..auth import check_api_key

API_KEY_OPERATOR = "admin"
SESSION_TTL = 8 * 3600.0
_NAME = re.compile(r"[\w.@+-]{1,64}")
_MAX_REVOKED = 10_000


def _digest(key: str) -> bytes:
    return hashlib.sha256(key.encode()).digest()


def check_operators(api_key: str | None, operators: Mapping[str, str]) -> dict[str, str]:
    """Operator name -> key, the API key's holder named ``admin``; ValueError if ambiguous."""
    check_api_key(api_key)
    keys: dict[str, str] = {}
    if api_key is not None:
        keys[API_KEY_OPERATOR] = api_key
    for name, key in operators.items():
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise ValueError(f"operator name {name!r} must be 1 to 64 letters, digits or . @ + - _")
        if name in keys:
            raise ValueError(f"operator {name!r} is given twice (the API key's holder is admin)")
        check_api_key(key)
        if key in keys.values():
            raise ValueError(f"operator {name!r} has another operator's key")
        keys[name] = key
    return keys


@dataclass(frozen=True, slots=True)
class Session:
    operator: str
    nonce: str
    csrf: str


class Sessions:
    def __init__(self, keys: Mapping[str, str], ttl: float = SESSION_TTL) -> None:
        self._keys = {name: _digest(key) for name, key in keys.items()}
        secret = hashlib.sha256(
            b"".join(b"%s\0%s\0" % (n.encode(), k) for n, k in sorted(self._keys.items()))
        ).digest()
        self._tokens = URLSafeTimedSerializer(secret, salt="velkor-console-session")
        self._csrf = Signer(secret, salt="velkor-console-csrf")
        self.ttl = ttl
        self._revoked: dict[str, float] = {}
        self._lock = threading.Lock()

    def operator_of(self, key: str) -> str | None:
        """The operator whose key this is; every key is compared, in constant time."""
        given = _digest(key)
        found = None
        for name, digest in self._keys.items():
            if hmac.compare_digest(given, digest):
                found = name
        return found

    def start(self, operator: str) -> str:
        return self._tokens.dumps({"o": operator, "n": secrets.token_urlsafe(16)})

    def read(self, token: str | None) -> Session | None:
        """The session a cookie holds, or None: forged, expired, revoked or unknown operator."""
        if not token:
            return None
        try:
            data = self._tokens.loads(token, max_age=self.ttl)
        except BadSignature:  # SignatureExpired too
            return None
        if not isinstance(data, dict):
            return None
        operator, nonce = data.get("o"), data.get("n")
        if operator not in self._keys or not isinstance(nonce, str):
            return None
        with self._lock:
            if nonce in self._revoked:
                return None
        csrf = self._csrf.get_signature(nonce).decode()
        return Session(operator, nonce, csrf)

    def csrf_ok(self, session: Session, token: str | None) -> bool:
        return token is not None and hmac.compare_digest(token.encode(), session.csrf.encode())

    def revoke(self, session: Session) -> None:
        moment = time.monotonic()
        with self._lock:
            revoked = self._revoked
            for nonce in [n for n, until in revoked.items() if until <= moment]:
                del revoked[nonce]
            while len(revoked) >= _MAX_REVOKED:
                del revoked[next(iter(revoked))]
            revoked[session.nonce] = moment + self.ttl
