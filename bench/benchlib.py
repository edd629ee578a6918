"""What the Python benchmarks share: the positions, the alternating timer, table cells, the header.

Imported by run_bench.py and run_data_bench.py (both run as scripts from bench/, so the folder is
on sys.path); best_of, environment_lines and emit fit pgn_bench.py's single-shot timing too.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import sys
import time
from itertools import repeat
from pathlib import Path

POSITIONS = [
    ("start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"),
    ("kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"),
    ("pos3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"),
    ("pos4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"),
    ("pos5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"),
    ("pos6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"),
]
NAMES = [name for name, _ in POSITIONS]


# --- timing -------------------------------------------------------------------------------------


def timed(loop, number: int) -> float:
    """Seconds for loop(number)."""
    start = time.perf_counter()
    loop(number)
    return time.perf_counter() - start


def calibrate(loop, min_time: float) -> int:
    """A call count for which one measurement of loop takes at least min_time."""
    number = 1
    while True:
        elapsed = timed(loop, number)
        if elapsed >= min_time:
            return number
        number = max(number * 2, int(number * min_time / max(elapsed, 1e-9) * 1.2))


def compare(loops, repeats: int, min_time: float, units: int = 1) -> list[float]:
    """Best seconds per unit of work for each loop. loop(n) runs an operation n times, each run
    doing `units` units of work; the loops' measurements alternate."""
    numbers = [calibrate(loop, min_time) for loop in loops]
    best = [float("inf")] * len(loops)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            for i, (loop, number) in enumerate(zip(loops, numbers)):
                best[i] = min(best[i], timed(loop, number) / (number * units))
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def best_of(function, repeats: int) -> float:
    """Best seconds of `repeats` single calls of function() (for jobs long enough to time once)."""
    return min(timed(lambda _: function(), 1) for _ in range(repeats))


def calls(function, *arguments):
    """A loop calling function(*arguments) n times, results dropped at once. Up to two arguments
    are passed directly, so the loop costs what a hand-written one does."""
    if not arguments:

        def loop(n):
            for _ in repeat(None, n):
                function()

    elif len(arguments) == 1:
        (a,) = arguments

        def loop(n):
            for _ in repeat(None, n):
                function(a)

    elif len(arguments) == 2:
        a, b = arguments

        def loop(n):
            for _ in repeat(None, n):
                function(a, b)

    else:

        def loop(n):
            for _ in repeat(None, n):
                function(*arguments)

    return loop


def calls_each(function, items, *leading):
    """A loop calling function(*leading, item) for every item, n times over; at most one leading
    argument, passed directly like the item."""
    if not leading:

        def loop(n):
            for _ in repeat(None, n):
                for item in items:
                    function(item)

    else:
        (a,) = leading

        def loop(n):
            for _ in repeat(None, n):
                for item in items:
                    function(a, item)

    return loop


# --- running ------------------------------------------------------------------------------------


def add_common_arguments(parser: argparse.ArgumentParser, output: Path) -> None:
    """--repeats, --min-time, --output (default `output`), --no-write and --only."""
    parser.add_argument("--repeats", type=int, default=7, help="measurements per contender")
    parser.add_argument("--min-time", type=float, default=0.02,
                        help="seconds each measurement runs at least")
    parser.add_argument("--output", type=Path, default=output)
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    parser.add_argument("--only", default="", help="comma-separated operation keys to run")


def selected_operations(operations, only: str) -> list[str]:
    """The keys of `operations` (rows whose first item is the key) that --only names, or all."""
    return [row[0] for row in operations if not only or row[0] in only.split(",")]


def progress(op: str, op_width: int, name: str, ours: str, t_ours: float, t_theirs: float) -> None:
    """One line on stderr for a measured pair against python-chess."""
    print(f"{op:{op_width}} {name:9} {ours} {format_time(t_ours):>10}   "
          f"python-chess {format_time(t_theirs):>10}   ratio {t_theirs / t_ours:6.1f}×",
          file=sys.stderr, flush=True)


def emit(report: str, args) -> None:
    """Prints the report and writes it to args.output unless --no-write."""
    print(report)
    if not args.no_write:
        args.output.write_text(report, encoding="utf-8")
        print(f"written to {args.output}", file=sys.stderr)


# --- report -------------------------------------------------------------------------------------


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def format_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


def mark(ok: bool) -> str:
    return "✔" if ok else "✘"


def environment_lines(python: str, load_note: str) -> list[str]:
    """The machine, Python, date and load-average lines of a report header. `python` follows the
    Python version on its line (other versions); `load_note` follows the load figures."""
    lines = [
        f"- Machine: {cpu_model()}, {os.cpu_count()} cores; "
        f"{platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}{python}",
        f"- Date: {datetime.date.today().isoformat()}",
    ]
    if hasattr(os, "getloadavg"):
        load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
        lines.append(f"- Load average when the run ended: {load} {load_note}")
    return lines


def ratio_rows(results: dict, operations) -> list[str]:
    """The ratio table: (operation key, label, target or None) rows, results[op][position] =
    (our time, their time); ratio = their time / ours. No header."""
    lines = []
    for op, label, target in operations:
        ratios = [results[op][name][1] / results[op][name][0] for name in NAMES]
        cells = [f"{r:.1f}×" for r in ratios]
        if target is None:
            lines.append(f"| {label} | – | " + " | ".join(cells) + " | – |")
        else:
            lines.append(f"| {label} | ≥ {target:g}× | " + " | ".join(cells)
                         + f" | {mark(all(r >= target for r in ratios))} |")
    return lines


def ratio_header() -> list[str]:
    return ["| operation | target | " + " | ".join(NAMES) + " | holds |",
            "|" + "---|" * (len(NAMES) + 3)]


def time_table(results: dict, operations, unit=lambda op: "") -> list[str]:
    """The time-per-call table, ours / theirs per position; unit(op) follows the label."""
    lines = ["| operation | " + " | ".join(NAMES) + " |", "|" + "---|" * (len(NAMES) + 1)]
    for op, label, _ in operations:
        cells = [f"{format_time(results[op][name][0])} / {format_time(results[op][name][1])}"
                 for name in NAMES]
        lines.append(f"| {label}{unit(op)} | " + " | ".join(cells) + " |")
    return lines
