#!/usr/bin/env python3
"""Checks the built documentation site as a reader meets it.

    tools/check_docs.py BUILD_DIR [--shots DIR] [--pages PAGE...] [--chromium PATH]

1. Every internal link of every HTML page (a, link, img, script, iframe) points at a file that
   exists, and every #anchor at an id or name in its target page.
2. Headless Chromium (Debian's package; --no-sandbox when run as root) opens the home page, an API
   page and the performance page, driven through the DevTools protocol over a websocket: no
   console error and no uncaught exception, every image loaded and decoded; a full-page
   screenshot of each is saved in --shots.
Exits 1 with one line per problem.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

PAGES = ["index.html", "api/quarn_data.html", "performance.html"]
LINK_ATTRIBUTES = {"a": "href", "link": "href", "img": "src", "script": "src", "iframe": "src",
                   "source": "src", "image": "href", "use": "href"}


class Page(HTMLParser):
    """The ids and the outgoing links of one HTML file."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        for key in ("id", "name") if tag == "a" else ("id",):
            if values.get(key):
                self.ids.add(values[key] or "")
        wanted = LINK_ATTRIBUTES.get(tag)
        if wanted and values.get(wanted):
            self.links.append(values[wanted] or "")


def check_links(root: Path) -> list[str]:
    pages: dict[Path, Page] = {}
    for path in sorted(root.rglob("*.html")):
        page = Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path.resolve()] = page
    problems = []
    checked = 0
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:", "data:")):
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            where = f"{path.relative_to(root.resolve())}: {link}"
            checked += 1
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                problems.append(f"broken link {where}")
                continue
            if parts.fragment and target.suffix == ".html":
                if unquote(parts.fragment) not in pages[target].ids:
                    problems.append(f"missing anchor {where}")
    print(f"links: {checked} internal links in {len(pages)} pages checked", file=sys.stderr)
    return problems


# --- the browser -----------------------------------------------------------------------------------


class DevTools:
    """One websocket to the browser; a page target attached with a flat session."""

    def __init__(self, url: str) -> None:
        import websocket  # websocket-client, from the docs extra

        self.socket = websocket.create_connection(url, timeout=60, suppress_origin=True)
        self.next_id = 0
        self.events: list[dict] = []

    def call(self, method: str, session: str | None = None, **params) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.socket.send(json.dumps(message))
        self.socket.settimeout(60)  # wait_for shortens it
        while True:
            reply = json.loads(self.socket.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method: str, seconds: float) -> bool:
        deadline = time.monotonic() + seconds
        if any(e.get("method") == method for e in self.events):
            return True
        while time.monotonic() < deadline:
            self.socket.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                event = json.loads(self.socket.recv())
            except Exception:  # noqa: BLE001 - a timeout ends the wait
                break
            self.events.append(event)
            if event.get("method") == method:
                return True
        return False

    def drain(self, seconds: float) -> None:
        self.wait_for("never.arrives", seconds)


def find_chromium(given: str | None) -> str:
    for name in ([given] if given else ["chromium", "chromium-browser", "google-chrome"]):
        found = shutil.which(name) if name else None
        if found:
            return found
    raise SystemExit("check_docs: no chromium found (tools/ensure_deb.sh chromium installs it)")


def start_browser(chromium: str, profile: str) -> tuple[subprocess.Popen, str]:
    arguments = [chromium, "--headless", "--disable-gpu", "--no-first-run",
                 "--no-default-browser-check", "--disable-dev-shm-usage", "--hide-scrollbars",
                 "--remote-debugging-port=0", "--remote-allow-origins=*",
                 f"--user-data-dir={profile}", "about:blank"]
    if os.geteuid() == 0:
        arguments.insert(1, "--no-sandbox")
    browser = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    port_file = Path(profile) / "DevToolsActivePort"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if port_file.exists() and len(port_file.read_text().split()) >= 2:
            port, path = port_file.read_text().split()[:2]
            return browser, f"ws://127.0.0.1:{port}{path}"
        if browser.poll() is not None:
            raise SystemExit(f"check_docs: {chromium} exited with {browser.returncode}")
        time.sleep(0.1)
    browser.kill()
    raise SystemExit("check_docs: chromium did not open its DevTools port within 60 s")


IMAGES_JS = """
(async () => {
  const images = Array.from(document.images);
  for (const image of images) image.loading = "eager";
  const failed = await Promise.all(images.map(image =>
    image.decode().then(() => image.naturalWidth > 0 ? null : image.src, () => image.src)));
  return JSON.stringify({count: images.length, failed: failed.filter(Boolean),
                         svgs: document.querySelectorAll("svg").length,
                         title: document.title});
})()
"""


def check_page(tools: DevTools, root: Path, page: str, shots: Path) -> list[str]:
    target = tools.call("Target.createTarget", url="about:blank")["targetId"]
    session = tools.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        tools.call(f"{domain}.enable", session)
    tools.call("Emulation.setDeviceMetricsOverride", session, width=1280, height=900,
               deviceScaleFactor=1, mobile=False)
    tools.events.clear()
    url = (root / page).resolve().as_uri()
    tools.call("Page.navigate", session, url=url)
    problems = []
    if not tools.wait_for("Page.loadEventFired", 30):
        problems.append(f"{page}: no load event within 30 s")
    result = tools.call("Runtime.evaluate", session, expression=IMAGES_JS, awaitPromise=True,
                        returnByValue=True)
    report = json.loads(result["result"]["value"])
    tools.drain(0.5)  # errors logged just after the load
    for image in report["failed"]:
        problems.append(f"{page}: image did not load: {image}")
    for event in tools.events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get("text")
            problems.append(f"{page}: uncaught exception: {text}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            text = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
            problems.append(f"{page}: console error: {text}")
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            problems.append(f"{page}: {entry.get('source')} error: {entry.get('text')} "
                            f"{entry.get('url', '')}")
    shot = tools.call("Page.captureScreenshot", session, format="png", captureBeyondViewport=True)
    name = page.replace("/", "_").removesuffix(".html") + ".png"
    (shots / name).write_bytes(base64.b64decode(shot["data"]))
    print(f"browser: {page}: '{report['title']}', {report['count']} images loaded "
          f"({len(report['failed'])} failed), {report['svgs']} inline SVG; screenshot "
          f"{shots / name}", file=sys.stderr)
    tools.call("Target.closeTarget", targetId=target)
    return problems


def check_browser(root: Path, pages: list[str], shots: Path, chromium: str | None) -> list[str]:
    shots.mkdir(parents=True, exist_ok=True)
    problems = [f"{page}: not built" for page in pages if not (root / page).exists()]
    if problems:
        return problems
    with tempfile.TemporaryDirectory(prefix="quarn-docs-chromium-") as profile:
        browser, url = start_browser(find_chromium(chromium), profile)
        try:
            tools = DevTools(url)
            for page in pages:
                problems += check_page(tools, root, page, shots)
            tools.call("Browser.close")
        finally:
            try:
                browser.wait(timeout=10)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--shots", type=Path, default=Path("build/docs-shots"))
    parser.add_argument("--pages", nargs="+", default=PAGES)
    parser.add_argument("--chromium")
    parser.add_argument("--no-browser", action="store_true", help="only check the links")
    args = parser.parse_args()
    if not (args.build / "index.html").exists():
        print(f"check_docs: {args.build} holds no built site (make docs)", file=sys.stderr)
        return 1
    problems = check_links(args.build)
    if not args.no_browser:
        problems += check_browser(args.build, args.pages, args.shots, args.chromium)
    for problem in problems:
        print(f"check_docs: {problem}", file=sys.stderr)
    print(f"check_docs: {'FAILED, ' + str(len(problems)) + ' problems' if problems else 'ok'}",
          file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
