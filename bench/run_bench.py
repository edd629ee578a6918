#!/usr/bin/env python3
"""quarn_chess against python-chess, side by side in one run, on the six standard perft positions.

    python bench/run_bench.py [--repeats N] [--min-time SECONDS] [--output PATH] [--no-write]

Every operation is timed per call as the best of several repeats; the two libraries' measurements
alternate (A, B, A, B, ...) so that drift of the machine hits both alike. The table is printed
and written to bench/RESULTS.md together with the machine, the Python and python-chess versions
and the date. The native figures (MoveGenerator construction, perft without Python) come from the
program named by the environment variable QUARN_PERFT_BENCH (`make bench` sets it).

Fairness notes, repeated in the written table:
- Board(fen): python-chess skips parsing when it is handed its own start FEN string (with move
  counters). Both libraries get the same four-field FEN here, which is never that string, so
  python-chess parses every time; the script checks this.
- copy(): python-chess's default copy (stack=True), which copies the move stack like ours copies
  the history; both boards are fresh from the FEN.
- push + pop: every legal move of the position in turn (the same texts for both libraries),
  push_uci + pop for python-chess; the figure is the mean per move.
- planes: python-chess has no plane export; its side is the fastest code found for it: the twelve
  piece masks from the public bitboard attributes, each expanded through a table of the 65,536
  16-bit patterns (four lookups and one list display per plane). Alongside runs a copy of a
  finished export (list allocation and reference copying only), the floor for any export that
  returns fresh lists; a row against a binary-string expansion of the masks has no target.
- perft 3: through each library's public Python API, counting the legal moves at the last ply
  instead of playing them (len(generator(board)) and board.legal_moves.count()); per leaf node.

A second table puts Board(fen), fen() and copy() beside the native-code peers on PyPI (nchess,
fastchess, and bulletchess on Python 3.13 and later), timed alternately with ours in the same
way; a peer that is not installed or fails to import is skipped with a note.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

import chess
from benchlib import (
    NAMES,
    POSITIONS,
    add_common_arguments,
    calls,
    compare,
    emit,
    environment_lines,
    format_time,
    mark,
    progress,
    ratio_header,
    ratio_rows,
    selected_operations,
    time_table,
)
import resultfile

import quarn_chess

START_FEN = POSITIONS[0][1]
NATIVE_PERFT_DEPTH = 6
NATIVE_PERFT_TARGET = 100.0  # million nodes per second, start position, bulk counting
CONSTRUCTION_TARGET_MS = 3.0

# Operation key, label, target ratio (python-chess time / quarn_chess time).
OPERATIONS = [
    ("moves", "legal moves as strings", 40.0),
    ("perft", "perft 3 per node, bulk counting", 25.0),
    ("board", "`Board(fen)` (python-chess parsing)", 30.0),
    ("fen", "`fen()`", 50.0),
    ("push_pop", "`push` + `pop`", 40.0),
    ("copy", "`copy()`", 3.0),
    ("planes", "planes 12×64", 7.0),
    ("reflect", "reflect twice", 20.0),
    # No target: the same export against the binary-string expansion of each piece mask.
    ("planes_format", "planes 12×64 (python-chess: binary-string expansion)", None),
]


# The native-code peers: module name and the expression that builds a board from a FEN. Their
# results are compared with ours (placement, side to move and castling fields of the FEN), never
# their code.
PEERS = ["nchess", "fastchess", "bulletchess"]
PEER_OPERATIONS = [
    ("board", "`Board(fen)`"),
    ("fen", "`fen()`"),
    ("copy", "`copy()`"),
]
PEER_TARGET = 1.2  # fastest peer's time / ours


def load_peers() -> tuple[dict, list[str]]:
    """The importable peers by name, and a note for each one that is skipped."""
    loaded, notes = {}, []
    for name in PEERS:
        try:
            module = __import__(name)
            board_class = getattr(module, "Board")
            board = board_class(POSITIONS[1][1])
            if not callable(getattr(board, "fen", None)) or not callable(getattr(board, "copy", None)):
                raise AttributeError("no fen() or copy()")
        except Exception as error:  # noqa: BLE001 - any failure only skips the peer
            notes.append(f"{name}: skipped ({type(error).__name__}: {error})")
            continue
        loaded[name] = board_class
    return loaded, notes


def fen_fields(text: str) -> list[str]:
    return text.split()[:3]


def peer_loops(op: str, fen: str, peers: dict) -> list:
    """Loops for our operation and then each peer's, in the order of `peers`."""
    classes = [quarn_chess.Board] + list(peers.values())
    boards = [cls(fen) for cls in classes]
    for name, board in zip(peers, boards[1:]):
        if fen_fields(board.fen()) != fen_fields(boards[0].fen()):
            raise SystemExit(f"{name} reads {fen} differently: {board.fen()}")
    if op == "board":
        return [calls(cls, fen) for cls in classes]
    return [calls(getattr(board, op)) for board in boards]


# --- the operations, each as a pair of loops ------------------------------------------------------

# Every 16-bit pattern as its 16 truth values, least significant bit first.
PATTERNS_16 = [[bool(v >> i & 1) for i in range(16)] for v in range(1 << 16)]


def python_chess_planes(board: chess.Board) -> list[list[bool]]:
    t = PATTERNS_16
    black, white = board.occupied_co
    kinds = (board.pawns, board.knights, board.bishops, board.rooks, board.queens, board.kings)
    planes = []
    for colour in (white, black):
        for kind in kinds:
            m = kind & colour
            planes.append([*t[m & 0xFFFF], *t[m >> 16 & 0xFFFF], *t[m >> 32 & 0xFFFF], *t[m >> 48]])
    return planes


BOOL_OF_DIGIT = {"0": False, "1": True}


def python_chess_planes_format(board: chess.Board) -> list[list[bool]]:
    digit = BOOL_OF_DIGIT.__getitem__
    return [
        list(map(digit, format(board.pieces_mask(kind, colour), "064b")[::-1]))
        for colour in (chess.WHITE, chess.BLACK)
        for kind in chess.PIECE_TYPES
    ]


def python_chess_perft(board: chess.Board, depth: int) -> int:
    if depth == 1:
        return board.legal_moves.count()
    nodes = 0
    for move in board.legal_moves:
        board.push(move)
        nodes += python_chess_perft(board, depth - 1)
        board.pop()
    return nodes


def quarn_perft(generator, board, depth: int) -> int:
    moves = generator(board)
    if depth == 1:
        return len(moves)
    push = board.push
    pop = board.pop
    nodes = 0
    for move in moves:
        push(move)
        nodes += quarn_perft(generator, board, depth - 1)
        pop()
    return nodes


def loops_for(op: str, fen: str, generator):
    """(ours, theirs, units): loops that run the operation n times, and the work units per run."""
    board = quarn_chess.Board(fen)
    pc_board = chess.Board(fen)
    rep = repeat

    if op == "moves":
        ours = calls(generator, board)

        def theirs(n):
            b = pc_board
            for _ in rep(None, n):
                [m.uci() for m in b.legal_moves]

        return ours, theirs, 1

    if op == "perft":
        nodes = quarn_perft(generator, board, 3)
        if nodes != python_chess_perft(pc_board, 3):
            raise SystemExit(f"perft 3 differs between the libraries for {fen}")
        ours = calls(quarn_perft, generator, board, 3)
        return ours, calls(python_chess_perft, pc_board, 3), nodes

    if op == "board":
        if fen == chess.STARTING_FEN:
            raise SystemExit("python-chess would skip parsing for its own start FEN string")
        return calls(quarn_chess.Board, fen), calls(chess.Board, fen), 1

    if op == "fen":
        return calls(board.fen), calls(pc_board.fen), 1

    if op == "push_pop":
        moves = generator(board)
        if sorted(moves) != sorted(m.uci() for m in pc_board.legal_moves):
            raise SystemExit(f"legal moves differ between the libraries for {fen}")
        push, pop = board.push, board.pop
        push_uci, pc_pop = pc_board.push_uci, pc_board.pop

        def ours(n):
            for _ in rep(None, n):
                for m in moves:
                    push(m)
                    pop()

        def theirs(n):
            for _ in rep(None, n):
                for m in moves:
                    push_uci(m)
                    pc_pop()

        return ours, theirs, len(moves)

    if op == "copy":
        return calls(board.copy), calls(pc_board.copy), 1  # stack=True, the default

    if op in ("planes", "planes_format"):
        export = python_chess_planes if op == "planes" else python_chess_planes_format
        if export(pc_board) != board.bitboard():
            raise SystemExit(f"plane export differs between the libraries for {fen}")
        return calls(board.bitboard), calls(export, pc_board), 1

    if op == "reflect":
        reflect = board.reflect
        mirror = getattr(pc_board, "apply_mirror", None)
        if mirror is None:  # python-chess before 1.9: mirror() returns a new board

            def mirror():
                pc_board.mirror()

        def ours(n):
            for _ in rep(None, n):
                reflect()
                reflect()

        def theirs(n):
            for _ in rep(None, n):
                mirror()
                mirror()

        return ours, theirs, 1

    raise ValueError(op)


# --- native figures -------------------------------------------------------------------------------


def find_perft_bench() -> str | None:
    path = os.environ.get("QUARN_PERFT_BENCH")
    if path and os.access(path, os.X_OK):
        return path
    fallback = Path(__file__).resolve().parent.parent / "build" / "bench" / "perft_bench"
    return str(fallback) if os.access(fallback, os.X_OK) else None


def native_run(program: str) -> dict:
    """One run of the native program on the start position, parsed from its output."""
    result = subprocess.run(
        [program, str(NATIVE_PERFT_DEPTH), START_FEN], capture_output=True, text=True, check=False
    )
    figures = {"output": result.stdout.strip()}
    if result.returncode != 0:
        figures["error"] = f"exit code {result.returncode}: {result.stderr.strip()}"
        return figures
    construction = re.search(r"construction: median ([\d.]+) ms", result.stdout)
    if construction:
        figures["construction_ms"] = float(construction.group(1))
    row = re.search(r"^fen\s+(\d+)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+(\S+)",
                    result.stdout, re.MULTILINE)
    if row:
        figures["nodes"] = int(row.group(2))
        figures["bulk_mnps"] = float(row.group(4))
        figures["full_mnps"] = float(row.group(6))
        figures["check"] = row.group(7)
    return figures


def native_figures(program: str | None, runs: int) -> dict:
    """The best of `runs` runs of the native program (by bulk-counting speed); empty when there
    is no program."""
    if program is None:
        return {}
    best: dict = {}
    for _ in range(max(runs, 1)):
        figures = native_run(program)
        if "error" in figures or "bulk_mnps" not in figures:
            return figures
        if figures["bulk_mnps"] > best.get("bulk_mnps", -1.0):
            best = figures
    best["runs"] = max(runs, 1)
    return best


def list_copy_loop(fen: str):
    """A loop that copies a finished 12×64 export with list(map(list.copy, planes)): 13 list
    allocations and 768 reference copies, released again, with no other work. No export that
    returns fresh lists can be faster, which bounds the planes ratio."""
    planes = quarn_chess.Board(fen).bitboard()
    copy = list.copy

    def loop(n):
        for _ in repeat(None, n):
            list(map(copy, planes))

    return loop


def python_construction_ms(repeats: int) -> float:
    """Best wall time of MoveGenerator() from Python, in milliseconds."""
    best = float("inf")
    for _ in range(max(repeats, 5)):
        start = time.perf_counter()
        generator = quarn_chess.MoveGenerator()
        best = min(best, time.perf_counter() - start)
        del generator
    return best * 1e3


# --- report ---------------------------------------------------------------------------------------


# What the time-per-call table says after the label of a row that is not per call.
UNITS = {"perft": " (per node)", "push_pop": " (per move)"}


def build_report(results: dict, native: dict, construction_ms: float, floors: dict, args) -> str:
    lines = ["# quarn_chess against python-chess", ""]
    lines += environment_lines(
        f" ({platform.python_implementation()}), python-chess {chess.__version__}",
        "(the figures are wall-clock times)",
    )
    lines.append(
        f"- Method: per call, best of {args.repeats} repeats of at least "
        f"{args.min_time * 1e3:.0f} ms each, the libraries measured alternately; reproduce with "
        "`make bench`."
    )
    lines.append("")
    lines.append("Ratio = python-chess time / quarn_chess time (higher is better for quarn_chess).")
    lines.append("")
    lines += ratio_header() + ratio_rows(results, OPERATIONS)
    lines.append("")
    lines.append("Time per call (quarn_chess / python-chess):")
    lines.append("")
    lines += time_table(results, OPERATIONS, lambda op: UNITS.get(op, ""))
    lines.append("")
    lines.append("Native figures:")
    lines.append("")
    lines.append("| measurement | value | target | holds |")
    lines.append("|---|---|---|---|")
    lines.append(
        f"| `MoveGenerator()` from Python (best of {max(args.repeats, 5)}) "
        f"| {construction_ms:.3f} ms | ≤ {CONSTRUCTION_TARGET_MS:g} ms "
        f"| {mark(construction_ms <= CONSTRUCTION_TARGET_MS)} |"
    )
    if "construction_ms" in native:
        c = native["construction_ms"]
        lines.append(
            f"| `MoveGenerator` construction, native (median) | {c:.3f} ms "
            f"| ≤ {CONSTRUCTION_TARGET_MS:g} ms | {mark(c <= CONSTRUCTION_TARGET_MS)} |"
        )
    if "bulk_mnps" in native:
        bulk = native["bulk_mnps"]
        lines.append(
            f"| native perft, start position depth {NATIVE_PERFT_DEPTH}, bulk counting "
            f"({native['nodes']} nodes, {native['check']}; best of {native['runs']}) "
            f"| {bulk:.1f} M nodes/s "
            f"| ≥ {NATIVE_PERFT_TARGET:g} M nodes/s | {mark(bulk >= NATIVE_PERFT_TARGET)} |"
        )
        lines.append(
            f"| native perft, start position depth {NATIVE_PERFT_DEPTH}, every leaf made "
            f"| {native['full_mnps']:.1f} M nodes/s | – | – |"
        )
    elif "error" in native:
        lines.append(f"| native perft | failed: {native['error']} | | ✘ |")
    else:
        lines.append("| native perft | not run: QUARN_PERFT_BENCH not set | | |")
    lines.append("")
    lines.append("Notes:")
    lines.append("")
    lines.append(
        "- `Board(fen)`: python-chess skips parsing for its own start FEN string (the one with "
        "move counters); both libraries get the four-field FEN here, so python-chess parses it "
        "every time, the start position included."
    )
    lines.append(
        "- `copy()`: python-chess's default `copy()` (stack=True), which copies the move stack as "
        "ours copies the history; both boards fresh from the FEN."
    )
    lines.append(
        "- `push` + `pop`: every legal move of the position in turn, the same texts for both; "
        "python-chess uses `push_uci` (which checks legality) and `pop`. Mean per move."
    )
    lines.append(
        "- planes: python-chess has no plane export; its side is the fastest code we found: the "
        "twelve piece masks from the public `pawns` … `kings` and `occupied_co` attributes, each "
        "expanded through a precomputed table of the 65,536 16-bit patterns (four lookups and one "
        "list display per plane). The row marked “binary-string expansion” compares against "
        "`format(board.pieces_mask(kind, colour), '064b')[::-1]` mapped through a digit-to-bool "
        "table instead, and has no target."
    )
    bounds = [results["planes"][name][1] / floors[name] for name in NAMES]
    lines.append(
        "- planes, the floor: copying a finished export with `list(map(list.copy, planes))` (13 "
        "list allocations and 768 reference copies, nothing else), measured alongside, takes "
        + " / ".join(format_time(floors[name]) for name in NAMES)
        + " on the six positions, about as long as quarn_chess's whole `bitboard()`. Allocating "
        "and releasing the fresh lists is most of the cost on both sides, so against the "
        f"table-driven python-chess code the ratio stays near {min(bounds):.1f}× to "
        f"{max(bounds):.1f}× for any export that returns new lists."
    )
    lines.append("- reflect twice: `reflect()` twice against `apply_mirror()` twice.")
    lines.append(
        "- perft 3: recursive perft through each library's public Python API, counting the legal "
        "moves at the last ply (`len(generator(board))`, `board.legal_moves.count()`); time per "
        "leaf node."
    )
    if native.get("output"):
        lines.append("")
        lines.append("Output of the native benchmark (`perft_bench "
                     f"{NATIVE_PERFT_DEPTH} <start FEN>`):")
        lines.append("")
        lines.append("```")
        lines.append(native["output"])
        lines.append("```")
    return "\n".join(lines) + "\n"


def build_peer_report(peer_results: dict, peers: list[str], notes: list[str], args) -> str:
    lines = ["", "## Against the native-code peers", ""]
    if not peers:
        lines.append("No peer could be imported; nothing compared.")
    else:
        lines.append(
            "Ratio = the fastest peer's time / quarn_chess time, per position (best of "
            f"{max(args.repeats, 15)} alternating measurements); time per call below "
            "(quarn_chess, then " + ", ".join(peers) + ")."
        )
        lines.append("")
        lines.append("| call | target | " + " | ".join(NAMES) + " | holds |")
        lines.append("|" + "---|" * (len(NAMES) + 3))
        for op, label in PEER_OPERATIONS:
            ratios = [min(peer_results[op][name][1:]) / peer_results[op][name][0] for name in NAMES]
            cells = [f"{r:.2f}×" for r in ratios]
            holds = all(r >= PEER_TARGET for r in ratios)
            lines.append(
                f"| {label} | ≥ {PEER_TARGET:g}× | " + " | ".join(cells) + f" | {mark(holds)} |"
            )
        lines.append("")
        lines.append("| call | " + " | ".join(NAMES) + " |")
        lines.append("|" + "---|" * (len(NAMES) + 1))
        for op, label in PEER_OPERATIONS:
            cells = [" / ".join(format_time(t) for t in peer_results[op][name]) for name in NAMES]
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append(
        "- Each peer gets the same four-field FEN; its `fen()` adds move counters. nchess's "
        "`copy()` is far slower than the others' and never the fastest."
    )
    for note in notes:
        lines.append(f"- {note}")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_common_arguments(parser, Path(__file__).resolve().parent / "RESULTS.md")
    parser.add_argument("--native-runs", type=int, default=3,
                        help="runs of the native benchmark; the best one is reported")
    args = parser.parse_args()

    selected = selected_operations(OPERATIONS, args.only)
    generator = quarn_chess.MoveGenerator()
    results: dict = {}
    floors: dict = {}
    for op in selected:
        results[op] = {}
        for name, fen in POSITIONS:
            ours, theirs, units = loops_for(op, fen, generator)
            if op == "planes":
                t_ours, t_theirs, t_floor = compare(
                    [ours, theirs, list_copy_loop(fen)], args.repeats, args.min_time)
                floors[name] = t_floor
            else:
                t_ours, t_theirs = compare([ours, theirs], args.repeats, args.min_time, units)
            results[op][name] = (t_ours, t_theirs)
            progress(op, 9, name, "quarn_chess", t_ours, t_theirs)

    peers, peer_notes = load_peers()
    for note in peer_notes:
        print(note, file=sys.stderr)
    peer_results: dict = {}
    for op, _ in PEER_OPERATIONS:
        if op not in selected:
            continue
        peer_results[op] = {}
        for name, fen in POSITIONS:
            # More repeats than for python-chess: the differences here are tens of nanoseconds.
            times = compare(peer_loops(op, fen, peers), max(args.repeats, 15), args.min_time)
            peer_results[op][name] = times
            print(f"{op:9} {name:9} quarn_chess {format_time(times[0]):>10}   "
                  + "   ".join(f"{peer} {format_time(t):>10}" for peer, t in zip(peers, times[1:])),
                  file=sys.stderr, flush=True)

    if len(selected) != len(OPERATIONS):
        return 0
    construction_ms = python_construction_ms(args.repeats)
    native = native_figures(find_perft_bench(), args.native_runs)
    report = build_report(results, native, construction_ms, floors, args)
    report += build_peer_report(peer_results, list(peers), peer_notes, args)
    emit(report, args)
    if not args.no_write:
        write_json(results, peer_results, list(peers), native)
    return 0


def write_json(results: dict, peer_results: dict, peers: list[str], native: dict) -> None:
    """bench/results/rules.json: the rows against python-chess, against the fastest native peer
    per position, and the native perft rates."""
    rows = resultfile.position_rows(results, OPERATIONS, "python-chess")
    for op, text in PEER_OPERATIONS:
        for position, times in peer_results.get(op, {}).items():
            if len(times) < 2:  # no peer could be imported
                continue
            fastest = min(range(1, len(times)), key=lambda i: times[i])
            rows.append(resultfile.row(
                f"{resultfile.label(text)} [{position}]", times[0] * 1e9, "ns", peers[fastest - 1],
                times[fastest] * 1e9, times[fastest] / times[0], f"≥ {PEER_TARGET:g}×"))
    if "bulk_mnps" in native:
        rows.append(resultfile.row(f"native perft, bulk counting [start, depth {NATIVE_PERFT_DEPTH}]",
                                   native["bulk_mnps"], "M nodes/s",
                                   target=f"≥ {NATIVE_PERFT_TARGET:g} M nodes/s"))
        rows.append(resultfile.row(f"native perft, every leaf made [start, depth {NATIVE_PERFT_DEPTH}]",
                                   native["full_mnps"], "M nodes/s"))
    print(f"written to {resultfile.write('rules', rows)}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
