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
import datetime
import gc
import os
import platform
import re
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

import chess

import quarn_chess

POSITIONS = [
    ("start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"),
    ("kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"),
    ("pos3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"),
    ("pos4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"),
    ("pos5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"),
    ("pos6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"),
]

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
    rep = repeat
    classes = [quarn_chess.Board] + list(peers.values())
    boards = [cls(fen) for cls in classes]
    for name, board in zip(peers, boards[1:]):
        if fen_fields(board.fen()) != fen_fields(boards[0].fen()):
            raise SystemExit(f"{name} reads {fen} differently: {board.fen()}")
    loops = []
    for cls, board in zip(classes, boards):
        if op == "board":

            def loop(n, cls=cls):
                for _ in rep(None, n):
                    cls(fen)

        else:
            method = getattr(board, op)

            def loop(n, method=method):
                for _ in rep(None, n):
                    method()

        loops.append(loop)
    return loops


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

        def ours(n):
            g, b = generator, board
            for _ in rep(None, n):
                g(b)

        def theirs(n):
            b = pc_board
            for _ in rep(None, n):
                [m.uci() for m in b.legal_moves]

        return ours, theirs, 1

    if op == "perft":
        nodes = quarn_perft(generator, board, 3)
        if nodes != python_chess_perft(pc_board, 3):
            raise SystemExit(f"perft 3 differs between the libraries for {fen}")

        def ours(n):
            for _ in rep(None, n):
                quarn_perft(generator, board, 3)

        def theirs(n):
            for _ in rep(None, n):
                python_chess_perft(pc_board, 3)

        return ours, theirs, nodes

    if op == "board":
        if fen == chess.STARTING_FEN:
            raise SystemExit("python-chess would skip parsing for its own start FEN string")
        new_ours, new_theirs = quarn_chess.Board, chess.Board

        def ours(n):
            for _ in rep(None, n):
                new_ours(fen)

        def theirs(n):
            for _ in rep(None, n):
                new_theirs(fen)

        return ours, theirs, 1

    if op == "fen":
        f_ours, f_theirs = board.fen, pc_board.fen

        def ours(n):
            for _ in rep(None, n):
                f_ours()

        def theirs(n):
            for _ in rep(None, n):
                f_theirs()

        return ours, theirs, 1

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
        c_ours, c_theirs = board.copy, pc_board.copy

        def ours(n):
            for _ in rep(None, n):
                c_ours()

        def theirs(n):
            for _ in rep(None, n):
                c_theirs()  # stack=True, the default

        return ours, theirs, 1

    if op in ("planes", "planes_format"):
        export = python_chess_planes if op == "planes" else python_chess_planes_format
        if export(pc_board) != board.bitboard():
            raise SystemExit(f"plane export differs between the libraries for {fen}")
        planes = board.bitboard

        def ours(n):
            for _ in rep(None, n):
                planes()

        def theirs(n):
            b, f = pc_board, export
            for _ in rep(None, n):
                f(b)

        return ours, theirs, 1

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


def build_report(results: dict, native: dict, construction_ms: float, floors: dict, args) -> str:
    names = [name for name, _ in POSITIONS]
    lines = []
    lines.append("# quarn_chess against python-chess")
    lines.append("")
    lines.append(
        f"- Machine: {cpu_model()}, {os.cpu_count()} cores; "
        f"{platform.system()} {platform.release()}"
    )
    lines.append(
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"python-chess {chess.__version__}"
    )
    lines.append(f"- Date: {datetime.date.today().isoformat()}")
    if hasattr(os, "getloadavg"):
        load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
        lines.append(
            f"- Load average when the run ended: {load} (the figures are wall-clock times)"
        )
    lines.append(
        f"- Method: per call, best of {args.repeats} repeats of at least "
        f"{args.min_time * 1e3:.0f} ms each, the libraries measured alternately; reproduce with "
        "`make bench`."
    )
    lines.append("")
    lines.append("Ratio = python-chess time / quarn_chess time (higher is better for quarn_chess).")
    lines.append("")
    header = "| operation | target | " + " | ".join(names) + " | holds |"
    lines.append(header)
    lines.append("|" + "---|" * (len(names) + 3))
    for op, label, target in OPERATIONS:
        ratios = [results[op][name][1] / results[op][name][0] for name in names]
        cells = [f"{r:.1f}×" for r in ratios]
        if target is None:
            lines.append(f"| {label} | – | " + " | ".join(cells) + " | – |")
            continue
        holds = all(r >= target for r in ratios)
        lines.append(f"| {label} | ≥ {target:g}× | " + " | ".join(cells) + f" | {mark(holds)} |")
    lines.append("")
    lines.append("Time per call (quarn_chess / python-chess):")
    lines.append("")
    lines.append("| operation | " + " | ".join(names) + " |")
    lines.append("|" + "---|" * (len(names) + 1))
    for op, label, _ in OPERATIONS:
        cells = [
            f"{format_time(results[op][name][0])} / {format_time(results[op][name][1])}"
            for name in names
        ]
        unit = " (per node)" if op == "perft" else " (per move)" if op == "push_pop" else ""
        lines.append(f"| {label}{unit} | " + " | ".join(cells) + " |")
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
    bounds = [results["planes"][name][1] / floors[name] for name in names]
    lines.append(
        "- planes, the floor: copying a finished export with `list(map(list.copy, planes))` (13 "
        "list allocations and 768 reference copies, nothing else), measured alongside, takes "
        + " / ".join(format_time(floors[name]) for name in names)
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
    names = [name for name, _ in POSITIONS]
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
        lines.append("| call | target | " + " | ".join(names) + " | holds |")
        lines.append("|" + "---|" * (len(names) + 3))
        for op, label in PEER_OPERATIONS:
            ratios = [min(peer_results[op][name][1:]) / peer_results[op][name][0] for name in names]
            cells = [f"{r:.2f}×" for r in ratios]
            holds = all(r >= PEER_TARGET for r in ratios)
            lines.append(
                f"| {label} | ≥ {PEER_TARGET:g}× | " + " | ".join(cells) + f" | {mark(holds)} |"
            )
        lines.append("")
        lines.append("| call | " + " | ".join(names) + " |")
        lines.append("|" + "---|" * (len(names) + 1))
        for op, label in PEER_OPERATIONS:
            cells = [" / ".join(format_time(t) for t in peer_results[op][name]) for name in names]
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
    parser.add_argument("--repeats", type=int, default=7, help="measurements per library")
    parser.add_argument("--min-time", type=float, default=0.02,
                        help="seconds each measurement runs at least")
    parser.add_argument("--output", type=Path,
                        default=Path(__file__).resolve().parent / "RESULTS.md")
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    parser.add_argument("--only", default="", help="comma-separated operation keys to run")
    parser.add_argument("--native-runs", type=int, default=3,
                        help="runs of the native benchmark; the best one is reported")
    args = parser.parse_args()

    selected = [op for op, _, _ in OPERATIONS if not args.only or op in args.only.split(",")]
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
            print(f"{op:9} {name:9} quarn_chess {format_time(t_ours):>10}   "
                  f"python-chess {format_time(t_theirs):>10}   ratio {t_theirs / t_ours:6.1f}×",
                  file=sys.stderr, flush=True)

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
    print(report)
    if not args.no_write:
        args.output.write_text(report, encoding="utf-8")
        print(f"written to {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
