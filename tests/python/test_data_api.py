"""quarn_data's surface: results on known positions, argument errors, borrowed boards, `out=`
checks, odd boards, and the import without NumPy."""

import subprocess
import sys
import threading

import numpy as np
import pytest

import quarn_data as qd
from quarn_chess import Board

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
FOOLS_MATE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -"
STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - -"
# Odd boards quarn_chess reads: no kings, two white kings, and a placement of more than 64
# squares whose extra ranks land on squares already taken.
ODD_FENS = [
    "8/8/8/8/8/8/4r3/8 w - -",
    "4r2k/8/8/8/8/8/8/K3K3 w - -",
    "pppppppp/pppppppp/pppppppp/pppppppp/pppppppp/pppppppp/pppppppp/pppppppp/PPPPPPPP/KQRBN3 b - -",
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR/RNBQKBNR/pppppppp w KQkq -",
]


def test_public_names_and_outcome_values():
    pgn_names = ["Game", "GameError", "PgnArrays", "PgnError", "PgnSourceError", "pgn_to_arrays",
                 "read_games"]
    pgn_names += ["GameLoader", "PositionLoader", "positions"]
    table_names = ["GameTableError", "TableReport", "pgn_to_table", "read_table", "table_report",
                   "write_table"]
    assert sorted(qd.__all__) == sorted(
        [name for name in dir(qd._native) if not name.startswith("_")] + pgn_names + table_names
        + ["svg"])
    mate = qd.outcome(Board(FOOLS_MATE))
    assert mate == ("CHECKMATE", "black")
    assert (mate.termination, mate.winner) == ("CHECKMATE", "black")
    assert isinstance(mate, qd.Outcome)
    assert qd.outcome(Board(STALEMATE)) == ("STALEMATE", None)
    assert qd.outcome(Board("4k3/8/8/8/8/8/8/4KB2 w - -")) == ("INSUFFICIENT_MATERIAL", None)
    assert qd.outcome(Board()) is None


def test_queries_on_known_positions():
    board = Board(FOOLS_MATE)
    assert (qd.is_check(board), qd.is_checkmate(board), qd.is_stalemate(board)) == (
        True, True, False)
    assert qd.legal_move_count(Board(KIWIPETE)) == 48
    assert qd.is_stalemate(Board(STALEMATE))
    assert qd.perft(Board(KIWIPETE), 3) == 97862
    assert qd.perft(board=Board(), depth=0) == 1


def test_san_both_ways_and_board_unchanged():
    board = Board(KIWIPETE)
    fen = board.fen()
    assert qd.san(board, "e1g1") == "O-O"
    assert qd.san(board, move="e2a6") == "Bxa6"
    assert qd.parse_san(board, "0-0-0") == "e1c1"
    assert qd.parse_san(board, san="Bxa6!?") == "e2a6"
    assert "Bxa6" in qd.legal_san(board) and len(qd.legal_san(board)) == 48
    assert board.fen() == fen
    with pytest.raises(ValueError, match=r"illegal move: 'e2e5'"):
        qd.san(board, "e2e5")
    with pytest.raises(ValueError, match=r"invalid move text: 'e2'"):
        qd.san(board, "e2")
    with pytest.raises(ValueError, match=r"illegal san: 'Nf6' in "):
        qd.parse_san(board, "Nf6")
    with pytest.raises(ValueError, match=r"invalid san: 'hello'"):
        qd.parse_san(board, "hello")
    with pytest.raises(ValueError, match=r"ambiguous san: 'Ra3' in "):
        qd.parse_san(Board("4k3/8/8/R7/8/8/8/R3K3 w - -"), "Ra3")
    assert board.fen() == fen


@pytest.mark.parametrize(
    "call",
    [
        lambda value: qd.is_check(value),
        lambda value: qd.outcome(value),
        lambda value: qd.san(value, "e2e4"),
        lambda value: qd.planes(value),
        lambda value: qd.perft(value, 1),
        lambda value: qd.planes_batch([Board(), value]),
        lambda value: qd.packed_batch(value),
    ],
)
def test_non_boards_raise_type_error(call):
    for value in (None, 1, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"):
        with pytest.raises(TypeError):
            call(value)


def test_argument_errors():
    board = Board()
    with pytest.raises(TypeError, match=r"is_check\(\) missing 1 required positional argument"):
        qd.is_check()
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'fen'"):
        qd.is_check(board, fen="x")
    with pytest.raises(TypeError, match=r"argument 'move'"):
        qd.san(board, 12)
    with pytest.raises(TypeError, match=r"argument 'depth'"):
        qd.perft(board, "3")
    for depth in (-1, 65, 1 << 70):
        with pytest.raises(ValueError, match="depth must be between 0 and 64"):
            qd.perft(board, depth)


def test_out_arrays_are_checked_before_anything_is_written():
    boards = [Board(), Board(KIWIPETE)]
    cases = [
        (np.zeros((2, 12, 64), dtype=np.uint8), TypeError, "dtype bool"),
        (np.zeros((3, 12, 64), dtype=bool), ValueError, r"shape \(2, 12, 64\)"),
        (np.zeros((2, 12, 128), dtype=bool)[:, :, ::2], ValueError, "C-contiguous"),
        (bytearray(2 * 768), TypeError, "dtype bool"),
        ([[0] * 64] * 24, TypeError, "NumPy array"),
    ]
    for out, error, message in cases:
        with pytest.raises(error, match=message):
            qd.planes_batch(boards, out=out)
    read_only = np.zeros((2, 12, 64), dtype=bool)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        qd.planes_batch(boards, out=read_only)
    with pytest.raises(TypeError, match="dtype uint64"):
        qd.packed_batch(boards, out=np.zeros((2, 12), dtype=np.int64))
    with pytest.raises(TypeError, match="dtype int8"):
        qd.scalars_batch(boards, out=np.zeros((2, 6), dtype=np.uint8))
    untouched = np.ones((2, 12, 64), dtype=bool)
    with pytest.raises(TypeError):
        qd.planes_batch([boards[0], "board"], out=untouched)
    assert untouched.all()

    out = np.ones((2, 12, 64), dtype=bool)
    assert qd.planes_batch(boards, out=out) is out
    assert np.array_equal(out[1], np.array(boards[1].bitboard()))
    packed = np.zeros((2, 12), dtype=np.uint64)
    assert qd.packed_batch(tuple(boards), out=packed) is packed
    assert packed[0, 0] == 0xFF00
    assert qd.planes_batch([]).shape == (0, 12, 64)


def test_tensor_shapes_dtypes_and_flip():
    board = Board("4k3/8/8/8/8/8/4P3/4K3 b - -")
    assert qd.planes(board).dtype == np.bool_ and qd.planes(board).shape == (12, 64)
    assert qd.packed(board).dtype == np.uint64 and qd.packed(board).shape == (12,)
    assert qd.scalars(board).tolist() == [0, 0, 0, 0, 0, -1]
    flipped = qd.packed(board, flip=True)
    # Black to move: black's king is now plane 5 on e1, white's pawn plane 6 on e7.
    assert flipped[5] == 1 << 4 and flipped[6] == 1 << 52 and flipped[11] == 1 << 60
    assert np.array_equal(qd.planes(board, True), qd.planes_batch([board], flip=True)[0])


def test_borrowed_board_is_refused_and_nothing_written():
    board = Board(KIWIPETE)
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("nodes", qd.perft(board, 4)))
    out = np.ones((1, 12, 64), dtype=bool)
    refused = set()
    worker.start()
    while worker.is_alive() and len(refused) < 3:
        for name, call in (
            ("is_check", lambda: qd.is_check(board)),
            ("parse_san", lambda: qd.parse_san(board, "O-O")),
            ("planes_batch", lambda: qd.planes_batch([board], out=out)),
        ):
            try:
                call()
            except RuntimeError as error:
                assert str(error).startswith("Already")
                refused.add(name)
    worker.join()
    assert result["nodes"] == 4085603
    assert refused == {"is_check", "parse_san", "planes_batch"}
    assert out.all() or np.array_equal(out[0], np.array(board.bitboard()))


@pytest.mark.parametrize("fen", ODD_FENS)
def test_odd_boards_never_crash(fen):
    board = Board(fen)
    before = board.fen()
    check, count = qd.is_check(board), qd.legal_move_count(board)
    assert qd.is_checkmate(board) == (check and count == 0)
    assert qd.is_stalemate(board) == (not check and count == 0)
    qd.is_insufficient_material(board)
    qd.outcome(board)
    sans = qd.legal_san(board)
    assert len(sans) == count
    for text in sans[:40]:
        try:
            qd.parse_san(board, text)
        except ValueError as error:  # odd boards may make two moves read alike
            assert "ambiguous" in str(error) or "illegal" in str(error)
    qd.perft(board, 2)
    assert qd.planes_batch([board], flip=True).shape == (1, 12, 64)
    assert board.fen() == before


def test_import_without_numpy_says_how_to_install():
    code = "import sys; sys.modules['numpy'] = None; import quarn_data"
    process = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert process.returncode != 0
    assert "pip install 'quarn-chess[data]'" in process.stderr
