#!/usr/bin/env python3
"""quarn_data against python-chess and the native-code peers, on the six standard perft positions.

    python bench/run_data_bench.py [--repeats N] [--min-time SECONDS] [--output PATH] [--no-write]

Timing as in run_bench.py, through benchlib.py (best of several repeats, the contenders measured
alternately). The tables are printed and written to bench/DATA_RESULTS.md. Peers that are not
installed (nchess, fastchess, bulletchess; bulletchess needs Python 3.13) are skipped and named as
such.

What each side runs:
- is_check, outcome: python-chess's board.is_check() and board.outcome(claim_draw=False).
- SAN of every legal move: python-chess's board.san(m) for each legal move, against one
  quarn_data.legal_san(board) call and against quarn_data.san(board, uci) per move.
- parse_san: every legal move's SAN read back, per text.
- planes as NumPy: the faster of two python-chess -> NumPy routines (the twelve piece masks
  expanded with np.unpackbits, or looked up 16 bits at a time in a 65,536-row table), against
  quarn_data.planes(board).
- planes_batch: 1,024 boards (copies of the position) into one preallocated out array; python-chess
  runs the same fastest routine in a loop writing out[i]. Per position.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from itertools import repeat
from pathlib import Path

import chess
import numpy as np
from benchlib import (
    NAMES,
    POSITIONS,
    add_common_arguments,
    calls,
    calls_each,
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
import quarn_data as qd

BATCH = 1024
BATCH_RATE_TARGET = 1_000_000
PERFT_DEPTH = 5
PEER_RATIO = 1.2
# "Within call overhead" of nchess's is_check: at most this much slower per call.
CALL_OVERHEAD_NS = 20.0

OPERATIONS = [
    ("is_check", "`is_check`", 15.0),
    ("outcome", "`outcome`", 50.0),
    ("legal_san", "SAN of every legal move (`legal_san`, one call)", 50.0),
    ("san", "SAN of every legal move (`san` per move)", 50.0),
    ("parse_san", "`parse_san` (per move)", 50.0),
    ("legal_move_count", "`legal_move_count`", None),
    ("planes", "`planes(board)` as NumPy", 7.0),
    ("planes_batch", f"`planes_batch` of {BATCH:,} boards into `out` (per position)", 40.0),
]


# --- python-chess to NumPy -------------------------------------------------------------------------

PIECES = [(piece, colour) for colour in chess.COLORS[::-1] for piece in chess.PIECE_TYPES]
TABLE_16 = np.unpackbits(
    np.arange(1 << 16, dtype="<u2").view(np.uint8), bitorder="little"
).reshape(1 << 16, 16).view(np.bool_)


def masks_of(board: chess.Board) -> np.ndarray:
    black, white = board.occupied_co
    kinds = (board.pawns, board.knights, board.bishops, board.rooks, board.queens, board.kings)
    return np.array([k & c for c in (white, black) for k in kinds], dtype=np.uint64)


def planes_unpackbits(board: chess.Board) -> np.ndarray:
    bits = np.unpackbits(masks_of(board).view(np.uint8), bitorder="little")
    return bits.view(np.bool_).reshape(12, 64)


def planes_table(board: chess.Board) -> np.ndarray:
    return TABLE_16[masks_of(board).view("<u2")].reshape(12, 64)


def fastest_python_chess_planes(board: chess.Board, repeats: int, min_time: float):
    """The faster of the two routines on this board (both checked against the board first)."""
    routines = [planes_unpackbits, planes_table]
    expected = np.array(quarn_chess.Board(board.fen()[: board.fen().rindex(" ", 0,
                        board.fen().rindex(" "))]).bitboard())
    for routine in routines:
        if not np.array_equal(routine(board), expected):
            raise SystemExit(f"{routine.__name__} disagrees with the board")

    times = compare([calls(r, board) for r in routines], repeats, min_time)
    return routines[times.index(min(times))]


# --- the operations --------------------------------------------------------------------------------


def loops_for(op: str, fen: str, generator, args):
    board = quarn_chess.Board(fen)
    reference = chess.Board(fen)
    legal = list(reference.legal_moves)
    ucis = generator(board)
    sans = [reference.san(m) for m in legal]

    if op == "is_check":
        return calls(qd.is_check, board), calls(reference.is_check), 1
    if op == "outcome":
        g = reference.outcome

        def theirs(n):
            for _ in repeat(None, n):
                g(claim_draw=False)

        return calls(qd.outcome, board), theirs, 1
    if op in ("legal_san", "san"):
        if sorted(qd.legal_san(board)) != sorted(sans):
            raise SystemExit(f"SAN differs from python-chess for {fen}")
        ours = calls(qd.legal_san, board) if op == "legal_san" else calls_each(qd.san, ucis, board)
        return ours, calls_each(reference.san, legal), 1
    if op == "parse_san":
        if [qd.parse_san(board, s) for s in sans] != [m.uci() for m in legal]:
            raise SystemExit(f"parse_san differs from python-chess for {fen}")
        ours = calls_each(qd.parse_san, sans, board)
        return ours, calls_each(reference.parse_san, sans), len(sans)
    if op == "legal_move_count":
        return calls(qd.legal_move_count, board), calls(reference.legal_moves.count), 1
    if op == "planes":
        routine = fastest_python_chess_planes(reference, args.repeats, args.min_time)
        return calls(qd.planes, board), calls(routine, reference), 1
    if op == "planes_batch":
        routine = fastest_python_chess_planes(reference, args.repeats, args.min_time)
        boards = [board.copy() for _ in range(BATCH)]
        references = [reference.copy() for _ in range(BATCH)]
        out = np.empty((BATCH, 12, 64), dtype=np.bool_)
        f = qd.planes_batch

        def ours(n):
            for _ in repeat(None, n):
                f(boards, out=out)

        def theirs(n):
            for _ in repeat(None, n):
                for i, r in enumerate(references):
                    out[i] = routine(r)

        return ours, theirs, BATCH
    raise ValueError(op)


# --- peers -----------------------------------------------------------------------------------------


def load_peer(name: str):
    try:
        return importlib.import_module(name), None
    except Exception as error:  # noqa: BLE001 - any failure to import skips the peer
        reason = "needs Python 3.13" if name == "bulletchess" and sys.version_info < (3, 13) \
            else f"not importable ({type(error).__name__})"
        return None, reason


# The peer rows in the form of bench/results/data.json, filled by peer_rows.
PEER_JSON: list[dict] = []


def peer_rows(args, generator) -> list[str]:
    """Rows of the peer table: operation, position, ours, theirs, target, holds."""
    nchess, nchess_reason = load_peer("nchess")
    fastchess, fastchess_reason = load_peer("fastchess")
    bulletchess, bulletchess_reason = load_peer("bulletchess")
    rows = []

    def row(label, name, ours, theirs, target_text, holds):
        PEER_JSON.append(resultfile.row(
            f"{resultfile.label(label).split(' vs ')[0]} [{name}]", ours * 1e9, "ns",
            resultfile.label(label).split(" vs ")[1].split()[0], theirs * 1e9, theirs / ours,
            target_text))
        rows.append(f"| {label} | {name} | {format_time(ours)} | {format_time(theirs)} "
                    f"| {theirs / ours:.2f}× | {target_text} | {mark(holds)} |")

    for name, fen in POSITIONS:
        board = quarn_chess.Board(fen)
        full_fen = fen + " 0 1"
        if fastchess is not None:
            fb = fastchess.Board(full_fen)
            t_ours, t_theirs = compare(
                [calls(qd.planes, board), calls(fb.to_tensor)], args.repeats, args.min_time)
            row("`planes` vs fastchess `to_tensor()`", name, t_ours, t_theirs,
                f"≥ {PEER_RATIO}×", t_theirs / t_ours >= PEER_RATIO)
        if nchess is not None:
            nb = nchess.Board(full_fen)
            if bool(nb.is_check) != qd.is_check(board):
                raise SystemExit(f"nchess disagrees on check in {fen}")

            def nchess_check(n, nb=nb):
                for _ in repeat(None, n):
                    nb.is_check  # noqa: B018 - a property read is the call

            t_ours, t_theirs = compare(
                [calls(qd.is_check, board), nchess_check], args.repeats, args.min_time)
            row("`is_check` vs nchess `is_check`", name, t_ours, t_theirs,
                f"≤ +{CALL_OVERHEAD_NS:g} ns", t_ours - t_theirs <= CALL_OVERHEAD_NS * 1e-9)
        if bulletchess is not None:
            bb = bulletchess.Board.from_fen(full_fen)
            utils = importlib.import_module("bulletchess.utils")
            if utils.count_moves(bb) != qd.legal_move_count(board):
                raise SystemExit(f"bulletchess counts differently in {fen}")
            t_ours, t_theirs = compare(
                [calls(qd.legal_move_count, board), calls(utils.count_moves, bb)], args.repeats,
                args.min_time)
            row("`legal_move_count` vs bulletchess `count_moves()`", name, t_ours, t_theirs,
                f"≥ {PEER_RATIO}×", t_theirs / t_ours >= PEER_RATIO)
            moves = bb.legal_moves()
            # bulletchess writes promotions without "=" (dxc8Q); otherwise the texts agree.
            ours_san = sorted(text.replace("=", "") for text in qd.legal_san(board))
            if sorted(m.san(bb) for m in moves) != ours_san:
                raise SystemExit(f"bulletchess writes SAN differently in {fen}")

            def bullet_san(n):
                for _ in repeat(None, n):
                    [m.san(bb) for m in moves]

            t_ours, t_theirs = compare(
                [calls(qd.legal_san, board), bullet_san], args.repeats, args.min_time)
            row("SAN of every move vs bulletchess", name, t_ours, t_theirs,
                f"≥ {PEER_RATIO}×", t_theirs / t_ours >= PEER_RATIO)

    if nchess is not None:
        start = POSITIONS[0][1]

        def ours(n):
            for _ in repeat(None, n):
                qd.perft(quarn_chess.Board(start), PERFT_DEPTH)

        def theirs(n):
            for _ in repeat(None, n):
                nchess.Board(start + " 0 1").perft(PERFT_DEPTH, no_print=True)

        nodes = qd.perft(quarn_chess.Board(start), PERFT_DEPTH)
        t_ours, t_theirs = compare([ours, theirs], max(3, args.repeats // 2), args.min_time, nodes)
        PEER_JSON.append(resultfile.row(
            f"perft depth {PERFT_DEPTH} [start]", 1e-6 / t_ours, "M nodes/s", "nchess",
            1e-6 / t_theirs, t_theirs / t_ours, f"≥ {PEER_RATIO}×"))
        rows.append(f"| `perft` depth {PERFT_DEPTH} vs nchess `perft` | start "
                    f"| {1e-6 / t_ours:.0f} M nodes/s | {1e-6 / t_theirs:.0f} M nodes/s "
                    f"| {t_theirs / t_ours:.2f}× | ≥ {PEER_RATIO}× "
                    f"| {mark(t_theirs / t_ours >= PEER_RATIO)} |")
    skipped = [f"{name} ({reason})" for name, reason in
               (("nchess", nchess_reason), ("fastchess", fastchess_reason),
                ("bulletchess", bulletchess_reason)) if reason]
    if skipped:
        rows.append(f"| skipped: {', '.join(skipped)} | | | | | | |")
    return rows


# --- report ----------------------------------------------------------------------------------------


def build_report(results: dict, peers: list[str], args) -> str:
    lines = ["# quarn_data against python-chess and the native peers", ""]
    lines += environment_lines(f", python-chess {chess.__version__}, NumPy {np.__version__}",
                               "(wall-clock times)")
    lines.append(f"- Method: best of {args.repeats} repeats of at least {args.min_time * 1e3:.0f} ms, "
                 "contenders measured alternately; reproduce with `make bench`.")
    lines += ["", "Ratio = python-chess time / quarn_data time.", ""]
    lines += ratio_header() + ratio_rows(results, OPERATIONS)
    rates = [1 / results["planes_batch"][n][0] for n in NAMES]
    lines.append(f"| `planes_batch` positions per second | ≥ {BATCH_RATE_TARGET:,} | "
                 + " | ".join(f"{r / 1e6:.1f} M" for r in rates)
                 + f" | {mark(min(rates) >= BATCH_RATE_TARGET)} |")
    lines += ["", "Time per call (quarn_data / python-chess):", ""]
    lines += time_table(results, OPERATIONS)
    lines += ["", "Against the native-code peers (bench-only dependencies):", ""]
    lines.append("| operation | position | quarn_data | peer | ratio | target | holds |")
    lines.append("|---|---|---|---|---|---|---|")
    lines += peers
    lines += ["", "Notes:", ""]
    lines.append("- planes, python-chess side: the faster per position of `np.unpackbits` on the "
                 "twelve masks and a 65,536-row table indexed 16 bits at a time; both are checked "
                 "against the board first.")
    lines.append("- fastchess `to_tensor()` returns 18 × 8 × 8 float32 (pieces plus state "
                 "planes); nchess's `is_check` is a property read.")
    lines.append("- parse_san and the per-move SAN rows are per move; the other rows per call.")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_common_arguments(parser, Path(__file__).resolve().parent / "DATA_RESULTS.md")
    parser.add_argument("--peers-only", action="store_true",
                        help="print only the table against the native peers")
    args = parser.parse_args()
    if args.peers_only:
        print("\n".join(peer_rows(args, quarn_chess.MoveGenerator())))
        return 0

    generator = quarn_chess.MoveGenerator()
    selected = selected_operations(OPERATIONS, args.only)
    results: dict = {}
    for op in selected:
        results[op] = {}
        for name, fen in POSITIONS:
            ours, theirs, units = loops_for(op, fen, generator, args)
            t_ours, t_theirs = compare([ours, theirs], args.repeats, args.min_time, units)
            results[op][name] = (t_ours, t_theirs)
            progress(op, 16, name, "quarn_data", t_ours, t_theirs)
    if len(selected) != len(OPERATIONS):
        return 0
    peers = peer_rows(args, generator)
    report = build_report(results, peers, args)
    emit(report, args)
    if not args.no_write:
        rows = resultfile.position_rows(results, OPERATIONS, "python-chess") + PEER_JSON
        rows += [resultfile.row(f"planes_batch positions per second [{name}]",
                                1 / results["planes_batch"][name][0], "positions/s",
                                target=f"≥ {BATCH_RATE_TARGET:,}") for name in NAMES]
        print(f"written to {resultfile.write('data', rows)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
