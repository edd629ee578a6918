#!/usr/bin/env python3
"""Writes PGN shaped like a Lichess database export: its seventeen tags, and an evaluation and a
clock comment after every move ("1. e4 { [%eval 0.17] [%clk 0:03:00] } 1... e5 { ... }").

    python bench/lichess_like.py OUT.pgn [--games N] [--seed S]

The moves are random legal moves (python-chess plays them), so the file tests the reader's
handling of the format, not an opening book. Used for the Lichess-style figures of
bench/PGN_RESULTS.md; the file is generated, never committed.
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

import chess

TERMINATIONS = ["Normal", "Time forfeit"]


def game_text(index: int, rng: random.Random) -> str:
    board = chess.Board()
    base = rng.choice([60, 180, 300, 600])
    increment = rng.choice([0, 0, 2, 5])
    white, black = rng.randint(800, 2800), rng.randint(800, 2800)
    tokens = []
    clocks = [float(base), float(base)]
    for ply in range(rng.randint(20, 160)):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        san = board.san(move)
        side = ply % 2
        clocks[side] = max(0.0, clocks[side] - rng.uniform(0, 6) + increment)
        clock = int(clocks[side])
        comment = (f"{{ [%eval {rng.uniform(-4, 4):.2f}] "
                   f"[%clk {clock // 3600}:{clock // 60 % 60:02d}:{clock % 60:02d}] }}")
        number = f"{ply // 2 + 1}." if side == 0 else f"{ply // 2 + 1}..."
        tokens.append(f"{number} {san} {comment}")
        board.push(move)
    outcome = board.outcome()
    result = outcome.result() if outcome else rng.choice(["1-0", "0-1", "1/2-1/2"])
    headers = [
        ("Event", "Rated Blitz game"), ("Site", f"https://lichess.org/{index:08x}"),
        ("Date", "2024.01.01"), ("Round", "-"), ("White", f"player{rng.randint(1, 99999)}"),
        ("Black", f"player{rng.randint(1, 99999)}"), ("Result", result),
        ("UTCDate", "2024.01.01"), ("UTCTime", f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00"),
        ("WhiteElo", str(white)), ("BlackElo", str(black)),
        ("WhiteRatingDiff", f"{rng.randint(-9, 9):+d}"), ("BlackRatingDiff", f"{rng.randint(-9, 9):+d}"),
        ("ECO", "A00"), ("Opening", "Random Opening"), ("TimeControl", f"{base}+{increment}"),
        ("Termination", rng.choice(TERMINATIONS)),
    ]
    tags = "".join(f'[{name} "{value}"]\n' for name, value in headers)
    return f"{tags}\n{' '.join(tokens)} {result}\n\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    with open(args.out, "w", encoding="utf-8") as out:
        for index in range(args.games):
            out.write(game_text(index, rng))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
