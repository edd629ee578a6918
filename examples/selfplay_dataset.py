"""Play seeded random games and save every position as board planes in a NumPy .npz file.

    python examples/selfplay_dataset.py --games 1000 --out selfplay.npz

The file holds, for N positions (every position of every game, the start and the last included):

    planes          bool (N, 12, 64)  quarn_data.planes_batch: planes[i, p, s] is True when piece p
                                      (P N B R Q K p n b r q k) stands on square s (a1 = 0, h8 = 63),
                                      the layout of Board.bitboard()
    white_to_move   bool (N,)         True when white is to move
    fen             str  (N,)         the position as FEN
    game            int32 (N,)        the number of the game it comes from, from 0

A game ends when quarn_data.outcome says so (checkmate, stalemate, insufficient material), or
after --max-plies moves. The same --seed gives the same file. Load it with numpy.load(path) (no
pickling needed).
"""

from __future__ import annotations

import argparse
import importlib
import random
import sys
import time
from typing import Protocol

try:
    import numpy as np
except ModuleNotFoundError:
    sys.exit("selfplay_dataset.py needs NumPy, which is not installed: pip install numpy")

import quarn_data
from quarn_chess import Board, MoveGenerator


class Progress(Protocol):
    """What the game loop needs of a progress bar (tqdm has it)."""

    def update(self, n: int = 1) -> object: ...
    def close(self) -> object: ...


class TextProgress:
    """A minimal progress bar on stderr, redrawn in place when the shown percentage changes."""

    WIDTH = 30

    def __init__(self, total: int, unit: str) -> None:
        self.total = max(total, 1)
        self.unit = unit
        self.done = 0
        self.shown = -1
        self.started = time.perf_counter()
        self.update(0)

    def update(self, n: int = 1) -> None:
        self.done += n
        percent = 100 * self.done // self.total
        if percent == self.shown:
            return
        self.shown = percent
        filled = self.WIDTH * self.done // self.total
        elapsed = time.perf_counter() - self.started
        bar = "#" * filled + "." * (self.WIDTH - filled)
        sys.stderr.write(
            f"\r[{bar}] {percent:3d}% {self.done}/{self.total} {self.unit}s {elapsed:6.1f} s"
        )
        sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()


def progress_bar(total: int, unit: str) -> Progress:
    """tqdm when it is installed, else TextProgress."""
    try:
        # Imported by name so that type checking does not depend on tqdm or its stubs.
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return TextProgress(total, unit)
    bar: Progress = tqdm(total=total, unit=unit, file=sys.stderr)
    return bar


def play_game(
    generator: MoveGenerator, rng: random.Random, max_plies: int
) -> tuple[np.ndarray, list[bool], list[str]]:
    """One random game from the start position: the planes of every position (one
    planes_batch call over a copy of each position), side to move and FEN of each."""
    board = Board()
    positions, white_to_move, fens = [], [], []
    for ply in range(max_plies + 1):
        positions.append(board.copy())
        white_to_move.append(board.turn() == "white")
        fens.append(board.fen())
        if ply == max_plies or quarn_data.outcome(board) is not None:
            break
        board.push(rng.choice(generator(board)))
    return quarn_data.planes_batch(positions), white_to_move, fens


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--games", type=int, default=100, help="number of games (default 100)")
    parser.add_argument("--max-plies", type=int, default=200, help="longest game (default 200)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the move choices (default 0)")
    parser.add_argument("--out", default="selfplay.npz", help="file to write (.npz)")
    args = parser.parse_args(argv)
    if args.games < 0 or args.max_plies < 0:
        parser.error("--games and --max-plies must not be negative")

    rng = random.Random(args.seed)
    generator = MoveGenerator()
    planes: list[np.ndarray] = []
    white_to_move: list[bool] = []
    fens: list[str] = []
    games: list[int] = []
    started = time.perf_counter()
    bar = progress_bar(args.games, "game")
    for game in range(args.games):
        game_planes, game_turns, game_fens = play_game(generator, rng, args.max_plies)
        planes.append(game_planes)
        white_to_move.extend(game_turns)
        fens.extend(game_fens)
        games.extend([game] * len(game_fens))
        bar.update(1)
    bar.close()
    elapsed = time.perf_counter() - started

    count = len(fens)
    out = args.out if args.out.endswith(".npz") else args.out + ".npz"  # as numpy names it
    np.savez_compressed(
        out,
        planes=np.concatenate(planes) if planes else np.zeros((0, 12, 64), dtype=np.bool_),
        white_to_move=np.array(white_to_move, dtype=np.bool_),
        fen=np.array(fens, dtype=np.str_),
        game=np.array(games, dtype=np.int32),
    )
    rate = count / max(elapsed, 1e-9)
    print(f"{count:,} positions from {args.games:,} games in {elapsed:.2f} s: ", end="")
    print(f"{rate:,.0f} positions/s")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
