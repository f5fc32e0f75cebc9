"""Takes the README's console screenshots: every page at a desktop and a phone width.

    PYTHONPATH=src .venv/bin/python docs/console/screenshots.py

Starts a server on a throwaway database with the README's policies and a little traffic,
signs in through headless Chromium (Debian's chromium and chromium-driver) and writes
docs/console/<page>-desktop.png and <page>-phone.png.
"""

import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver

from velkor_agent_hooks.client import VelkorClient, serve

HERE = Path(__file__).parent
README = HERE.parents[1] / "README.md"
KEY = "screenshot-key-0123456789"
SIZES = {"desktop": (1280, 900), "phone": (390, 844)}
SCROLL = {"audit": "table.events", "policy": "h2"}  # on a phone, past the filter form


def policies() -> str:
    section = README.read_text(encoding="utf-8").split("\n## Policies\n")[1].split("\n## ")[0]
    return "\n".join(re.findall(r"```cedar\n(.*?)```", section, re.S))


def traffic(client: VelkorClient) -> None:
    client.remember_turns(
        [
            {"role": "user", "text": "Please refund order 1182, the parcel arrived broken."},
            {"role": "assistant", "text": "Refunded 120 EUR for 1182; a new parcel ships Friday."},
        ],
        session_id="support-17",
        user_id="maria",
    )
    client.remember(
        "I prefer e-mail over phone calls, and never before 9 am.",
        session_id="support-18",
        user_id="maria",
    )
    client.remember(
        "Can the Q3 report go to the finance list by Monday?", session_id="ops-4", user_id="tom"
    )
    calls = [
        ("shell", {"command": "ls -la"}),
        ("refund", {"amount": 120, "order": 1182}),
        ("refund", {"amount": 900, "order": 1190}),
        ("send_email", {"to": "maria@example.com", "subject": "Your refund"}),
        ("shell", {"command": "ls /etc"}),
    ]
    for tool, tool_input in calls:
        client.gate(tool, agent_id="support-bot", tool_input=tool_input, trace_id="trace-17")
    done = client.gate("delete_file", agent_id="ops-bot", tool_input={"path": "reports/q2.xlsx"})
    client.decide_approval(done.approval_id, True, by="ana", note="q2 is archived")
    client.gate(
        "delete_file",
        agent_id="ops-bot",
        tool_input={"path": "reports/q2.xlsx"},
        approval_id=done.approval_id,
    )
    no = client.gate("delete_file", agent_id="ops-bot", tool_input={"path": "/home/tom/.ssh"})
    client.decide_approval(no.approval_id, False, by="ana", note="never keys")
    client.gate("delete_file", agent_id="ops-bot", tool_input={"path": "notes/2024.md"})
    client.observe(tool_name="refund", agent_id="support-bot", outcome_status="SUCCESS")


def main() -> int:
    binary, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if binary is None or driver is None:
        print("needs Debian's chromium and chromium-driver", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        db = str(Path(tmp) / "velkor.db")
        with serve(db=db, policy=policies(), operators={"ana": KEY}) as server:
            with VelkorClient(base_url=server.url) as client:
                traffic(client)
            options = webdriver.ChromeOptions()
            options.binary_location = binary
            for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
                options.add_argument(flag)
            browser = webdriver.Chrome(options=options, service=webdriver.ChromeService(driver))
            try:
                shoot(browser, server.url)
            finally:
                browser.quit()
    return 0


def shoot(browser: webdriver.Chrome, url: str) -> None:
    base = f"{url}/console/p/default"
    pages = {
        "approvals": f"{base}/approvals",
        "audit": f"{base}/audit",
        "memories": f"{base}/memories?q=refund+parcel",
        "policy": f"{base}/policy?tool=refund&agent_id=support-bot&input=%7B%22amount%22%3A+900%7D",
        "health": f"{base}/health",
    }
    for size, (width, height) in SIZES.items():
        browser.set_window_size(width, height)
        browser.delete_all_cookies()
        browser.get(f"{url}/console/login")
        shot(browser, f"login-{size}")
        browser.find_element("name", "key").send_keys(KEY)
        browser.find_element("css selector", "main button").click()
        time.sleep(0.5)
        for name, page in pages.items():
            browser.get(page)
            if size == "phone" and name in SCROLL:
                browser.execute_script(f"document.querySelector('{SCROLL[name]}').scrollIntoView()")
            shot(browser, f"{name}-{size}")


def shot(browser: webdriver.Chrome, name: str) -> None:
    time.sleep(0.3)
    path = HERE / f"{name}.png"
    browser.save_screenshot(str(path))
    print(f"{path}: {path.stat().st_size // 1024} KiB")


if __name__ == "__main__":
    sys.exit(main())
