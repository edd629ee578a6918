"""Play chess in the terminal against a program that picks a random legal move.

    python examples/play.py                    # you play white
    python examples/play.py --color black --seed 7

Type moves in coordinate form, from-square then to-square with a promotion letter when a pawn
reaches the last rank ("e2e4", "g1f3", "e7e8q"), or in SAN ("e4", "Nf3", "O-O", "e8=Q").
"moves" lists the legal moves, "quit" ends. Needs quarn_data: pip install 'quarn-chess[data]'.
"""

from __future__ import annotations

import argparse
import random
import re
import sys

import quarn_data
from quarn_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
# Plane order of Board.bitboard(): P N B R Q K for white, then p n b r q k for black.
SYMBOLS = "♙♘♗♖♕♔♟♞♝♜♛♚"
EMPTY = "·"
MOVE_TEXT = re.compile(r"[a-h][1-8][a-h][1-8][nbrq]?")


def draw(board: Board) -> str:
    """The board as text, rank 8 at the top, with file letters and rank numbers around it."""
    pieces = [EMPTY] * 64
    for plane, squares in enumerate(board.bitboard()):
        for square, occupied in enumerate(squares):
            if occupied:
                pieces[square] = SYMBOLS[plane]
    lines = ["  a b c d e f g h"]
    for rank in range(7, -1, -1):
        row = " ".join(pieces[rank * 8 : rank * 8 + 8])
        lines.append(f"{rank + 1} {row} {rank + 1}")
    lines.append("  a b c d e f g h")
    return "\n".join(lines)


def game_over(board: Board) -> str | None:
    """The result to announce, or None while the game goes on: checkmate, stalemate or
    insufficient material, as quarn_data.outcome tells them. Repetitions and the fifty-move rule
    are not tracked (a board keeps no move counters)."""
    result = quarn_data.outcome(board)
    if result is None:
        return None
    if result.termination == "CHECKMATE":
        return f"checkmate: {result.winner} wins"
    if result.termination == "STALEMATE":
        return "stalemate: draw"
    return "insufficient material: draw"


def read_move(board: Board, legal: list[str]) -> str | None:
    """The human's next legal move from stdin (coordinates or SAN), or None for "quit" or the end
    of input."""
    while True:
        try:
            typed = input(f"your move ({board.turn()}): ").strip()
        except EOFError:
            print()
            return None
        if not sys.stdin.isatty():
            print(typed)  # piped input: show what was read, so the transcript reads like a session
        text = typed.lower()
        if not text:
            continue
        if text in ("quit", "exit", "q"):
            return None
        if text == "moves":
            print("legal moves: " + " ".join(sorted(legal)))
            continue
        if text in legal:
            return text
        promotions = [move for move in legal if move[:4] == text and len(move) == 5]
        if promotions:
            print(f"{text} promotes a pawn: add the piece letter, e.g. {text}q")
        elif MOVE_TEXT.fullmatch(text):
            print(f"illegal move: {text} (type 'moves' to list the legal ones)")
        else:
            try:
                return quarn_data.parse_san(board, typed)
            except ValueError as error:
                if str(error).startswith("invalid san"):
                    print(f"'{typed}' is not a move: write e.g. e2e4 or Nf3")
                else:
                    print(f"{str(error).split(' in ')[0]} (type 'moves' to list the legal ones)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--color", choices=["white", "black"], default="white", help="your side")
    parser.add_argument("--seed", type=int, default=None, help="seed of the random mover")
    parser.add_argument("--fen", default=START, help="position to start from")
    args = parser.parse_args(argv)

    rng = random.Random(args.seed)
    generator = MoveGenerator()
    try:
        board = Board(args.fen)
    except ValueError as error:
        parser.error(str(error))
    print(f"you play {args.color}; type a move such as e2e4, 'moves' or 'quit'")
    while True:
        legal = generator(board)
        yours = board.turn() == args.color
        result = game_over(board)
        if yours or result is not None:
            print()
            print(draw(board))
        if result is not None:
            print(result)
            return 0
        if yours:
            if quarn_data.is_check(board):
                print("check!")
            move = read_move(board, legal)
            if move is None:
                print("bye")
                return 0
        else:
            move = rng.choice(legal)
            print(f"computer plays {move} ({quarn_data.san(board, move)})")
        board.push(move)


if __name__ == "__main__":
    raise SystemExit(main())
