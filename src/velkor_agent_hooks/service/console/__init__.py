"""The operators' console: server-rendered pages at ``/console`` over each project's service.

Every page is a plain HTML form or link (POST, then a redirect), so it works without
JavaScript; htmx, when installed, only boosts links and forms into in-page swaps. Signing in
takes an operator key and sets an HttpOnly, SameSite=Strict session cookie; every POST
needs the session's CSRF token and, from a browser, an Origin of this server. Templates
escape everything they show.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import logging
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from datetime import UTC, datetime
from http.cookies import CookieError, SimpleCookie
from importlib import resources
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, quote, unquote, urlencode, urlsplit

try:
    import jinja2
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "the console needs jinja2: pip install 'velkor-agent-hooks[console]'"
    ) from exc

from ... import __version__
from ...client._operations import APPROVAL_STATUSES
from .._service import Service
from ..clock import stamp
from ..governance import ALLOWED_REASON, DENY_TOOLS_REASON
from ..server.limits import ServerLimits
from ._auth import SESSION_TTL, Session, Sessions, check_operators

__all__ = ["PREFIX", "Console"]

log = logging.getLogger("velkor_agent_hooks.console")

PREFIX = "/console"
COOKIE = "velkor_console"
PAGE = 50
MAX_FORM = 64 * 1024  # console forms are small; the server's max_body caps this too
_HERE = Path(__file__).parent
_KINDS = ("gate", "observe", "approval", "forget", "console")
_AUDIT_FILTERS = ("trace_id", "agent_id", "tool_name", "kind", "since", "until")
_SECURITY = [
    (
        b"content-security-policy",
        b"default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self';"
        b" connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'",
    ),
    (b"x-content-type-options", b"nosniff"),
    (b"x-frame-options", b"DENY"),
    (b"referrer-policy", b"same-origin"),
]
_NOTICES = {
    "approved": "Approved {id}.",
    "denied": "Denied {id}.",
    "forgot": "Forgot {n} memories.",
    "signed-out": "Signed out.",
}


class Refused(Exception):
    """A request answered with an error page: its status and what it says."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Reply:
    status: int
    body: bytes = b""
    headers: list[tuple[bytes, bytes]] = field(default_factory=list)


@dataclass
class Request:
    method: str
    parts: list[str]
    query: dict[str, str]
    headers: dict[bytes, bytes]
    form: dict[str, str]
    session: Session | None = None
    client: str = ""


def _static_files() -> dict[str, tuple[bytes, bytes]]:
    files = {"console.css": ((_HERE / "static" / "console.css").read_bytes(), b"text/css")}
    try:  # htmx 2.0.3 as django-js-lib-htmx ships it (the package needs no Django to be read)
        htmx = resources.files("js_lib_htmx") / "static" / "htmx" / "htmx.min.js"
        files["htmx.min.js"] = (htmx.read_bytes(), b"text/javascript")
    except (ImportError, OSError):
        pass
    return files


def _pairs(text: str, what: str, strict: bool) -> dict[str, str]:
    try:
        pairs = parse_qsl(
            text, keep_blank_values=True, strict_parsing=strict, errors="strict", max_num_fields=64
        )
    except (ValueError, UnicodeDecodeError):
        raise Refused(400, f"the {what} is not url-encoded UTF-8") from None
    out: dict[str, str] = {}
    for name, value in pairs:
        out.setdefault(name, value)
    return out


def _time(name: str, value: str) -> str | None:
    """An ISO 8601 time typed by a person, as the stored form (UTC, to the microsecond)."""
    if not value:
        return None
    try:
        moment = datetime.fromisoformat(value)
    except ValueError:
        raise Refused(400, f"{name} must be an ISO 8601 time such as 2025-01-31T12:00") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    return stamp(moment)


def _offset(query: Mapping[str, str]) -> int:
    value = query.get("offset", "") or "0"
    if not value.isdigit() or len(value) > 12:
        raise Refused(400, f"offset must be a non-negative integer, not {value!r}")
    return int(value)


def _pretty(value: Any) -> str:
    return json.dumps(value, indent=2, sort_keys=True, ensure_ascii=False)


def _when(value: Any) -> str:
    return value[:19].replace("T", " ") if isinstance(value, str) else ""


class Console:
    """The console's ASGI application; the server hands it every path under ``/console``."""

    def __init__(
        self,
        services: Mapping[str, Service],
        api_key: str | None,
        operators: Mapping[str, str],
        limits: ServerLimits,
        pool: ThreadPoolExecutor | None,
        session_ttl: float = SESSION_TTL,
    ) -> None:
        keys = check_operators(api_key, operators)
        if not keys:
            raise ValueError("the console needs an operator key or an API key to sign in with")
        self._services = services
        self._sessions = Sessions(keys, session_ttl)
        self._pool = pool
        self._max_form = min(MAX_FORM, limits.max_body)
        self._static = _static_files()
        self._versions = {
            name: hashlib.sha256(body).hexdigest()[:12] for name, (body, _) in self._static.items()
        }
        self._env = jinja2.Environment(
            loader=jinja2.FileSystemLoader(_HERE / "templates"),
            autoescape=True,
            undefined=jinja2.StrictUndefined,
            trim_blocks=True,
            lstrip_blocks=True,
        )
        self._env.filters.update(pretty=_pretty, when=_when)
        self._env.globals.update(
            static=self._static_url, htmx="htmx.min.js" in self._static, version=__version__
        )

    @property
    def operators(self) -> list[str]:
        return sorted(self._sessions._keys)

    # ASGI

    async def __call__(self, scope: dict, receive: Callable, send: Callable) -> None:
        headers = dict(scope["headers"])
        try:
            request = await self._request(scope, receive, headers)
            if request is None:
                return  # the client went away
            if self._pool is None:
                reply = self._handle(request)
            else:
                loop = asyncio.get_running_loop()
                reply = await loop.run_in_executor(self._pool, self._handle, request)
        except Refused as exc:
            reply = self._error(exc.status, str(exc), None)
            if scope["method"] == "POST":
                reply.headers.append((b"connection", b"close"))  # its body may be unread
        headers_out = [*reply.headers, (b"content-length", b"%d" % len(reply.body)), *_SECURITY]
        await send({"type": "http.response.start", "status": reply.status, "headers": headers_out})
        await send({"type": "http.response.body", "body": reply.body})

    async def _request(
        self, scope: dict, receive: Callable, headers: dict[bytes, bytes]
    ) -> Request | None:
        raw = scope.get("raw_path") or scope["path"].encode()
        try:
            parts = [
                unquote(part, errors="strict")
                for part in raw.decode("ascii")[len(PREFIX) :].split("/")
                if part
            ]
            query = _pairs(scope["query_string"].decode("ascii"), "query string", False)
        except UnicodeDecodeError:
            raise Refused(400, "the path or query string is not url-encoded UTF-8") from None
        method = scope["method"]
        form: dict[str, str] = {}
        if method == "POST":
            body = await self._read(receive, headers)
            if body is None:
                return None
            kind = headers.get(b"content-type", b"").split(b";")[0].strip().lower()
            if kind != b"application/x-www-form-urlencoded":
                raise Refused(415, "forms are sent as application/x-www-form-urlencoded")
            try:
                form = _pairs(body.decode("ascii"), "form", True) if body else {}
            except UnicodeDecodeError:
                raise Refused(400, "the form is not url-encoded") from None
        elif method not in ("GET", "HEAD"):
            raise Refused(405, f"the console does not accept {method}")
        client = scope.get("client") or ("", 0)
        return Request(method, parts, query, headers, form, client=f"{client[0]}:{client[1]}")

    async def _read(self, receive: Callable, headers: dict[bytes, bytes]) -> bytes | None:
        length = headers.get(b"content-length")
        if length is not None and (not length.isdigit() or int(length) > self._max_form):
            raise Refused(413, f"a console form is at most {self._max_form} bytes")
        chunks, size = [], 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return None
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self._max_form:
                raise Refused(413, f"a console form is at most {self._max_form} bytes")
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    # Routing and the checks every request passes

    def _handle(self, request: Request) -> Reply:
        try:
            return self._route(request)
        except Refused as exc:
            return self._error(exc.status, str(exc), request.session)
        except ValueError as exc:  # the service refused a value, as the API answers 400
            return self._error(400, str(exc), request.session)
        except Exception:
            log.exception("console: %s /%s failed", request.method, "/".join(request.parts))
            return self._error(500, "the request failed; the server log says why", None)

    def _route(self, request: Request) -> Reply:
        parts, post = request.parts, request.method == "POST"
        if parts[:1] == ["static"]:
            return self._file(parts)
        if post:
            self._same_origin(request)
        if parts == ["login"]:
            return self._sign_in(request) if post else self._login_page(request, 200)
        request.session = session = self._sessions.read(self._cookie(request))
        if session is None:
            if post:
                raise Refused(401, "sign in first: this change was not made")
            path = PREFIX + "/" + "/".join(quote(p, safe="") for p in parts)
            return _redirect(f"{PREFIX}/login?{urlencode({'next': path})}")
        if post and not self._sessions.csrf_ok(session, request.form.get("csrf")):
            raise Refused(403, "the form's CSRF token is missing or wrong: nothing was changed")
        if not parts:
            return _redirect(self._url(next(iter(self._services)), "approvals"))
        if parts == ["logout"] and post:
            self._sessions.revoke(session)
            log.info("console: %s signed out", session.operator)
            reply = _redirect(f"{PREFIX}/login?done=signed-out")
            reply.headers.append(_cookie(COOKIE, "", 0))
            return reply
        if len(parts) != 3 or parts[0] != "p":
            raise Refused(404, "no such console page")
        service = self._services.get(parts[1])
        if service is None:
            raise Refused(404, f"this server does not serve project {parts[1]!r}")
        page = parts[2]
        handlers = self._posts if post else self._gets
        if page not in handlers:
            raise Refused(405 if page in self._gets or page in self._posts else 404, "no such page")
        return handlers[page](self, request, service)

    def _same_origin(self, request: Request) -> None:
        # SameSite=Strict keeps the cookie off cross-site requests; this refuses them as well,
        # and covers the sign-in form, which has no session yet.
        origin = request.headers.get(b"origin")
        if origin is None:
            return
        host = request.headers.get(b"host", b"")
        if urlsplit(origin.decode("latin-1")).netloc.encode("latin-1") != host or not host:
            raise Refused(403, "a change must come from this console's own pages")

    def _cookie(self, request: Request) -> str | None:
        raw = request.headers.get(b"cookie")
        if raw is None:
            return None
        try:
            jar = SimpleCookie(raw.decode("latin-1"))
        except CookieError:
            return None
        morsel = jar.get(COOKIE)
        return morsel.value if morsel is not None else None

    # Signing in

    def _login_page(self, request: Request, status: int, error: str = "") -> Reply:
        notice = _NOTICES.get(request.query.get("done", "")) if status == 200 else None
        return self._render(
            "login.html",
            None,
            status,
            error=error,
            notice=notice or "",
            next=_safe_next(request.query.get("next") or request.form.get("next", "")),
        )

    def _sign_in(self, request: Request) -> Reply:
        operator = self._sessions.operator_of(request.form.get("key", ""))
        if operator is None:
            log.warning("console: a sign-in with a wrong key from %s was refused", request.client)
            return self._login_page(request, 401, "That is not an operator key.")
        log.info("console: %s signed in", operator)
        target = _safe_next(request.form.get("next", "")) or f"{PREFIX}/"
        reply = _redirect(target)
        reply.headers.append(_cookie(COOKIE, self._sessions.start(operator), self._sessions.ttl))
        return reply

    # Pages: each reads through the project's service, as the API does

    def _approvals(
        self, request: Request, service: Service, status: int = 200, error: str = ""
    ) -> Reply:
        wanted = request.query.get("status") or None
        if wanted is not None and wanted not in APPROVAL_STATUSES:
            raise Refused(400, f"status must be one of {', '.join(APPROVAL_STATUSES)}")
        offset = _offset(request.query)
        rows = service.handler("approvals")(status=wanted, limit=PAGE + 1, offset=offset)
        return self._render(
            "approvals.html",
            request,
            status,
            service,
            error=error,
            approvals=rows[:PAGE],
            wanted=wanted,
            statuses=APPROVAL_STATUSES,
            pager=_pager(offset, len(rows) > PAGE, {"status": wanted}),
        )

    def _decide(self, request: Request, service: Service) -> Reply:
        assert request.session is not None
        form = request.form
        approval_id, decision = form.get("approval_id", ""), form.get("decision", "")
        if not approval_id or decision not in ("approve", "deny"):
            raise Refused(400, "a decision names an approval and is approve or deny")
        note = form.get("note", "")
        if len(note) > 2000:
            raise Refused(400, "a note is at most 2000 characters")
        try:
            decided = service.handler("decide_approval")(
                approval_id=approval_id,
                approve=decision == "approve",
                by=request.session.operator,
                note=note,
            )
        except ValueError as exc:
            return self._approvals(request, service, 409, str(exc))
        done = "approved" if decided["status"] == "approved" else "denied"
        return _redirect(self._url(service.project, "approvals", done=done, id=approval_id))

    def _audit(self, request: Request, service: Service) -> Reply:
        query = request.query
        shown = {name: query.get(name, "").strip() for name in _AUDIT_FILTERS}
        filters: dict[str, str | None] = {name: shown[name] or None for name in _AUDIT_FILTERS[:4]}
        filters["since"] = _time("since", shown["since"])
        filters["until"] = _time("until", shown["until"])
        offset = _offset(query)
        rows = service.handler("audit_events")(limit=PAGE + 1, offset=offset, **filters)
        return self._render(
            "audit.html",
            request,
            200,
            service,
            events=rows[:PAGE],
            verified=service.handler("verify_audit")(),
            shown=shown,
            kinds=_KINDS,
            pager=_pager(offset, len(rows) > PAGE, shown),
        )

    def _memories(self, request: Request, service: Service) -> Reply:
        query = request.query
        text = query.get("q", "").strip()
        session_id = query.get("session_id", "").strip() or None
        user_id = query.get("user_id", "").strip() or None
        offset = _offset(query)
        if text:
            found = service.handler("recall")(
                query=text, limit=PAGE, session_id=session_id, user_id=user_id
            )
            more = False
        else:
            found = _scan(service, session_id, user_id, offset, PAGE + 1)
            more = len(found) > PAGE
        shown = {"q": text, "session_id": session_id or "", "user_id": user_id or ""}
        return self._render(
            "memories.html",
            request,
            200,
            service,
            memories=found[:PAGE],
            shown=shown,
            searched=bool(text),
            pager=_pager(offset, more, shown),
        )

    def _forget_page(self, request: Request, service: Service) -> Reply:
        scope = _forget_scope(request.query)
        name, value = next(iter(scope.items()))
        if name == "memory_id":
            found = [m for m in _scan(service, None, None, 0, None) if m["id"] == value]
            if not found:
                raise Refused(404, f"there is no memory {value}")
            count = 1
        else:
            found = _scan(service, scope.get("session_id"), scope.get("user_id"), 0, None)
            count = len(found)
        return self._render(
            "forget.html",
            request,
            200,
            service,
            scope_name=name,
            scope_value=value,
            count=count,
            sample=found[:5],
        )

    def _forget(self, request: Request, service: Service) -> Reply:
        assert request.session is not None
        scope = _forget_scope(request.form)
        arguments = {"memory_id": None, "session_id": None, "user_id": None, **scope}
        erased = service.handler("forget")(**arguments)
        # forget audits the erasure; this event says which operator asked for it.
        event = {"kind": "console", "action": "forget", "operator": request.session.operator}
        try:
            service.governance.record({**event, "tool_name": "", **arguments, "erased": erased})
        except Exception:
            log.exception("console: recording %s's forget failed", request.session.operator)
            raise Refused(
                500, f"forgot {erased} memories, but not who asked: the server log says why"
            ) from None
        if erased == 0:
            raise Refused(404, "no memory matched: nothing was forgotten")
        return _redirect(self._url(service.project, "memories", done="forgot", n=str(erased)))

    def _policy(self, request: Request, service: Service) -> Reply:
        query = request.query
        governance = service.governance
        form = {
            name: query.get(name, "")
            for name in ("tool", "agent_id", "session_id", "input", "minute", "in_session")
        }
        decision = error = None
        if "tool" in query:
            try:
                decision = _try(governance, form)
            except Refused as exc:
                error = str(exc)
        return self._render(
            "policy.html",
            request,
            400 if error else 200,
            service,
            error=error or "",
            policy=governance.policy,
            deny_tools=sorted(governance.deny_tools),
            form=form,
            decision=decision,
        )

    def _health(self, request: Request, service: Service) -> Reply:
        return self._render(
            "health.html",
            request,
            200,
            service,
            doctor=service.handler("doctor")(),
            verified=service.handler("verify_audit")(),
        )

    _gets: dict[str, Callable[..., Reply]] = {
        "approvals": _approvals,
        "audit": _audit,
        "memories": _memories,
        "forget": _forget_page,
        "policy": _policy,
        "health": _health,
    }
    _posts: dict[str, Callable[..., Reply]] = {"approvals": _decide, "forget": _forget}

    # Rendering

    def _static_url(self, name: str) -> str:
        return f"{PREFIX}/static/{name}?v={self._versions[name]}"

    def _url(self, project: str, page: str, **query: str | None) -> str:
        url = f"{PREFIX}/p/{quote(project, safe='')}/{page}"
        kept = {k: v for k, v in query.items() if v}
        return f"{url}?{urlencode(kept)}" if kept else url

    def _file(self, parts: list[str]) -> Reply:
        found = self._static.get(parts[1]) if len(parts) == 2 else None
        if found is None:
            raise Refused(404, "no such file")
        body, kind = found
        return Reply(
            200, body, [(b"content-type", kind), (b"cache-control", b"public, max-age=86400")]
        )

    def _render(
        self,
        template: str,
        request: Request | None,
        status: int,
        service: Service | None = None,
        **context: Any,
    ) -> Reply:
        session = request.session if request is not None else None
        if service is not None and request is not None:
            project = service.project
            done = _NOTICES.get(request.query.get("done", ""), "")
            context.setdefault(
                "notice",
                done.format(id=request.query.get("id", ""), n=request.query.get("n", "")),
            )
            pending = service.handler("approvals")(status="pending", limit=PAGE + 1, offset=0)
            context.update(
                project=project,
                page=request.parts[2],
                pending=len(pending),
                url=lambda page, **q: self._url(project, page, **q),
                projects=[(p, self._url(p, request.parts[2])) for p in self._services],
            )
        for name, default in (("error", ""), ("notice", ""), ("project", None), ("page", "")):
            context.setdefault(name, default)
        if "projects" not in context:
            context["projects"] = [(p, self._url(p, "approvals")) for p in self._services]
        body = self._env.get_template(template).render(
            operator=session.operator if session else None,
            csrf=session.csrf if session else "",
            prefix=PREFIX,
            **context,
        )
        headers = [
            (b"content-type", b"text/html; charset=utf-8"),
            (b"cache-control", b"no-store"),
        ]
        if status >= 300:
            headers.append((b"hx-push-url", b"false"))  # an error keeps the page's address
        return Reply(status, body.encode(), headers)

    def _error(self, status: int, message: str, session: Session | None) -> Reply:
        request = Request("GET", [], {}, {}, {}, session)
        return self._render("error.html", request, status, message=message)


def _redirect(location: str) -> Reply:
    return Reply(303, b"", [(b"location", location.encode())])


def _cookie(name: str, value: str, max_age: float) -> tuple[bytes, bytes]:
    jar: SimpleCookie = SimpleCookie()
    jar[name] = value
    morsel = jar[name]
    morsel.update({"path": PREFIX, "httponly": True, "samesite": "Strict"})
    morsel["max-age"] = str(int(max_age))
    return b"set-cookie", morsel.OutputString().encode()


def _safe_next(value: str) -> str:
    """A page of this console to return to after signing in, or ""."""
    parts = urlsplit(value)
    if parts.scheme or parts.netloc or not parts.path.startswith(PREFIX + "/"):
        return ""
    if "\\" in value or value.startswith("//"):
        return ""
    return value


def _pager(offset: int, more: bool, query: Mapping[str, str | None]) -> dict[str, str | None]:
    kept = {k: v for k, v in query.items() if v}

    def at(start: int) -> str:
        return "?" + urlencode({**kept, "offset": str(start)} if start else kept)

    return {
        "previous": at(max(0, offset - PAGE)) if offset else None,
        "next": at(offset + PAGE) if more else None,
    }


def _scan(
    service: Service, session_id: str | None, user_id: str | None, offset: int, limit: int | None
) -> list[dict[str, Any]]:
    """Memories of a session or user, oldest first; the listing has no filter, so read it in
    batches."""
    listing = service.handler("memories")
    if session_id is None and user_id is None:
        return listing(limit=limit, offset=offset)  # type: ignore[no-any-return]
    found: list[dict[str, Any]] = []
    start, batch = 0, 1000
    while True:
        rows = listing(limit=batch, offset=start)
        for row in rows:
            if session_id is not None and row["session_id"] != session_id:
                continue
            if user_id is not None and row["user_id"] != user_id:
                continue
            if offset:
                offset -= 1
                continue
            found.append(row)
            if limit is not None and len(found) >= limit:
                return found
        if len(rows) < batch:
            return found
        start += batch


def _forget_scope(values: Mapping[str, str]) -> dict[str, str]:
    # Exact, unstripped: what is erased is what the confirmation named.
    given = {
        name: values[name] for name in ("memory_id", "session_id", "user_id") if values.get(name)
    }
    if len(given) != 1:
        raise Refused(400, "forget one memory, one session or one user at a time")
    return given


def _try(governance: Any, form: dict[str, str]) -> dict[str, Any]:
    """What a gate would decide for this call, without recording it or asking for approval."""
    tool = form["tool"].strip()
    if not tool:
        raise Refused(400, "name the tool to test")
    try:
        tool_input = json.loads(form["input"] or "{}")
    except ValueError as exc:
        raise Refused(400, f"the input is not JSON: {exc}") from None
    if not isinstance(tool_input, dict):
        raise Refused(400, "the input must be a JSON object")
    recent = {}
    for name, key in (
        ("minute", "tool_calls_last_minute"),
        ("in_session", "tool_calls_in_session"),
    ):
        value = form[name].strip() or "0"
        if not value.isdigit() or len(value) > 9:
            raise Refused(400, "call counts are non-negative integers")
        recent[key] = int(value)
    if tool in governance.deny_tools:
        return {"allow": False, "outcome": "DENIED", "reason": DENY_TOOLS_REASON, "policies": []}
    policy = governance.policy
    if policy is None:
        return {"allow": True, "outcome": "ALLOWED", "reason": ALLOWED_REASON, "policies": []}
    try:
        decision = policy.evaluate(
            tool,
            agent_id=form["agent_id"],
            session_id=form["session_id"],
            tool_input=tool_input,
            recent=recent,
        )
    except (TypeError, ValueError) as exc:
        raise Refused(400, str(exc)) from None
    return decision.as_dict()
