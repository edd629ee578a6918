#!/usr/bin/env python3
"""Draws the benchmark results as charts for the documentation: every bench/results/<area>.json
(written by `make bench`, format in bench/resultfile.py) becomes docs/_static/charts/<area>.svg,
and the rows against python-chess of all areas together become summary.svg.

    tools/plot_bench.py [--results DIR] [--out DIR]

A row with a ratio is drawn as "times better than its peer" on a log scale, one bar per job and
peer: the median over the positions its job names in brackets ("fen() [kiwipete]"), with the
spread from the lowest to the highest position and the target as a tick. Rows without a peer are
drawn as their values, one panel per unit. The SVG files are reproducible (no dates, fixed ids),
so an unchanged result file leaves its chart unchanged.
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
import textwrap
from pathlib import Path

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
OURS = "#2f6f9f"
TARGET = "#c0392b"
TITLES = {
    "rules": "quarn_chess: the rules library",
    "data": "quarn_data: queries, SAN and tensors",
    "pgn": "PGN to training data",
    "native": "Native perft against chess-library",
    "tables": "Game tables",
    "loader": "The position loader",
    "env": "Self-play environments",
}


def base(job: str) -> tuple[str, str | None]:
    """'fen() [kiwipete]' -> ('fen()', 'kiwipete'): the job and the position in brackets."""
    found = re.fullmatch(r"(.*?)\s*\[([^\]]*)\]", job)
    return (found[1], found[2]) if found else (job, None)


def target_value(target: str | None) -> float | None:
    found = re.fullmatch(r"≥\s*([\d.,]+)\s*×", target or "")
    return float(found[1].replace(",", "")) if found else None


def ratio_groups(rows: list[dict]) -> list[dict]:
    """One entry per (job, peer) in the order of first appearance: the ratios over positions."""
    groups: dict[tuple[str, str], dict] = {}
    for row in rows:
        if row.get("ratio") is None or not row.get("peer"):
            continue
        job, _ = base(row["job"])
        entry = groups.setdefault((job, row["peer"]), {"job": job, "peer": row["peer"],
                                                       "ratios": [], "target": None})
        entry["ratios"].append(float(row["ratio"]))
        entry["target"] = entry["target"] or target_value(row.get("target"))
    return list(groups.values())


def value_groups(rows: list[dict]) -> dict[str, list[tuple[str, float]]]:
    """Rows without a ratio, by unit: (job, value)."""
    units: dict[str, list[tuple[str, float]]] = {}
    for row in rows:
        if row.get("ratio") is None:
            units.setdefault(row["unit"], []).append((row["job"], float(row["value"])))
    return units


def human(value: float) -> str:
    """1.96e7 -> '19.6 M', 1234 -> '1,234'."""
    for scale, suffix in ((1e9, " G"), (1e6, " M")):
        if abs(value) >= scale:
            return f"{value / scale:.3g}{suffix}"
    return f"{value:,.4g}"


def times(value: float) -> str:
    return f"{value:,.0f}×" if value >= 10 else f"{value:.2f}×"


def draw_ratios(axis, groups: list[dict], label_peer: bool) -> None:
    labels = [f"{g['job']} vs {g['peer']}" if label_peer and " vs " not in g["job"] else g["job"]
              for g in groups]
    medians = [statistics.median(g["ratios"]) for g in groups]
    y = range(len(groups))
    # Bars grow from 1× (level): right when we are faster, left when slower.
    axis.barh(y, [m - 1 for m in medians], left=1, color=OURS, height=0.62, zorder=2)
    for i, g in enumerate(groups):
        low, high = min(g["ratios"]), max(g["ratios"])
        if high > low:
            axis.plot([low, high], [i, i], color="#1b3a52", linewidth=1.2, zorder=3)
            axis.plot([low, low], [i - 0.18, i + 0.18], color="#1b3a52", linewidth=1.2, zorder=3)
            axis.plot([high, high], [i - 0.18, i + 0.18], color="#1b3a52", linewidth=1.2, zorder=3)
        if g["target"]:
            axis.plot([g["target"]] * 2, [i - 0.38, i + 0.38], color=TARGET, linewidth=2,
                      zorder=4)
        text = times(medians[i]) if high == low else f"{times(low)} – {times(high)}"
        axis.text(max(high, medians[i]) * 1.12, i, text, va="center", fontsize=9.5, zorder=5)
    axis.set_yticks(list(y), labels, fontsize=10.5)
    axis.invert_yaxis()
    axis.set_xscale("log")
    upper = max(max(g["ratios"]) for g in groups)
    axis.set_xlim(min(0.5, min(min(g["ratios"]) for g in groups) * 0.8), upper * 9)
    axis.axvline(1, color="#555", linewidth=0.8, zorder=1)
    axis.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}×"))
    axis.xaxis.set_minor_formatter(NullFormatter())
    axis.grid(axis="x", which="major", color="#ddd", zorder=0)
    axis.set_axisbelow(True)
    for side in ("top", "right"):
        axis.spines[side].set_visible(False)


def draw_values(axis, unit: str, items: list[tuple[str, float]]) -> None:
    y = range(len(items))
    values = [value for _, value in items]
    axis.barh(y, values, color=OURS, height=0.62, zorder=2)
    for i, value in enumerate(values):
        axis.text(value * 1.02, i, f"{human(value)} {unit}".replace("M M", "M"), va="center",
                  fontsize=9.5)
    axis.set_yticks(list(y), [job for job, _ in items], fontsize=10.5)
    axis.invert_yaxis()
    axis.set_xlim(0, max(values) * 1.45)
    axis.set_xlabel(unit, fontsize=9)
    axis.xaxis.set_major_formatter(FuncFormatter(lambda value, _: human(value)))
    axis.grid(axis="x", color="#ddd", zorder=0)
    for side in ("top", "right"):
        axis.spines[side].set_visible(False)


def chart(title: str, note: str, panels: list[tuple[str, object]], out: Path) -> None:
    """panels: (heading, draw function taking an axis and returning its bar count)."""
    heights = [max(1, count) * 0.36 + 0.9 for _, (count, _) in panels]
    figure, axes = plt.subplots(len(panels), 1, figsize=(8.5, sum(heights) + 0.7),
                                gridspec_kw={"height_ratios": heights}, squeeze=False)
    for axis, (heading, (_, draw)) in zip(axes[:, 0], panels):
        draw(axis)
        axis.set_title(heading, fontsize=11, loc="left")
    figure.suptitle(title, fontsize=12, x=0.01, ha="left", fontweight="bold")
    note = textwrap.fill(note, 120)
    figure.text(0.01, 0.005, note, fontsize=8.5, color="#555", ha="left", va="bottom")
    figure.tight_layout(rect=(0, 0.03 + 0.012 * note.count("\n"), 1, 1))
    if out.suffix == ".svg":
        figure.savefig(out, format="svg", metadata={"Date": None})
    else:
        figure.savefig(out, dpi=110)
    plt.close(figure)


def area_chart(document: dict, out: Path) -> None:
    rows = document["rows"]
    groups = ratio_groups(rows)
    panels = []
    python_chess = [g for g in groups if g["peer"] == "python-chess"]
    others = [g for g in groups if g["peer"] != "python-chess"]
    if python_chess:
        panels.append(("Times faster than python-chess",
                       (len(python_chess), lambda a, g=python_chess: draw_ratios(a, g, False))))
    if others:
        panels.append(("Times faster than the other side (1×: level)",
                       (len(others), lambda a, g=others: draw_ratios(a, g, True))))
    for unit, items in value_groups(rows).items():
        panels.append((f"Measured ({unit})", (len(items), lambda a, u=unit, i=items:
                                              draw_values(a, u, i))))
    if not panels:
        return
    note = (f"Bar: median over the positions; line: lowest to highest; red: target. "
            f"{document.get('machine', '')}; {document.get('date', '')}. "
            "Reproduce with make bench.")
    chart(TITLES.get(document["area"], document["area"]), note, panels, out)


def summary_chart(documents: list[dict], out: Path) -> None:
    groups = []
    for document in documents:
        groups += [g for g in ratio_groups(document["rows"]) if g["peer"] == "python-chess"]
    if not groups:
        return
    dates = sorted({d.get("date", "") for d in documents})
    machines = sorted({d.get("machine", "") for d in documents})
    note = (f"Bar: median over the six perft positions; line: lowest to highest; red: target. "
            f"{'; '.join(machines)}; {', '.join(dates)}.")
    chart("Times faster than python-chess", note,
          [("Rules, queries, SAN, tensors and PGN reading",
            (len(groups), lambda a: draw_ratios(a, groups, False)))], out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--results", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_static" / "charts")
    parser.add_argument("--format", choices=("svg", "png"), default="svg")
    args = parser.parse_args()
    plt.rcParams.update({"svg.hashsalt": "quarn-charts", "font.family": "DejaVu Sans"})
    args.out.mkdir(parents=True, exist_ok=True)
    documents = []
    for path in sorted(args.results.glob("*.json")):
        try:
            document = json.loads(path.read_text(encoding="utf-8"))
            document.setdefault("area", path.stem)
            document["rows"]  # noqa: B018 - a file without rows is refused here
        except (ValueError, KeyError) as error:
            print(f"plot_bench: {path} is no result file: {error}", file=sys.stderr)
            return 1
        documents.append(document)
        area_chart(document, args.out / f"{path.stem}.{args.format}")
        print(f"chart: {args.out / path.stem}.{args.format}", file=sys.stderr)
    order = ["rules", "data", "pgn"]
    summary_chart(sorted((d for d in documents if d["area"] in order),
                         key=lambda d: order.index(d["area"])),
                  args.out / f"summary.{args.format}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
