"""Runs native_compare (perft and make/unmake against chess-library) and writes its table to
bench/NATIVE_RESULTS.md with the machine and load lines; sections headed "## " below the table,
kept by hand, survive a new run.

    native_results.py NATIVE_COMPARE [ARGS...]
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from benchlib import environment_lines

OUTPUT = Path(__file__).resolve().parent / "NATIVE_RESULTS.md"


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
    return 0


if __name__ == "__main__":
    sys.exit(main())
