"""Arbitrary text and argument shapes thrown at every entry point.

Every call either succeeds or raises exactly one of ValueError, TypeError, RuntimeError,
UnicodeEncodeError or the internal-fault exception, and a failing call leaves the board as it
was: same FEN, every earlier move can still be taken back, no borrow left behind.
"""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from differential import PERFT_FENS, panic_exception_type

from quarn_chess import Board, MoveGenerator

PANIC = panic_exception_type()
ALLOWED = {ValueError, TypeError, RuntimeError, UnicodeEncodeError, PANIC}
GENERATOR = MoveGenerator()

FEN_ERRORS = {"Invalid fen: Invalid side-to-move", "Invalid fen: Invalid castling specifier"}
MOVE_ERROR_PREFIXES = (
    "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ",
    "Invalid chess move: Unsupported promotion type for ",
    "Invalid chess move: Missing promotion type for ",
    "Invalid chess move: En passant victim off the board for ",
)


def fuzz(max_examples):
    return settings(
        max_examples=max_examples,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# --- strategies ---------------------------------------------------------------------------------

WHITESPACE = st.sampled_from([" ", "  ", "\t", "\n", "\r\n", "\u00a0", "\u2003", "\u3000", "\x0b"])

# Any text, surrogates and control characters included, sometimes very long.
any_text = st.one_of(
    st.text(),
    st.text(st.characters(categories=["Cs", "Zs", "Zl", "Zp", "Cc", "Nd", "Ll", "Lu", "Po", "So"])),
    st.builds(lambda piece, times: piece * times, st.text(min_size=1, max_size=8),
              st.integers(200, 20_000)),
)


@st.composite
def placements(draw, valid=False):
    """A placement field: mostly a random set of pieces on the 64 squares (kings usually
    present, pawns anywhere), sometimes free text."""
    if draw(st.integers(0, 4)) == 0:
        return draw(st.text("PNBRQKpnbrqk0123456789/" + ("" if valid else "x"), min_size=valid,
                            max_size=90))
    # Squares come from a seeded generator: far cheaper to draw than 64 separate choices.
    rng = random.Random(draw(st.integers(0, 2**32)))
    squares = ["."] * 64
    for _ in range(draw(st.integers(0, 32))):
        squares[rng.randrange(64)] = rng.choice("PNBRQpnbrq")
    for king in "Kk":
        if rng.randrange(10):
            squares[rng.randrange(64)] = king
    ranks = []
    for rank in range(7, -1, -1):
        text, run = "", 0
        for square in squares[rank * 8 : rank * 8 + 8]:
            if square == ".":
                run += 1
                continue
            text += (str(run) if run else "") + square
            run = 0
        ranks.append(text + (str(run) if run else ""))
    return "/".join(ranks)


@st.composite
def fen_texts(draw):
    """FEN-like text: a placement and the later fields, each sometimes wrong or missing."""
    if draw(st.integers(0, 5)) == 0:
        return draw(st.sampled_from(PERFT_FENS))
    fields = [
        draw(placements()),
        draw(st.sampled_from(["w", "b", "w", "b", "W", "x", "white"])),
        draw(st.one_of(st.sampled_from(["KQkq", "-", "Kq", "k"]), st.text("KQkq-X", max_size=6))),
        draw(st.one_of(st.sampled_from(["-", "e3", "d6", "a3", "h6"]),
                       st.text(min_size=1, max_size=3))),
        draw(st.sampled_from(["0", "12", "x"])),
        draw(st.sampled_from(["1", "40", "?"])),
    ]
    kept = fields[: draw(st.sampled_from([0, 1, 2, 3, 4, 4, 4, 4, 4, 6]))]
    text = draw(WHITESPACE).join(kept) if kept else ""
    return draw(st.sampled_from(["", " ", "\t"])) + text + draw(st.sampled_from(["", " ", "\n"]))


@st.composite
def playable_fens(draw):
    """FEN text that builds a board: any placement (kings may be missing or doubled, pawns may
    stand on the first or last rank), and valid side, castling and en-passant fields."""
    if draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from(PERFT_FENS))
    castling = draw(st.text("KQkq", max_size=4)) or "-"
    en_passant = draw(st.sampled_from(["-", "-", "a3", "c6", "e3", "h6", "d3", "f6", "1", "z"]))
    side = draw(st.sampled_from("wb"))
    return " ".join([draw(placements(valid=True)), side, castling, en_passant])


FILES, RANKS = "abcdefgh", "12345678"
# Move texts drawn from square pairs, with or without a promotion letter in either case, and
# sometimes padded or broken.
square = st.builds(lambda f, r: f + r, st.sampled_from(FILES), st.sampled_from(RANKS))
move_texts = st.one_of(
    st.builds(lambda a, b, p: a + b + p, square, square,
              st.sampled_from(["", "", "q", "N", "r", "b"])),
    st.builds(lambda pad, a, b: pad + a + b + pad, WHITESPACE, square, square),
    st.text("abcdefghxAE0123456789nbrqkNBRQ ", max_size=7),
)

# Values of every shape an argument can take.
odd_values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.binary(max_size=8),
    st.text(max_size=8), any_text, move_texts, fen_texts(),
    st.builds(bytearray, st.binary(max_size=8)), st.lists(st.integers(), max_size=3),
    st.just(Board), st.just(GENERATOR), st.builds(Board), st.just(object()),
    st.builds(lambda text: type("TextLike", (str,), {})(text), move_texts),
)
keywords = st.dictionaries(
    st.one_of(st.sampled_from(["fen", "chess_move", "board", "move", "self", ""]),
              st.text(max_size=5)),
    odd_values, max_size=2,
)


# --- helpers ------------------------------------------------------------------------------------

def outcome(call, /, *args, **kwargs):
    """(result, None) or (None, exception); anything outside the allowed types fails the test."""
    try:
        return call(*args, **kwargs), None
    except BaseException as error:  # noqa: B036 - the internal fault is a BaseException
        assert type(error) in ALLOWED, f"{type(error).__name__}: {error}"
        return None, error


def has_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def has_overlap(board):
    return any(sum(square) > 1 for square in zip(*board.bitboard()))


class Tracked:
    """A board and what it must look like: its first FEN and the moves that can be popped."""

    def __init__(self, fen):
        self.board = Board(fen)
        self.first_fen = self.board.fen()
        self.pushed = 0

    def call(self, method, /, *args, **kwargs):
        """Calls a method; on failure, checks that the board kept its FEN."""
        before = self.board.fen()
        result, error = outcome(method, *args, **kwargs)
        if error is not None:
            assert self.board.fen() == before, f"{type(error).__name__} changed the board"
        return result, error

    def push(self, text):
        _, error = self.call(self.board.push, text)
        if error is None:
            self.pushed += 1
        elif isinstance(text, str):
            # Text gets a ValueError or an internal fault; only unencodable text fails earlier.
            if has_surrogate(text):
                assert type(error) is UnicodeEncodeError
            else:
                assert type(error) in (ValueError, PANIC)
                if type(error) is ValueError:
                    assert str(error).startswith(MOVE_ERROR_PREFIXES), str(error)
        return error

    def list_moves(self):
        """Moves of the current position; the call must leave the board as it was."""
        before = self.board.fen()
        moves, error = outcome(GENERATOR, self.board)
        assert self.board.fen() == before
        if error is None:
            assert all(type(move) is str for move in moves)
            # The same text can come twice only from two pieces pushed onto one square, or from
            # an en-passant file whose target square is occupied (an en-passant capture besides
            # the ordinary one).
            if not has_overlap(self.board) and before.endswith(" -"):
                assert len(set(moves)) == len(moves)
        else:
            assert type(error) is PANIC
        return moves

    def unwind(self):
        """Pops every move; the board must be back at its first FEN and usable."""
        for _ in range(self.pushed):
            self.board.pop()
        assert self.board.fen() == self.first_fen
        with pytest.raises(PANIC):
            self.board.pop()
        self.pushed = 0


def check_reflection(board):
    """reflect() swaps the colours and mirrors the ranks of every plane, drops the history, and
    a second reflect() gives the position back."""
    fen, planes = board.fen(), board.bitboard()
    board.reflect()
    mirrored = [[planes[(plane + 6) % 12][square ^ 56] for square in range(64)]
                for plane in range(12)]
    assert board.bitboard() == mirrored
    with pytest.raises(PANIC):
        board.pop()
    board.reflect()
    assert board.fen() == fen and board.bitboard() == planes


# --- tests --------------------------------------------------------------------------------------

def check_board_text(text):
    built, error = outcome(Board, text)
    by_keyword, keyword_error = outcome(Board, fen=text)
    assert type(keyword_error) is type(error)
    assert str(keyword_error) == str(error)
    planes, planes_error = outcome(Board.bitboard_from_fen, text)

    if has_surrogate(text):
        assert type(error) is UnicodeEncodeError and type(planes_error) is UnicodeEncodeError
        return
    assert error is None or type(error) in (ValueError, PANIC)
    if type(error) is ValueError:
        assert str(error) in FEN_ERRORS
    if planes_error is not None:
        # The placement is read first: a placement that fails fails the board too.
        assert type(planes_error) is PANIC and type(error) is PANIC
    if error is None:
        fen = built.fen()
        assert by_keyword.fen() == fen
        assert Board(fen).fen() == fen
        assert built.turn() in ("white", "black")
        assert planes == built.bitboard()


@fuzz(500)
@given(any_text)
def test_board_from_any_text(text):
    check_board_text(text)


@fuzz(500)
@given(fen_texts())
def test_board_from_fen_like_text(text):
    check_board_text(text)


@fuzz(400)
@given(playable_fens(), st.lists(move_texts, max_size=6), st.one_of(any_text, move_texts))
def test_push_of_any_text_keeps_the_board(fen, prefix, text):
    tracked = Tracked(fen)
    for move in prefix:
        tracked.push(move)
    tracked.push(text)
    tracked.unwind()


@fuzz(400)
@given(playable_fens(), st.lists(st.tuples(st.integers(0, 11), move_texts), max_size=40))
def test_random_move_texts_unwind_to_the_first_fen(fen, steps):
    tracked = Tracked(fen)
    for action, move in steps:
        if action == 0:
            tracked.list_moves()
        elif action == 1 and tracked.pushed:
            tracked.board.pop()
            tracked.pushed -= 1
        elif action == 2:
            # A text push may put two pieces on one square, which FEN cannot show; the
            # planes of a copy still match exactly.
            copy = tracked.board.copy()
            assert copy.fen() == tracked.board.fen()
            assert copy.bitboard() == tracked.board.bitboard()
        elif action == 3:
            check_reflection(tracked.board.copy())
        else:
            tracked.push(move)
    tracked.list_moves()
    tracked.unwind()


@fuzz(300)
@given(playable_fens(), st.lists(move_texts, max_size=4))
def test_generated_moves_push_and_pop_back(fen, prefix):
    """On any position that lists moves, each listed move pushes and pops back to the FEN."""
    tracked = Tracked(fen)
    for move in prefix:
        tracked.push(move)
    moves = tracked.list_moves()
    before = tracked.board.fen()
    for move in moves or []:
        assert tracked.push(move) is None
        tracked.board.pop()
        tracked.pushed -= 1
        assert tracked.board.fen() == before
    tracked.unwind()


@fuzz(500)
@given(
    st.sampled_from(["new", "push", "fen", "pop", "bitboard", "turn", "reflect", "copy",
                     "bitboard_from_fen", "instance_bitboard_from_fen", "generator_new",
                     "generator_call", "unbound"]),
    st.lists(odd_values, max_size=3),
    keywords,
)
def test_any_argument_shape(name, args, kwargs):
    tracked = Tracked(PERFT_FENS[1])
    tracked.push("e1g1")
    board = tracked.board
    calls = {
        "new": Board,
        "push": board.push,
        "fen": board.fen,
        "pop": board.pop,
        "bitboard": board.bitboard,
        "turn": board.turn,
        "reflect": board.reflect,
        "copy": board.copy,
        "bitboard_from_fen": Board.bitboard_from_fen,
        "instance_bitboard_from_fen": board.bitboard_from_fen,
        "generator_new": MoveGenerator,
        "generator_call": GENERATOR,
        "unbound": Board.push,
    }
    _, error = tracked.call(calls[name], *args, **kwargs)
    if error is None:
        # Only a few shapes can succeed on this board; follow what they did to its history.
        # (The unbound push never receives this board, so it cannot change it.)
        if name == "push":
            tracked.pushed += 1
        elif name == "pop":
            tracked.pushed -= 1
        elif name == "reflect":
            tracked.first_fen, tracked.pushed = board.fen(), 0
    tracked.unwind()
    assert GENERATOR(Board()) and len(GENERATOR(board)) > 0
