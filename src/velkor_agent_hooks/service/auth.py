"""Who may use a server: one set of rules for the service's HTTP server and the MCP server.

A key is at least 16 printable ASCII characters without spaces; every request must carry
it as ``Authorization: Bearer <key>``. Without a key a server binds only loopback
addresses, decided by the address the name resolves to (never by the name itself).
"""

from __future__ import annotations

import hmac
import ipaddress
import re
import socket
from typing import Any

from ..client._wire import AUTH_SCHEME

_KEY = re.compile(r"[\x21-\x7e]{16,}")


def check_api_key(api_key: str | None) -> None:
    if api_key is None:
        return
    if not isinstance(api_key, str):
        raise TypeError(f"api_key must be str or None, got {type(api_key).__name__}")
    if not _KEY.fullmatch(api_key):
        raise ValueError("api_key must be at least 16 printable ASCII characters, no spaces")


class Authenticator:
    """Whether a request's ``Authorization`` header carries the key; None lets all in."""

    def __init__(self, api_key: str | None) -> None:
        check_api_key(api_key)
        self._key = api_key.encode() if api_key else None
        # The header as clients send it; anything else takes the slower, lenient parse.
        self._expected = f"{AUTH_SCHEME} {api_key}".encode() if api_key else b""

    @property
    def required(self) -> bool:
        return self._key is not None

    def accepts(self, header: bytes | None) -> bool:
        if self._key is None:
            return True
        # compare_digest throughout: the time taken does not tell how much of a guess was right.
        if header is not None and hmac.compare_digest(header, self._expected):
            return True
        scheme, _, token = (header or b"").strip().partition(b" ")
        matches = hmac.compare_digest(token.strip(), self._key)
        return scheme.lower() == AUTH_SCHEME.lower().encode() and matches


def resolve(host: str, port: int) -> tuple[socket.AddressFamily, Any]:
    infos = socket.getaddrinfo(host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, _, _, _, address = infos[0]
    return family, address


def is_loopback(address: Any) -> bool:
    try:
        return ipaddress.ip_address(address[0].split("%")[0]).is_loopback
    except ValueError:
        return False


def bind_address(host: str, port: int, api_key: str | None) -> tuple[socket.AddressFamily, Any]:
    """The address to serve, after the key and loopback checks every server makes."""
    check_api_key(api_key)
    family, address = resolve(host, port)
    if api_key is None and not is_loopback(address):
        raise ValueError(
            f"refusing to serve {address[0]} without an API key: only loopback addresses"
            " may go without one (--api-key or VELKOR_API_KEY)"
        )
    return family, address
