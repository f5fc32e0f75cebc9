"""The console at /console: what an operator does in a real browser (headless Chromium through
Selenium) on a real server, and what someone without the key, a forged form or bad input
gets over plain HTTP."""

import http.client
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from contextlib import closing
from http.cookies import SimpleCookie
from types import SimpleNamespace
from urllib.parse import urlencode

import pytest

pytest.importorskip("jinja2")
pytest.importorskip("cedarpy")

from itsdangerous.timed import TimestampSigner

from velkor_agent_hooks.client import VelkorClient, serve
from velkor_agent_hooks.service.cli import main

KEY = "ana-operator-key-0123456789"
APPROVAL = (
    "permit(principal, action, resource);\n"
    '@approval @reason("a person decides")\n'
    'forbid(principal, action, resource == Tool::"delete_file");\n'
)
PAGES = ("approvals", "audit", "memories", "policy", "health")
EVIL = "<script>window.pwned = 1</script><img src=x onerror=window.pwned=2><b>bold</b>"


@pytest.fixture
def server(tmp_path):
    db = str(tmp_path / "v.db")
    with serve(db=db, policy=APPROVAL, deny_tools=["shell"], operators={"ana": KEY}) as running:
        running.db = db
        running.client = VelkorClient(base_url=running.url)
        yield running
        running.client.close()


def call(server, method, path, form=None, cookie=None, headers=None):
    headers = dict(headers or {})
    body = None
    if form is not None:
        body = form if isinstance(form, bytes) else urlencode(form).encode()
        headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
    if cookie:
        headers["Cookie"] = f"velkor_console={cookie}"
    conn = http.client.HTTPConnection(server.host, server.port, timeout=10)
    with closing(conn):
        conn.request(method, path, body, headers)
        reply = conn.getresponse()
        return SimpleNamespace(status=reply.status, headers=reply, text=reply.read().decode())


def sign_in(server, key=KEY, project="default"):
    """A session cookie and its CSRF token."""
    reply = call(server, "POST", "/console/login", {"key": key})
    assert reply.status == 303, reply.text
    cookie = SimpleCookie(reply.headers.getheader("set-cookie"))["velkor_console"].value
    page = call(server, "GET", f"/console/p/{project}/health", cookie=cookie).text
    return cookie, re.search(r'name="csrf" value="([^"]+)"', page)[1]


def state(server):
    client = server.client
    return client.memories(), client.approvals(), len(client.audit_events())


def _ask(client, path="notes.txt"):
    decision = client.gate("delete_file", agent_id="a1", tool_input={"path": path})
    assert decision.outcome == "APPROVAL_REQUIRED"
    return decision.approval_id


# Over plain HTTP


@pytest.mark.parametrize("who", ["nobody", "forged", "expired", "signed-out", "wrong-key"])
def test_without_a_session_nothing_is_read_or_changed(server, monkeypatch, who):
    server.client.remember("the vault code is 1234", session_id="s1")
    approval_id = _ask(server.client)
    before = state(server)
    memory_id = before[0][0]["id"]
    cookie, csrf = sign_in(server)
    if who == "nobody":
        cookie = None
    elif who == "forged":
        cookie = cookie[:-4] + ("AAAA" if not cookie.endswith("AAAA") else "BBBB")
    elif who == "expired":
        later = int(time.time()) + 9 * 3600
        monkeypatch.setattr(TimestampSigner, "get_timestamp", lambda self: later)
    elif who == "signed-out":
        assert call(server, "POST", "/console/logout", {"csrf": csrf}, cookie).status == 303
    else:
        reply = call(server, "POST", "/console/login", {"key": KEY[:-1] + "x"})
        assert reply.status == 401 and reply.headers.getheader("set-cookie") is None
        assert "not an operator key" in reply.text
        cookie = None
    for page in (*PAGES, f"forget?memory_id={memory_id}"):
        reply = call(server, "GET", f"/console/p/default/{page}", cookie=cookie)
        assert reply.status == 303 and "/console/login" in reply.headers.getheader("location")
    for page, form in (
        ("approvals", {"approval_id": approval_id, "decision": "approve"}),
        ("forget", {"memory_id": memory_id}),
    ):
        reply = call(server, "POST", f"/console/p/default/{page}", {**form, "csrf": csrf}, cookie)
        assert reply.status == 401 and "vault" not in reply.text
    assert state(server) == before


@pytest.mark.parametrize(
    ("csrf", "origin"),
    [(None, None), ("wrong", None), ("other-session", None), ("right", "http://evil.example")],
)
def test_a_forged_change_is_refused(server, csrf, origin):
    approval_id = _ask(server.client)
    before = state(server)
    cookie, token = sign_in(server)
    form = {"approval_id": approval_id, "decision": "approve"}
    if csrf is not None:
        form["csrf"] = {"right": token, "other-session": sign_in(server)[1]}.get(csrf, csrf)
    headers = {"Origin": origin} if origin else None
    reply = call(server, "POST", "/console/p/default/approvals", form, cookie, headers)
    assert reply.status == 403
    assert "nothing was changed" in reply.text or "own pages" in reply.text
    login = call(server, "POST", "/console/login", {"key": KEY}, headers={"Origin": "null"})
    assert login.status == 403 and login.headers.getheader("set-cookie") is None
    assert state(server) == before


@pytest.mark.parametrize(
    ("method", "path", "form", "status", "says"),
    [
        ("POST", "approvals", {"decision": "maybe"}, 400, "approve or deny"),
        ("POST", "approvals", {"approval_id": "apr_none", "decision": "approve"}, 409, "exist"),
        ("POST", "approvals", {"decision": "approve", "note": "x" * 2001}, 400, "2000"),
        ("POST", "forget", {"memory_id": "m", "session_id": "s1"}, 400, "one memory, one"),
        ("POST", "forget", {}, 400, "one memory, one"),
        ("POST", "forget", b"csrf=%ff", 400, "url-encoded"),
        ("POST", "forget", b"x" * (65 * 1024), 413, "at most"),
        ("GET", "audit?since=yesterday", None, 400, "ISO 8601"),
        ("GET", "memories?offset=-1", None, 400, "offset"),
        ("GET", "approvals?status=lost", None, 400, "status must be"),
        ("GET", "policy?tool=x&input=[1]", None, 400, "JSON object"),
        ("GET", "policy?tool=x&input={", None, 400, "not JSON"),
        ("GET", "policy?tool=x&minute=-2", None, 400, "non-negative"),
        ("GET", "nowhere", None, 404, "no such"),
    ],
)
def test_bad_input_is_refused_saying_why_and_changes_nothing(
    server, method, path, form, status, says
):
    server.client.remember("keep me", session_id="s1")
    approval_id = _ask(server.client)
    before = state(server)
    cookie, csrf = sign_in(server)
    if isinstance(form, dict):
        form = {"approval_id": approval_id, **form, "csrf": csrf}
    reply = call(server, method, f"/console/p/default/{path}", form, cookie)
    assert reply.status == status and says in reply.text, reply.text
    assert state(server) == before


def test_every_page_serves_each_project_only_its_own(tmp_path):
    with serve(db=str(tmp_path / "v.db"), project=["a", "b/c"], operators={"ana": KEY}) as server:
        with VelkorClient(base_url=server.url, project="b/c") as b:
            b.remember("only in b", session_id="s1")
            b.gate("search", agent_id="agent-b")
            memory_id = b.memories()[0]["id"]
        cookie, csrf = sign_in(server, project="a")
        for project, shown in (("a", False), ("b%2Fc", True)):
            for page in PAGES:
                reply = call(server, "GET", f"/console/p/{project}/{page}", cookie=cookie)
                assert reply.status == 200, (project, page)
                if page in ("memories", "audit"):
                    assert ("only in b" in reply.text or "agent-b" in reply.text) == shown
        reply = call(server, "GET", f"/console/p/a/forget?memory_id={memory_id}", cookie=cookie)
        assert reply.status == 404
        form = {"memory_id": memory_id, "csrf": csrf}
        assert call(server, "POST", "/console/p/a/forget", form, cookie).status == 404
        assert call(server, "GET", "/console/p/x/health", cookie=cookie).status == 404
        with VelkorClient(base_url=server.url, project="b/c") as b:
            assert [m["id"] for m in b.memories()] == [memory_id]


@pytest.mark.parametrize(
    ("tool", "outcome", "reason"),
    [
        ("delete_file", "APPROVAL_REQUIRED", "a person decides"),
        ("search", "ALLOWED", "policy0"),
        ("shell", "DENIED", "deny_tools policy lists this tool"),
    ],
)
def test_the_policy_form_decides_and_records_nothing(server, tool, outcome, reason):
    cookie, _ = sign_in(server)
    query = urlencode({"tool": tool, "agent_id": "a1", "input": '{"path": "x"}'})
    reply = call(server, "GET", f"/console/p/default/policy?{query}", cookie=cookie)
    assert f">{outcome}<" in reply.text and reason in reply.text
    assert server.client.approvals() == [] and server.client.audit_events() == []


def test_the_console_is_off_without_anyone_to_sign_in():
    with serve() as open_server, serve(operators={"ana": KEY}, console=False) as turned_off:
        for server in (open_server, turned_off):
            reply = call(server, "GET", "/console/")
            assert (
                reply.status == 404
                and "console extra" in json.loads(reply.text)["error"]["message"]
            )


@pytest.mark.parametrize(
    ("operators", "says"),
    [
        (["ana"], "NAME=KEY"),
        (["ana=short"], "at least 16"),
        ([f"ana={KEY}", f"bo={KEY}"], "another operator's key"),
        ([f"a b={KEY}"], "letters, digits"),
        ([f"ana={KEY}", f"ana={KEY}x"], "twice"),
    ],
)
def test_operator_keys_are_checked(capsys, operators, says):
    words = [w for pair in operators for w in ("--operator", pair)]
    assert main(["serve", "--port", "0", "--db", ":memory:", *words]) == 1
    assert says in capsys.readouterr().err


def test_velkor_console_serves_a_local_database_with_a_one_time_key(tmp_path):
    db = str(tmp_path / "v.db")
    with VelkorClient(path=db) as client:
        client.remember("from the file", session_id="s1")
    out, err = tmp_path / "out", tmp_path / "err"
    env = {k: v for k, v in os.environ.items() if k not in ("VELKOR_OPERATORS", "VELKOR_API_KEY")}
    command = [sys.executable, "-m", "velkor_agent_hooks.client", "console", "--db", db]
    with out.open("w") as o, err.open("w") as e:
        proc = subprocess.Popen([*command, "--port", "0"], stdout=o, stderr=e, env=env)
    try:
        deadline = time.monotonic() + 60
        while "this run's key" not in err.read_text() and time.monotonic() < deadline:
            assert proc.poll() is None, err.read_text()
            time.sleep(0.1)
        url = re.search(r"console on (http://127\.0\.0\.1:(\d+))/console", out.read_text())
        key = re.search(r"this run's key (\S+)", err.read_text())[1]
        where = SimpleNamespace(host="127.0.0.1", port=int(url[2]))
        cookie, _ = sign_in(where, key)
        reply = call(where, "GET", "/console/p/default/memories", cookie=cookie)
        assert "from the file" in reply.text and ">local<" in reply.text
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0


# In a real browser


@pytest.fixture(scope="module")
def chromium():
    webdriver = pytest.importorskip("selenium.webdriver")
    binary, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if binary is None or driver is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(flag)
    options.add_argument("--window-size=1280,900")
    # The sanitizer run preloads ASan into every child: the browser is not ours to check.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    service = webdriver.ChromeService(driver, env=env)
    browser = webdriver.Chrome(options=options, service=service)
    yield browser
    browser.quit()


@pytest.fixture
def browser(chromium, server):
    chromium.delete_all_cookies()
    chromium.get(f"{server.url}/console/")
    chromium.delete_all_cookies()
    return chromium


def text(browser):
    return browser.execute_script("return document.body.innerText")


def wait_for(browser, wanted, seconds=10):
    deadline = time.monotonic() + seconds
    while wanted not in (shown := text(browser)):
        assert time.monotonic() < deadline, f"{wanted!r} not shown in:\n{shown}"
        time.sleep(0.05)


def submit(browser, fields, button="button[type=submit]", within="main"):
    from selenium.webdriver.common.by import By

    scope = browser.find_element(By.CSS_SELECTOR, within)
    for name, value in fields.items():
        field = scope.find_element(By.NAME, name)
        field.clear()
        field.send_keys(value)
    scope.find_element(By.CSS_SELECTOR, button).click()


def browser_sign_in(browser, server):
    browser.get(f"{server.url}/console/")
    wait_for(browser, "Sign in")
    submit(browser, {"key": KEY})
    wait_for(browser, "No approvals" if not server.client.approvals() else "Reason")


def test_a_wrong_key_is_refused_and_the_right_one_signs_in(browser, server):
    browser.get(f"{server.url}/console/p/default/memories")
    submit(browser, {"key": "not-the-key-0123456789"})
    wait_for(browser, "That is not an operator key.")
    assert browser.get_cookie("velkor_console") is None
    submit(browser, {"key": KEY})
    wait_for(browser, "Oldest first.")  # back to the page first asked for
    cookie = browser.get_cookie("velkor_console")
    assert (cookie["httpOnly"], cookie["sameSite"], cookie["path"]) == (True, "Strict", "/console")
    assert browser.execute_script("return document.cookie") == ""
    assert KEY not in browser.current_url


def test_approving_lets_the_waiting_gate_run_and_denying_does_not(browser, server):
    client = server.client
    approved, denied = _ask(client, "notes.txt"), _ask(client, "old.txt")
    browser_sign_in(browser, server)
    submit(browser, {"note": "checked with Bo"}, "button.approve", f"[id='{approved}']")
    wait_for(browser, f"Approved {approved}.")
    submit(browser, {"note": ""}, "button.deny", f"[id='{denied}']")
    wait_for(browser, f"Denied {denied}.")

    def retry(approval_id, path):
        decision = client.gate(
            "delete_file", agent_id="a1", tool_input={"path": path}, approval_id=approval_id
        )
        return decision.allow, decision.outcome, decision.reason

    assert retry(approved, "notes.txt") == (True, "APPROVED", "approved by ana")
    assert retry(denied, "old.txt") == (False, "DENIED", f"approval {denied} was denied")
    events = client.audit_events(kind="approval")
    assert [(e["outcome"], e["decided_by"], e["note"]) for e in events] == [
        ("APPROVED", "ana", "checked with Bo"),
        ("DENIED", "ana", ""),
    ]


def test_searching_and_forgetting_a_memory_and_a_session(browser, server):
    from selenium.webdriver.common.by import By

    client = server.client
    client.remember("the parcel goes to Lisbon on Friday", session_id="s1", user_id="u1")
    client.remember("tea with Ada on Tuesday", session_id="s2")
    client.remember("Ada prefers green tea", session_id="s2")
    browser_sign_in(browser, server)
    browser.get(f"{server.url}/console/p/default/memories")
    submit(browser, {"q": "Lisbon"})
    wait_for(browser, "best matches")
    assert "the parcel goes to Lisbon" in text(browser) and "tea with Ada" not in text(browser)
    browser.find_element(By.LINK_TEXT, "Forget…").click()
    wait_for(browser, "Forget this memory?")
    assert "the parcel goes to Lisbon on Friday" in text(browser)
    browser.find_element(By.CSS_SELECTOR, "main button.deny").click()
    wait_for(browser, "Forgot 1 memories.")
    submit(browser, {"q": "", "session_id": "s2"})
    wait_for(browser, "Forget every memory of session s2")
    browser.find_element(By.PARTIAL_LINK_TEXT, "Forget every memory of session").click()
    wait_for(browser, "Forget 2 memories?")
    browser.find_element(By.CSS_SELECTOR, "main button.deny").click()
    wait_for(browser, "Forgot 2 memories.")
    assert client.memories() == []
    asked = [
        (e["operator"], e["memory_id"] is None, e["session_id"], e["erased"])
        for e in client.audit_events(kind="console")
    ]
    assert asked == [("ana", False, None, 1), ("ana", True, "s2", 2)]


def test_a_tampered_audit_is_flagged_at_its_first_bad_seq(browser, server):
    for tool in ("search", "search", "send", "search"):
        server.client.gate(tool, agent_id="a1")
    browser_sign_in(browser, server)
    browser.get(f"{server.url}/console/p/default/audit")
    wait_for(browser, "The audit chain verifies: 4 events.")
    with closing(sqlite3.connect(server.db)) as conn, conn:
        ((seq, body),) = conn.execute("SELECT seq, body FROM events ORDER BY seq LIMIT 1 OFFSET 2")
        edited = {**json.loads(body), "reason": "nothing to see"}
        conn.execute("UPDATE events SET body = ? WHERE seq = ?", (json.dumps(edited), seq))
    browser.refresh()
    wait_for(browser, "The audit chain does not verify: the first bad event is seq 3 of 4.")
    assert browser.find_element("id", "seq-3").get_attribute("class") == "bad"


def test_markup_in_a_memory_or_tool_input_shows_as_text_and_runs_nothing(browser, server):
    server.client.remember(EVIL, session_id="s1")
    _ask(server.client, EVIL)
    browser_sign_in(browser, server)
    for page in ("approvals", "memories", "audit"):
        browser.get(f"{server.url}/console/p/default/{page}")
        wait_for(browser, "<script>window.pwned = 1</script>" if page != "audit" else "Audit")
        assert browser.execute_script("return window.pwned") is None
        assert browser.find_elements("css selector", "main b, main img, main script") == []


def test_a_change_without_the_csrf_token_is_refused(browser, server):
    approval_id = _ask(server.client)
    browser_sign_in(browser, server)
    browser.execute_script("document.querySelectorAll('input[name=csrf]').forEach(e => e.remove())")
    submit(browser, {"note": "sneaky"}, "button.approve", f"[id='{approval_id}']")
    wait_for(browser, "CSRF token is missing or wrong: nothing was changed")
    assert [a["status"] for a in server.client.approvals()] == ["pending"]


def test_pages_fit_a_phone(browser, server):
    server.client.remember("a long line " * 40, session_id="s1")
    _ask(server.client, "x" * 300)
    browser_sign_in(browser, server)
    browser.set_window_size(390, 844)
    try:
        for page in PAGES:
            browser.get(f"{server.url}/console/p/default/{page}")
            wait_for(browser, "Health")
            wide = browser.execute_script("return document.documentElement.scrollWidth")
            assert wide <= 390, page
    finally:
        browser.set_window_size(1280, 900)
