"""Play chess in the terminal against a program that picks a random legal move.

    python examples/play.py                    # you play white
    python examples/play.py --color black --seed 7

Type moves in coordinate form: from-square then to-square, with a promotion letter when a pawn
reaches the last rank ("e2e4", "g1f3", "e7e8q"). "moves" lists the legal moves, "quit" ends.
"""

from __future__ import annotations

import argparse
import random
import re
import sys

from quarn_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
FILES = "abcdefgh"
# Plane order of Board.bitboard(): P N B R Q K for white, then p n b r q k for black.
SYMBOLS = "♙♘♗♖♕♔♟♞♝♜♛♚"
EMPTY = "·"
MOVE_TEXT = re.compile(r"[a-h][1-8][a-h][1-8][nbrq]?")


def square_name(square: int) -> str:
    return FILES[square % 8] + str(square // 8 + 1)


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


def in_check(board: Board, generator: MoveGenerator) -> bool:
    """Whether the side to move has its king attacked.

    The library has no attack query of its own, so the question is put to the move generator.
    In a copy of the position the other side is given the move (castling and en-passant rights
    dropped: neither ever attacks a square) and its king is replaced by one of our knights. A
    side without a king cannot leave its king in check, so every one of its pseudo-legal moves
    is listed, including those of pieces that would otherwise be pinned and still give check;
    the knight keeps the removed king's square occupied, so no line opens through it. Our king
    is attacked exactly when one of those moves lands on its square. A king next to ours is
    tested apart, since it was taken off the board.
    """
    placement, side = board.fen().split()[:2]
    squares = expand(placement)
    king, other_king, knight = ("K", "k", "N") if side == "w" else ("k", "K", "n")
    if king not in squares:
        return False
    ours = squares.index(king)
    if other_king in squares:
        theirs = squares.index(other_king)
        if max(abs(ours % 8 - theirs % 8), abs(ours // 8 - theirs // 8)) == 1:
            return True
        squares[theirs] = knight
    probe = Board(f"{compress(squares)} {'b' if side == 'w' else 'w'} - -")
    target = square_name(ours)
    return any(move[2:4] == target for move in generator(probe))


def expand(placement: str) -> list[str]:
    """The 64 squares of a FEN placement, a1 first; " " for an empty square."""
    squares = [" "] * 64
    for rank_index, rank in enumerate(placement.split("/")):
        file = 0
        for char in rank:
            if char.isdigit():
                file += int(char)
            else:
                squares[(7 - rank_index) * 8 + file] = char
                file += 1
    return squares


def compress(squares: list[str]) -> str:
    """The FEN placement of 64 squares, a1 first."""
    ranks = []
    for rank in range(7, -1, -1):
        text, gap = "", 0
        for char in squares[rank * 8 : rank * 8 + 8]:
            if char == " ":
                gap += 1
                continue
            text += (str(gap) if gap else "") + char
            gap = 0
        ranks.append(text + (str(gap) if gap else ""))
    return "/".join(ranks)


def game_over(board: Board, generator: MoveGenerator, legal: list[str]) -> str | None:
    """The result to announce, or None while the game goes on. Repetitions and the fifty-move
    rule are not tracked (the library keeps no move counters); bare kings are a draw."""
    if not legal:
        if not in_check(board, generator):
            return "stalemate: draw"
        winner = "black" if board.turn() == "white" else "white"
        return f"checkmate: {winner} wins"
    if sum(square for plane in board.bitboard() for square in plane) == 2:
        return "only the kings are left: draw"
    return None


def read_move(board: Board, legal: list[str]) -> str | None:
    """The human's next legal move from stdin, or None for "quit" or the end of input."""
    while True:
        try:
            text = input(f"your move ({board.turn()}): ").strip().lower()
        except EOFError:
            print()
            return None
        if not sys.stdin.isatty():
            print(text)  # piped input: show what was read, so the transcript reads like a session
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
        elif not MOVE_TEXT.fullmatch(text):
            print(f"'{text}' is not a move: write from-square and to-square, e.g. e2e4")
        else:
            print(f"illegal move: {text} (type 'moves' to list the legal ones)")


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
        result = game_over(board, generator, legal)
        if yours or result is not None:
            print()
            print(draw(board))
        if result is not None:
            print(result)
            return 0
        if yours:
            if in_check(board, generator):
                print("check!")
            move = read_move(board, legal)
            if move is None:
                print("bye")
                return 0
        else:
            move = rng.choice(legal)
            print(f"computer plays {move}")
        board.push(move)


if __name__ == "__main__":
    raise SystemExit(main())
