"""Runs native_compare (perft and make/unmake against chess-library) and writes its table to
bench/NATIVE_RESULTS.md with the machine and load lines; sections headed "## " below the table,
kept by hand, survive a new run.

    native_results.py NATIVE_COMPARE [ARGS...]
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import resultfile
from benchlib import environment_lines

OUTPUT = Path(__file__).resolve().parent / "NATIVE_RESULTS.md"


def json_rows(table: str) -> list[dict]:
    """bench/results/native.json rows from native_compare's table: per position, bulk counting
    and every leaf made in M nodes/s, make + unmake in ns a pair; chess-library as the peer."""
    rows = []
    for line in table.splitlines():
        fields = line.replace("|", " ").split()
        if len(fields) != 11 or not fields[1].isdigit():
            continue
        name, depth, nodes = fields[0], int(fields[1]), int(fields[2])
        bulk_ours, bulk_theirs, full_ours, full_theirs = map(float, (fields[i] for i in (3, 4, 6, 7)))
        make_ours, make_theirs = map(float, fields[9].split("/"))
        for job, ours, theirs in (("perft, bulk counting", bulk_ours, bulk_theirs),
                                  ("perft, every leaf made", full_ours, full_theirs)):
            rows.append(resultfile.row(f"{job} [{name}, depth {depth}]", nodes / ours / 1e6,
                                       "M nodes/s", "chess-library", nodes / theirs / 1e6,
                                       theirs / ours))
        rows.append(resultfile.row(f"make + unmake [{name}]", make_ours, "ns", "chess-library",
                                   make_theirs, make_theirs / make_ours))
    return rows


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    run = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, text=True)
    print(run.stdout, end="")
    if run.returncode != 0:
        print(f"native_compare exited with {run.returncode}; {OUTPUT.name} left as it was",
              file=sys.stderr)
        return run.returncode
    lines = [
        "# quarn_chess against chess-library (native perft and make/unmake)",
        "",
        *environment_lines("", "(wall-clock times: single ratios move under load)"),
        "- chess-library is read from outside the repository and built only for this comparison.",
        "",
        "Ratio = chess-library's time / ours (above 1: we are faster); `full` makes and takes back",
        "every leaf, `bulk` counts the legal moves of the last ply. Reproduce with `make bench`.",
        "",
        "```",
        run.stdout.rstrip("\n"),
        "```",
    ]
    notes = ""
    if OUTPUT.exists():
        old = OUTPUT.read_text(encoding="utf-8")
        start = old.find("\n## ")
        notes = old[start:] if start >= 0 else ""
    OUTPUT.write_text("\n".join(lines) + "\n" + notes, encoding="utf-8")
    print(f"written to {OUTPUT}", file=sys.stderr)
    print(f"written to {resultfile.write('native', json_rows(run.stdout))}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
