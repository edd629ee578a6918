#!/usr/bin/env python3
"""PGN to training data: quarn_data against python-chess, side by side in one run, same file.

    python bench/pgn_bench.py [--copies N] [--reference-games N] [--output PATH] [--no-write]
                              [--memory-mb MB]

The input is tests/data/random_games.pgn (random legal games with Lichess-style [%eval] and
[%clk] comments) repeated --copies times. python-chess is timed on the first --reference-games
games of the same file (it is about a thousand times slower) and compared per ply; both sides
are timed best of --repeats. Rows:

- read and validate: quarn_data.read_games (moves as UCI lists) against a chess.pgn.read_game loop
  that walks the mainline.
- PGN -> packed / planes: pgn_to_arrays against read_game plus the fastest NumPy code for the
  python-chess board of every position (twelve masks into a uint64 array; np.unpackbits of the
  masks for bool planes).
- (convert on one and two workers and on Dask, and the shard sizes, are in bench/table_bench.py.)
- the first pgn_to_arrays call of a fresh process, apart: the best-of rows run on memory that
  earlier calls freed and the module recycled, the first call faults every page in.
- peak resident memory of a `convert` process (--memory-mb of input; 0 skips it).
The table is printed and written to bench/PGN_RESULTS.md.
"""

from __future__ import annotations

import argparse
import io
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import chess
import chess.pgn
import numpy as np

import quarn_data

# Run with -P (the folder of this file is not on sys.path): resultfile.py lives beside it.
sys.path.insert(0, str(Path(__file__).resolve().parent))
import resultfile  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "tests" / "data" / "random_games.pgn"
ORDER = [(p, c) for c in (chess.WHITE, chess.BLACK) for p in chess.PIECE_TYPES]
BYTE_ORDER = np.arange(64, dtype=np.uint64)


def best(function, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return min(times)


def reference_validate(text: str, games: int) -> int:
    handle = io.StringIO(text)
    plies = 0
    for _ in range(games):
        game = chess.pgn.read_game(handle)
        if game is None:
            break
        for _ in game.mainline_moves():
            plies += 1
    return plies


def reference_arrays(text: str, games: int, planes: bool) -> int:
    handle = io.StringIO(text)
    rows = []
    for _ in range(games):
        game = chess.pgn.read_game(handle)
        if game is None:
            break
        board = game.board()
        for move in game.mainline_moves():
            masks = np.array([board.pieces_mask(p, c) for p, c in ORDER], dtype=np.uint64)
            if planes:
                rows.append(np.unpackbits(masks.view(np.uint8), bitorder="little")
                            .reshape(12, 64).astype(bool))
            else:
                rows.append(masks)
            board.push(move)
    np.stack(rows)
    return len(rows)


def first_call_rate(path: Path, planes: bool) -> float:
    """Rows per second of the first pgn_to_arrays call in a fresh process."""
    script = (
        "import sys, time, quarn_data\n"
        f"began = time.perf_counter(); n = len(quarn_data.pgn_to_arrays({str(path)!r}, "
        f"planes={planes})['move'])\n"
        "print(n / (time.perf_counter() - began))\n"
    )
    done = subprocess.run([sys.executable, "-P", "-c", script], check=True, capture_output=True,
                          text=True)
    return float(done.stdout.split()[-1])


def peak_rss_mb(path: Path, out: Path) -> float:
    """Peak resident memory of one `convert` process, measured by a fresh parent whose only child
    it is (this process has had other children: pool workers, Dask)."""
    shutil.rmtree(out, ignore_errors=True)
    script = (
        "import resource, subprocess, sys\n"
        f"subprocess.run([sys.executable, '-P', '-m', 'quarn_data', 'convert', {str(path)!r}, "
        f"'--out', {str(out)!r}, '--quiet'], check=True)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    done = subprocess.run([sys.executable, "-P", "-c", script], check=True, capture_output=True,
                          text=True)
    return int(done.stdout.split()[-1]) / 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=24, help="copies of the sample in the input")
    parser.add_argument("--reference-games", type=int, default=300,
                        help="games python-chess reads for its figures")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--memory-mb", type=int, default=0,
                        help="input size for the peak-memory row (0: skip)")
    parser.add_argument("--output", type=Path,
                        default=Path(__file__).resolve().parent / "PGN_RESULTS.md")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="quarn-pgn-bench-"))
    try:
        sample = SAMPLE.read_bytes()
        data = sample * args.copies
        path = work / "games.pgn"
        path.write_bytes(data)
        text = sample.decode()
        mb = len(data) / 1e6

        counts = quarn_data.pgn_to_arrays(path).counts
        games, plies = counts["games"], counts["positions"]
        rows = []

        def add(name, ours_rate, theirs_rate, unit, target):
            ratio = ours_rate / theirs_rate
            rows.append((name, ours_rate, theirs_rate, unit, ratio, target))
            print(f"{name:38} quarn {ours_rate:14,.0f} {unit}   python-chess "
                  f"{theirs_rate:10,.0f} {unit}   {ratio:7.1f}×", file=sys.stderr, flush=True)

        t = best(lambda: sum(len(g.moves) for g in quarn_data.read_games(path)), args.repeats)
        ref_plies = reference_validate(text, args.reference_games)
        t_ref = best(lambda: reference_validate(text, args.reference_games), args.repeats)
        add("read and validate every move", plies / t, ref_plies / t_ref, "plies/s", 300)
        read_games_per_s = games / t

        first_calls = {planes: first_call_rate(path, planes) for planes in (False, True)}
        for planes, target in ((False, 300), (True, 100)):
            t = best(lambda: quarn_data.pgn_to_arrays(path, planes=planes), args.repeats)
            ref_rows = reference_arrays(text, args.reference_games, planes)
            t_ref = best(lambda: reference_arrays(text, args.reference_games, planes),
                         args.repeats)
            add(f"PGN -> {'bool planes' if planes else 'packed'} arrays", plies / t,
                ref_rows / t_ref, "positions/s", target)

        memory = None
        if args.memory_mb:
            big = work / "big.pgn"
            with open(big, "wb") as file:
                while file.tell() < args.memory_mb * 1_000_000:
                    file.write(sample)
            memory = (args.memory_mb, peak_rss_mb(big, work / "mem"))
            big.unlink()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = [
        "# PGN to training data: quarn_data against python-chess",
        "",
        f"- Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
        f"{platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}, python-chess {chess.__version__}",
        "- Load average when the run ended: "
        + ", ".join(f"{x:.2f}" for x in os.getloadavg())
        + f" on {os.cpu_count()} cores (the figures are wall-clock times)",
        f"- Date: {time.strftime('%Y-%m-%d')}",
        f"- Input: tests/data/random_games.pgn × {args.copies}: {len(data) / 1e6:.1f} MB, {games} games, "
        f"{plies} positions (read_games: {read_games_per_s:,.0f} games/s); python-chess timed "
        f"on its first {args.reference_games} games. Both sides best of {args.repeats}. "
        "Reproduce with `make bench`.",
        "- The best-of rows recycle the memory of the arrays an earlier call freed. The first call "
        "of a fresh process faults in every page of its arrays: "
        f"{first_calls[False]:,.0f} positions/s packed, {first_calls[True]:,.0f} positions/s "
        "as bool planes.",
        "",
        "| job | quarn_data | other side | ratio | target | holds |",
        "|---|---|---|---|---|---|",
    ]
    for name, ours, theirs, unit, ratio, target in rows:
        holds = "✔" if ratio >= target else "✘"
        lines.append(f"| {name} | {ours:,.1f} {unit} | {theirs:,.1f} {unit} | {ratio:.2f}× | "
                     f"≥ {target}× | {holds} |")
    if memory:
        lines += ["", f"Peak RSS of `python -m quarn_data convert` on {memory[0]} MB of PGN: "
                  f"{memory[1]:.0f} MB (target < 300 MB)."]
    report = "\n".join(lines) + "\n"
    print(report)
    if not args.no_write:
        # Notes kept by hand below the table (sections headed "## ") survive a new run.
        notes = ""
        if args.output.exists():
            old = args.output.read_text(encoding="utf-8")
            start = old.find("\n## ")
            notes = old[start:] if start >= 0 else ""
        args.output.write_text(report + notes, encoding="utf-8")
        print(f"written to {args.output}", file=sys.stderr)
        json_rows = [resultfile.row(name, ours, unit, "--workers 1" if "vs 1" in name else
                                    "--workers 2" if "vs --workers 2" in name else "python-chess",
                                    theirs, ratio, f"≥ {target}×")
                     for name, ours, theirs, unit, ratio, target in rows]
        if memory:
            json_rows.append(resultfile.row(f"convert peak RSS [{memory[0]} MB of PGN]",
                                            memory[1], "MB", target="< 300 MB"))
        print(f"written to {resultfile.write('pgn', json_rows)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
