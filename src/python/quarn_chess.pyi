"""Exact, fast chess rules: positions from FEN, coordinate moves, legal moves and board planes.

Errors: ``ValueError`` for bad input (FEN side-to-move or castling field, move text, a move that
cannot be applied), ``TypeError`` for wrong arguments, ``RuntimeError`` ("Already borrowed" /
"Already mutably borrowed") when an object is used by another call that still holds it, and
``PanicException`` when an internal check fails. ``PanicException`` derives from
``BaseException``, not ``Exception``, so ``except Exception`` does not catch it; it is not an
attribute of this module (catch ``BaseException`` and look at ``type(error).__name__``). The
object a failed call was made on stays usable.
"""

from typing import Literal, final

__all__ = ["Board", "MoveGenerator"]

@final
class Board:
    """A chess position and the history of the moves made on it; cannot be subclassed.

    FEN has four fields (placement, side to move, castling, en passant); move counters are
    ignored on input and never written.
    """

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -") -> Board:
        """Build the position written in ``fen`` (default: the start position).

        Raises ValueError ("Invalid fen: Invalid side-to-move" / "Invalid fen: Invalid castling
        specifier"), PanicException for a missing field or a placement character that is no
        piece letter, digit or "/", TypeError for a non-str.
        """

    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """The planes of ``bitboard()`` for the placement field of ``fen`` (other fields unread).

        Raises PanicException for a placement character that is no piece letter, digit or "/"
        and for an empty text; TypeError for a non-str.
        """

    def fen(self) -> str:
        """The position as four-field FEN (no move counters), e.g. "8/8/8/8/8/8/8/K6k w - -"."""

    def push(self, chess_move: str) -> None:
        """Play a coordinate move such as "e2e4" or "e7e8q"; legality is not checked.

        Raises ValueError ("Invalid chess move: ...") for a wrong length, an unknown promotion
        letter, a pawn reaching the last rank without one, or a move that cannot be applied;
        PanicException for a malformed square or an empty from-square; TypeError for a non-str.
        The board is unchanged after every error.
        """

    def pop(self) -> None:
        """Take back the newest move; raises PanicException (board unchanged) when there is none."""

    def bitboard(self) -> list[list[bool]]:
        """The position as 12 planes of 64 bools: ``planes[p][s]`` is True when piece p is on s.

        p: 0 P, 1 N, 2 B, 3 R, 4 Q, 5 K (white), 6 p, 7 n, 8 b, 9 r, 10 q, 11 k (black).
        s = rank * 8 + file: a1 = 0, b1 = 1, ..., h1 = 7, a2 = 8, ..., h8 = 63, whatever side is
        to move (nothing is flipped). Side to move, castling and en passant are not included.
        """

    def turn(self) -> Literal["white", "black"]:
        """The side to move: "white" or "black"."""

    def reflect(self) -> None:
        """Colour-mirror the position in place (ranks, colours, side, rights); clears history."""

    def copy(self) -> Board:
        """An independent copy of the board, history included."""

@final
class MoveGenerator:
    """Lists legal moves; builds its attack tables (4 MiB) once, when made; cannot be subclassed."""

    def __new__(cls) -> MoveGenerator:
        """A generator with its attack tables built."""

    def __call__(self, board: Board) -> list[str]:
        """The legal moves of the side to move as coordinate texts, in generation order.

        The result is exactly that of making each candidate and keeping those that do not leave
        the mover's king attacked; ``board`` is unchanged when the call returns (also after an
        error). Raises TypeError for a non-Board, RuntimeError when
        ``board`` is in use by another call, PanicException for a position the generator cannot
        handle (e.g. two pieces on one square).
        """
