"""The code of the documentation runs: every ```python block of docs/**/*.md, the blocks of one
page in order in one namespace, from the repository root, as a reader would paste them.

A block whose first line is `# requires: NAME[, NAME]` runs only where those modules import
(torch, say); a block whose first line is `# not run` (or a ```python title=... block) is shown,
not run: only for what a test cannot do, such as downloading a month of Lichess games.
"""

import importlib.util
import os
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(path for path in DOCS.rglob("*.md") if "_build" not in path.parts)
FENCE = re.compile(r"^(?P<indent> {0,3})(?P<fence>`{3,}|~{3,})\s*(?P<info>[^`]*)$")


def code_blocks(text: str) -> list[tuple[int, str, str]]:
    """(line number, info string, code) of every fenced block of a CommonMark text."""
    blocks, lines, at = [], text.splitlines(), 0
    while at < len(lines):
        opened = FENCE.match(lines[at])
        if not opened:
            at += 1
            continue
        fence, indent, start = opened["fence"], len(opened["indent"]), at + 1
        body = []
        at += 1
        while at < len(lines):
            closing = lines[at].strip()
            if closing.startswith(fence[0] * len(fence)) and not closing.strip(fence[0]):
                break
            line = lines[at]
            body.append(line[min(indent, len(line) - len(line.lstrip(" "))):])
            at += 1
        blocks.append((start, opened["info"].strip(), "\n".join(body) + "\n"))
        at += 1
    return blocks


def runnable(info: str, code: str) -> tuple[bool, str]:
    """Whether a block runs here, and if not why."""
    words = info.split()
    if not words or words[0] != "python":
        return False, "not Python"
    if any(word.startswith("title") for word in words[1:]):
        return False, "a titled example"
    first = code.lstrip().splitlines()[0] if code.strip() else ""
    if first.startswith("# not run"):
        return False, "marked not run"
    needed = re.fullmatch(r"#\s*requires:\s*(.+)", first.strip())
    if needed:
        for module in (name.strip() for name in needed[1].split(",")):
            try:
                found = importlib.util.find_spec(module)
            except ImportError:  # a parent package that is missing
                found = None
            if found is None:
                return False, f"needs {module}"
    return True, ""


@pytest.mark.parametrize("page", PAGES, ids=lambda path: str(path.relative_to(DOCS)))
def test_page_code_runs(page, monkeypatch):
    monkeypatch.chdir(ROOT)
    namespace = {"__name__": f"docs_{page.stem}"}
    ran = 0
    for line, info, code in code_blocks(page.read_text(encoding="utf-8")):
        ok, _ = runnable(info, code)
        if not ok:
            continue
        try:
            exec(compile(code, f"{page.relative_to(ROOT)}:{line}", "exec"), namespace)
        except Exception as error:
            raise AssertionError(f"{page.relative_to(ROOT)}, block at line {line}: "
                                 f"{type(error).__name__}: {error}") from error
        ran += 1
    if ran == 0:
        pytest.skip("no block runs here")


def test_blocks_are_found_as_commonmark_reads_them():
    text = ("# t\n\n```python\na = 1\n```\n\n````python\n```\nnot a close\n````\n\n"
            "  ```python\n  b = 2\n  ```\n\n~~~ python title=x\nc\n~~~\n\n```\nplain\n```\n")
    blocks = code_blocks(text)
    assert [(info, code) for _, info, code in blocks] == [
        ("python", "a = 1\n"), ("python", "```\nnot a close\n"), ("python", "b = 2\n"),
        ("python title=x", "c\n"), ("", "plain\n")]
    assert runnable("python", "# requires: no_such_module_here\nx\n") == (
        False, "needs no_such_module_here")
    assert runnable("python", "# requires: os, json\nx\n") == (True, "")
    assert runnable("python", "# not run: downloads\n")[0] is False
    assert runnable("python title=big.py", "x\n")[0] is False
    assert runnable("sh", "ls\n")[0] is False


def test_every_page_is_utf8_and_docs_exist():
    assert PAGES, "no pages under docs/"
    for page in PAGES:
        page.read_text(encoding="utf-8")
    assert os.path.exists(DOCS / "conf.py")


def load_tool(name):
    """tools/<name>.py imported as a module."""
    module_spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_link_check_reports_broken_links_and_missing_anchors(tmp_path):
    check_docs = load_tool("check_docs")
    (tmp_path / "api").mkdir()
    (tmp_path / "index.html").write_text(
        '<a href="api/page.html#here">ok</a><a href="api/page.html#gone">anchor</a>'
        '<a href="missing.html">file</a><img src="_static/x.svg"><a href="#top" id="top">self</a>'
        '<a href="https://example.org/x">outside</a><a href="api/">folder</a>')
    (tmp_path / "api" / "page.html").write_text('<h1 id="here">x</h1><a href="../index.html#top">')
    (tmp_path / "api" / "index.html").write_text("<p>")
    problems = check_docs.check_links(tmp_path)
    assert problems == ["missing anchor index.html: api/page.html#gone",
                        "broken link index.html: missing.html",
                        "broken link index.html: _static/x.svg"]


def test_charts_are_drawn_for_every_result_file(tmp_path):
    pytest.importorskip("matplotlib")
    import json
    import shutil
    import subprocess
    import sys
    import xml.etree.ElementTree as ET

    results = tmp_path / "results"
    shutil.copytree(ROOT / "bench" / "results", results)
    # An area that appears later, with throughput rows only: it gets its chart without edits.
    (results / "loader.json").write_text(json.dumps({
        "area": "loader", "machine": "test", "date": "2026-01-01",
        "rows": [{"job": "positions [1 thread]", "value": 2.5e6, "unit": "positions/s",
                  "peer": None, "peer_value": None, "ratio": None, "target": None},
                 {"job": "positions vs numpy", "value": 2.5e6, "unit": "positions/s",
                  "peer": "numpy", "peer_value": 1e6, "ratio": 2.5, "target": "≥ 2×"}]}))
    out = tmp_path / "charts"
    subprocess.run([sys.executable, str(ROOT / "tools" / "plot_bench.py"), "--results",
                    str(results), "--out", str(out)], check=True, capture_output=True)
    expected = {path.stem for path in results.glob("*.json")} | {"summary"}
    assert {path.stem for path in out.glob("*.svg")} == expected
    for chart in out.glob("*.svg"):
        ET.parse(chart)
    # The README shows the committed summary chart.
    assert (DOCS / "_static" / "charts" / "summary.svg").exists()
