"""The 12 x 64 boolean plane export."""

import pytest

from conftest import KIWIPETE, START
from quarn_chess import Board

START_SQUARES = {
    0: set(range(8, 16)), 1: {1, 6}, 2: {2, 5}, 3: {0, 7}, 4: {3}, 5: {4},
    6: set(range(48, 56)), 7: {57, 62}, 8: {58, 61}, 9: {56, 63}, 10: {59}, 11: {60},
}


def true_squares(planes):
    return {p: {s for s, v in enumerate(plane) if v} for p, plane in enumerate(planes)}


def test_start_position_planes():
    planes = Board().bitboard()
    assert len(planes) == 12 and all(len(plane) == 64 for plane in planes)
    assert all(type(v) is bool for plane in planes for v in plane)
    assert true_squares(planes) == START_SQUARES
    assert Board.bitboard_from_fen(START) == planes
    assert Board().bitboard_from_fen(fen=START) == planes


def test_planes_ignore_everything_but_placement():
    assert Board.bitboard_from_fen("8/8/8/8/8/8/8/8") == [[False] * 64 for _ in range(12)]
    assert Board.bitboard_from_fen("4k3/8/8/8/8/8/8/4K3")[5][4] is True
    invalid_castling = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w X -"
    assert Board.bitboard_from_fen(invalid_castling) == Board().bitboard()
    with pytest.raises(ValueError):
        Board(invalid_castling)
    black = Board("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b - -")
    assert black.bitboard() == Board().bitboard()  # never flipped for the side to move


def test_planes_follow_moves_and_are_independent_lists():
    board = Board()
    board.push("e2e4")
    planes = board.bitboard()
    assert planes[0][28] is True and planes[0][12] is False
    planes[0][28] = False
    board.pop()
    assert board.bitboard() == Board().bitboard()
    assert planes[0][28] is False


def test_planes_are_read_independently_for_overlapping_boards():
    # More than 64 squares wrap around: the king and the black king share a1.
    planes = Board.bitboard_from_fen("k/8/8/8/8/8/8/8/K7")
    assert planes[5][0] is True and planes[11][0] is True


def test_reflect_swaps_planes_and_mirrors_ranks():
    board = Board(KIWIPETE)
    before = board.bitboard()
    board.reflect()
    after = board.bitboard()
    for k in range(6):
        assert after[k + 6] == [before[k][s ^ 56] for s in range(64)]
        assert after[k] == [before[k + 6][s ^ 56] for s in range(64)]
