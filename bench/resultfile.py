"""bench/results/<area>.json: the machine-readable form of a benchmark's table, which
tools/plot_bench.py draws as the charts of the documentation's performance page.

    {"area": str, "machine": str, "date": str,
     "rows": [{"job": str, "value": float, "unit": str, "peer": str | null,
               "peer_value": float | null, "ratio": float | null, "target": str | null}]}

`ratio` is always "how many times better we are": the peer's time over ours for times, our rate
over the peer's for rates. A job measured on several positions is one row per position, written
"operation [position]"; the charts draw one bar per operation with the spread of its positions.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"


def machine() -> str:
    """The CPU model, core count and Python version, as the report headers give them."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}"


def row(job: str, value: float, unit: str, peer: str | None = None,
        peer_value: float | None = None, ratio: float | None = None,
        target: str | None = None) -> dict:
    return {"job": job, "value": float(value), "unit": unit, "peer": peer,
            "peer_value": None if peer_value is None else float(peer_value),
            "ratio": None if ratio is None else float(ratio), "target": target}


def write(area: str, rows: list[dict], directory: Path = RESULTS) -> Path:
    """Writes bench/results/<area>.json (replacing the previous run's) and returns its path."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"{area}.json"
    document = {"area": area, "machine": machine(),
                "date": datetime.date.today().isoformat(), "rows": rows}
    path.write_text(json.dumps(document, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    return path


def label(text: str) -> str:
    """A table label as a chart label: no Markdown code marks."""
    return text.replace("`", "")


def position_rows(results: dict, operations, peer: str, unit: str = "ns") -> list[dict]:
    """Rows from results[op][position] = (our seconds, the peer's seconds), for operations given
    as (key, label, target ratio or None) rows; one row per position, values in nanoseconds."""
    rows = []
    for op, text, target in operations:
        for position, (ours, theirs) in results.get(op, {}).items():
            rows.append(row(f"{label(text)} [{position}]", ours * 1e9, unit, peer, theirs * 1e9,
                            theirs / ours, None if target is None else f"≥ {target:g}×"))
    return rows
