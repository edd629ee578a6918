"""Legal move lists through the Python API: exact order, special moves, perft counts."""

import pytest

from conftest import PERFT_TABLE
from quarn_chess import Board, MoveGenerator

GENERATOR = MoveGenerator()


def perft_cases(max_nodes):
    for fen, depth, nodes in PERFT_TABLE:
        if nodes <= max_nodes:
            yield fen, depth, nodes


def perft(board, depth):
    moves = GENERATOR(board)
    if depth == 1:
        return len(moves)
    total = 0
    for move in moves:
        board.push(move)
        total += perft(board, depth - 1)
        board.pop()
    return total


@pytest.mark.parametrize("fen, depth, nodes", list(perft_cases(100_000)))
def test_perft_counts(fen, depth, nodes):
    board = Board(fen)
    assert perft(board, depth) == nodes
    assert board.fen() == Board(fen).fen()


def test_start_position_order_and_board_untouched():
    board = Board()
    assert GENERATOR(board) == [
        "b1c3", "b1a3", "g1h3", "g1f3", "a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4",
        "d2d3", "d2d4", "e2e3", "e2e4", "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4",
    ]
    assert board.fen() == Board().fen()
    with pytest.raises(BaseException) as info:
        board.pop()  # generation left no move on the history
    assert type(info.value).__name__ == "PanicException"


def test_castling_and_rook_order():
    assert GENERATOR(Board("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -")) == [
        "e1e2", "e1f1", "e1d1", "e1f2", "e1d2", "e1g1", "e1c1",
        "a1b1", "a1c1", "a1d1", "a1a2", "a1a3", "a1a4", "a1a5", "a1a6", "a1a7", "a1a8",
        "h1f1", "h1g1", "h1h2", "h1h3", "h1h4", "h1h5", "h1h6", "h1h7", "h1h8",
    ]


@pytest.mark.parametrize(
    "fen, castles",
    [
        ("4k3/8/8/8/8/8/8/R3K2R w KQ -", ["e1g1", "e1c1"]),
        ("4k3/8/8/8/8/8/8/RN2K2R w KQ -", ["e1g1"]),  # b1 occupied
        ("1r2k3/8/8/8/8/8/8/R3K2R w KQ -", ["e1g1", "e1c1"]),  # b1 attacked but empty
        ("3rk3/8/8/8/8/8/8/R3K2R w KQ -", ["e1g1"]),  # d1 attacked
        ("4k1r1/8/8/8/8/8/8/R3K2R w KQ -", ["e1c1"]),  # g1 attacked
        ("4r1k1/8/8/8/8/8/8/R3K2R w KQ -", []),  # king in check
        ("r3k2r/8/8/8/8/8/8/4K3 w kq -", []),  # only black's rights
    ],
)
def test_castling_conditions(fen, castles):
    moves = GENERATOR(Board(fen))
    assert [m for m in moves if m in ("e1g1", "e1c1")] == castles


def test_promotions_in_order():
    moves = GENERATOR(Board("n1n1k3/1P6/8/8/8/8/8/4K3 w - -"))
    pawn = [m for m in moves if m.startswith("b7")]
    assert pawn == [
        "b7a8n", "b7a8b", "b7a8r", "b7a8q", "b7c8n", "b7c8b", "b7c8r", "b7c8q",
        "b7b8n", "b7b8b", "b7b8r", "b7b8q",
    ]


def test_en_passant_and_its_pin():
    board = Board("4k3/2p5/8/1P6/8/8/8/4K3 b - -")
    board.push("c7c5")
    assert "b5c6" in GENERATOR(board)
    pinned = Board("4k3/2p5/8/KP5r/8/8/8/8 b - -")
    pinned.push("c7c5")
    assert "b5c6" not in GENERATOR(pinned)
    assert "b5b6" in GENERATOR(pinned)


def test_pins_checks_mate_and_stalemate():
    # The knight on e2 is pinned by the rook on e8: it has no move at all.
    pinned = GENERATOR(Board("4r1k1/8/8/8/8/8/4N3/4K3 w - -"))
    assert not [m for m in pinned if m.startswith("e2")]
    # A bishop pinned on the diagonal keeps the diagonal, the capture of the pinner included.
    bishop = GENERATOR(Board("6k1/8/8/8/q7/8/2B5/3K4 w - -"))
    assert sorted(m for m in bishop if m.startswith("c2")) == ["c2a4", "c2b3"]
    # A knight's check cannot be blocked: king moves or the capture of the knight only.
    check = GENERATOR(Board("4k3/8/8/8/8/3n4/8/R3K3 w - -"))
    assert all(m.startswith("e1") for m in check)
    assert GENERATOR(Board("R5k1/5ppp/8/8/8/8/8/6K1 b - -")) == []  # mate
    assert GENERATOR(Board("7k/5Q2/6K1/8/8/8/8/8 b - -")) == []  # stalemate


def test_side_without_king_gets_its_pseudo_legal_moves():
    assert GENERATOR(Board("8/8/8/8/8/8/8/8 w - -")) == []
    board = Board("4k3/8/8/8/8/8/8/R7 w - -")
    assert len(GENERATOR(board)) == 14
    assert board.fen() == "4k3/8/8/8/8/8/8/R7 w - -"
