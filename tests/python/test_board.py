"""Board semantics through the Python API: FEN, push/pop, copy, reflect, turn."""

import pytest

from quarn_chess import Board

from conftest import KIWIPETE, START


@pytest.mark.parametrize(
    "given, written",
    [
        (START, START),
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
         "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"),
        ("8/8/8/8/8/8/8/8 w - e3", "8/8/8/8/8/8/8/8 w - e6"),
        ("8/8/8/8/8/8/8/8 w qkQK -", "8/8/8/8/8/8/8/8 w KQkq -"),
        ("8/8/8/8/8/8/8/8 w K-Q -", "8/8/8/8/8/8/8/8 w K -"),
        ("8/8/8/8/8/8/8/8 b -junk -", "8/8/8/8/8/8/8/8 b - -"),
        ("  8/8/8/8/8/8/8/8\t\tw   -  -  \n", "8/8/8/8/8/8/8/8 w - -"),
        ("8/8/PPPPPPPP w - -", "8/8/8/8/8/8/8/PPPPPPPP w - -"),
        (KIWIPETE, KIWIPETE),
    ],
)
def test_fen_round_trips(given, written):
    assert Board(given).fen() == written


def test_default_board_is_the_start_position():
    assert Board().fen() == START
    assert Board(fen=START).fen() == START
    assert Board().turn() == "white"
    assert Board("8/8/8/8/8/8/8/8 b - -").turn() == "black"


@pytest.mark.parametrize(
    "fen, message",
    [
        ("8/8/8/8/8/8/8/8 x - -", "Invalid fen: Invalid side-to-move"),
        ("8/8/8/8/8/8/8/8 W - -", "Invalid fen: Invalid side-to-move"),
        ("8/8/8/8/8/8/8/8 w KX -", "Invalid fen: Invalid castling specifier"),
    ],
)
def test_fen_field_errors_are_value_errors(fen, message):
    with pytest.raises(ValueError) as info:
        Board(fen)
    assert str(info.value) == message


def test_push_pop_restores_the_position():
    board = Board()
    board.push("e2e4")
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
    assert board.turn() == "black"
    board.push("  e7e5\n")
    board.push("g1f3")
    for _ in range(3):
        board.pop()
    assert board.fen() == START


def test_push_special_moves():
    board = Board("r3k2r/pppp1ppp/8/4P3/8/8/PPP2PPP/R3K2R b KQkq -")
    board.push("d7d5")
    board.push("e5d6")
    assert board.fen() == "r3k2r/ppp2ppp/3P4/8/8/8/PPP2PPP/R3K2R b KQkq -"
    board.push("e8c8")
    board.push("e1g1")
    assert board.fen() == "2kr3r/ppp2ppp/3P4/8/8/8/PPP2PPP/R4RK1 b - -"
    promote = Board("3r4/4P3/8/8/8/8/8/4K2k w - -")
    promote.push("e7d8N")
    assert promote.fen() == "3N4/8/8/8/8/8/8/4K2k b - -"
    promote.pop()
    assert promote.fen() == "3r4/4P3/8/8/8/8/8/4K2k w - -"


def test_push_is_not_a_legality_test():
    board = Board()
    board.push("e7e5")  # black pawn while white is to move
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR b KQkq -"
    board.push("e2e2")  # a null move still passes the turn
    assert board.turn() == "white"


@pytest.mark.parametrize(
    "fen, move, message",
    [
        (START, "e2e", "Invalid chess move: Unsupported move notation. Must be 4 or 5 "
                       "(promotion) characters. Found: e2e"),
        (START, "", "Invalid chess move: Unsupported move notation. Must be 4 or 5 "
                    "(promotion) characters. Found: "),
        (START, "e7e8k", "Invalid chess move: Unsupported promotion type for e7e8k"),
        ("4k3/4P3/8/8/8/8/8/4K3 w - -", "e7e8",
         "Invalid chess move: Missing promotion type for e7e8"),
        ("4k3/8/8/8/8/8/1p6/4K3 w - -", "b2a1q",
         "Invalid chess move: En passant victim off the board for b2a1q"),
    ],
)
def test_bad_moves_raise_value_error_and_change_nothing(fen, move, message):
    board = Board(fen)
    before = board.fen()
    with pytest.raises(ValueError) as info:
        board.push(move)
    assert str(info.value) == message
    assert board.fen() == before


def test_copy_is_independent_and_carries_history():
    source = Board()
    for move in ("e2e4", "e7e5", "g1f3"):
        source.push(move)
    copy = source.copy()
    assert copy.fen() == source.fen()
    for _ in range(3):
        copy.pop()
    assert copy.fen() == START
    assert source.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq -"
    other = source.copy()
    other.push("b8c6")
    assert source.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq -"


def test_reflect_mirrors_the_position_and_clears_history():
    board = Board()
    assert board.reflect() is None
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"
    board = Board()
    board.push("e2e4")
    kept = board.copy()
    board.reflect()
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"
    assert kept.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
    board.reflect()
    assert board.fen() == kept.fen()
    assert board.bitboard() == kept.bitboard()
    assert Board("8/8/8/8/8/8/8/8 w K -").reflect() is None
    rights = Board("8/8/8/8/8/8/8/8 w Q -")
    rights.reflect()
    assert rights.fen() == "8/8/8/8/8/8/8/8 b q -"
