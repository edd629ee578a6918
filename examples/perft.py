"""Count the positions reachable from a FEN to a given depth, through the Python API.

    python examples/perft.py                       # start position, depths 1..6 (a few seconds)
    python examples/perft.py --depth 5 --divide    # per-move split at the root
    python examples/perft.py --fen "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"

The last ply is counted, not played ("bulk counting"): the number of legal moves of a
position is the number of its children.
"""

from __future__ import annotations

import argparse
import time

from quarn_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"


def perft(generator: MoveGenerator, board: Board, depth: int) -> int:
    """Number of leaf positions `depth` plies below `board`."""
    moves = generator(board)
    if depth <= 1:
        return len(moves) if depth == 1 else 1
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft(generator, board, depth - 1)
        board.pop()
    return nodes


def divide(generator: MoveGenerator, board: Board, depth: int) -> dict[str, int]:
    """Leaf counts below each legal move of the root, in generation order."""
    split = {}
    for move in generator(board):
        board.push(move)
        split[move] = perft(generator, board, depth - 1)
        board.pop()
    return split


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--fen", default=START, help="position to start from")
    parser.add_argument("--depth", type=int, default=6, help="deepest depth to count (default 6)")
    parser.add_argument("--divide", action="store_true", help="print the split at the root")
    args = parser.parse_args(argv)

    board = Board(args.fen)
    generator = MoveGenerator()
    print(f"position: {board.fen()}")
    if args.divide:
        started = time.perf_counter()
        split = divide(generator, board, args.depth)
        elapsed = time.perf_counter() - started
        for move, count in split.items():
            print(f"{move}: {count}")
        total = sum(split.values())
        print(f"moves {len(split)}  nodes {total:,}  {total / max(elapsed, 1e-9) / 1e6:.2f} M nodes/s")
        return 0

    print(f"{'depth':>5} {'nodes':>14} {'seconds':>9} {'M nodes/s':>10}")
    for depth in range(1, args.depth + 1):
        started = time.perf_counter()
        nodes = perft(generator, board, depth)
        elapsed = time.perf_counter() - started
        rate = nodes / max(elapsed, 1e-9) / 1e6
        print(f"{depth:>5} {nodes:>14,} {elapsed:>9.3f} {rate:>10.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
