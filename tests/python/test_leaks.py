"""Memory and reference counts stay flat while every method runs, failing paths included.

The measurement is leakcheck.py's, over quarn_chess's calls, with the objects passed in (texts,
the board, the classes) watched. Internal faults write a report to standard error; it goes to
/dev/null while the loops run.
"""

import os
import sys

import pytest

from differential import PERFT_FENS, panic_exception_type
from leakcheck import (
    assert_rss_and_reference_counts_flat,
    assert_traced_heap_flat,
    fresh,
    quiet_stderr,
    swallowing,
)

from quarn_chess import Board, MoveGenerator

PANIC = panic_exception_type()
EXPECTED = (ValueError, TypeError, UnicodeEncodeError, PANIC)
swallow = swallowing(EXPECTED)


def operations():
    """(name, callable, repeat factor, objects whose reference counts must not move)."""
    start, kiwipete, promote = fresh(PERFT_FENS[0]), fresh(PERFT_FENS[1]), fresh(PERFT_FENS[3])
    generator = MoveGenerator()
    board, kiwi_board, promote_board = Board(start), Board(kiwipete), Board(promote)
    empty_history, no_king = Board(), Board(fresh("8/8/8/8/8/8/8/8 w - -"))
    move, castle, promotion = fresh("e2e4"), fresh("e1g1"), fresh("b2a1q")
    bad = {
        "side": fresh("8/8/8/8/8/8/8/8 x - -"),
        "castling": fresh("8/8/8/8/8/8/8/8 w KX -"),
        "piece": fresh("rnbqkbnr/ppppxppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"),
        "fields": fresh("8/8/8/8/8/8/8/8 w"),
        "empty": fresh(" "),
        "surrogate": fresh("8/8/8/8/8/8/8/8 w - - \ud800"),
        "length": fresh("e2e"),
        "letter": fresh("e7e8k"),
        "square": fresh("z9z9"),
        "from-square": fresh("e3e4"),
        "no letter": fresh("b2a1"),
    }
    planes_of = Board.bitboard_from_fen
    long_history = [fresh(m) for m in ("g1f3", "g8f6", "f3g1", "f6g8") * 25]

    def push_pop(target, text):
        def run():
            target.push(text)
            target.pop()

        return run

    def long_game():
        for text in long_history:
            board.push(text)
        copy = board.copy()
        for _ in long_history:
            board.pop()
        del copy

    def reflect_with_history():
        reflected = Board(start)
        reflected.push(move)
        reflected.reflect()
        reflected.reflect()

    ops = [
        ("Board()", Board, 1, []),
        ("Board(fen)", lambda: Board(kiwipete), 1, [kiwipete]),
        ("Board(fen=)", lambda: Board(fen=kiwipete), 1, [kiwipete]),
        ("Board(bad side)", swallow(Board, bad["side"]), 1, [bad["side"]]),
        ("Board(bad castling)", swallow(Board, bad["castling"]), 1, [bad["castling"]]),
        ("Board(bad piece)", swallow(Board, bad["piece"]), 1, [bad["piece"]]),
        ("Board(missing fields)", swallow(Board, bad["fields"]), 1, [bad["fields"]]),
        ("Board(blank)", swallow(Board, bad["empty"]), 1, [bad["empty"]]),
        ("Board(surrogate)", swallow(Board, bad["surrogate"]), 1, [bad["surrogate"]]),
        ("Board(None)", swallow(Board, None), 1, []),
        ("Board(fen, fen)", swallow(Board, start, start), 1, [start]),
        ("Board(fen, fen=)", swallow(Board, start, fen=start), 1, [start]),
        ("Board(x=)", swallow(Board, x=start), 1, [start]),
        ("fen", board.fen, 1, [board]),
        ("fen(x)", swallow(board.fen, start), 1, [board, start]),
        ("turn", board.turn, 1, [board]),
        ("copy", board.copy, 1, [board]),
        ("bitboard", board.bitboard, 1, [board]),
        ("push/pop", push_pop(board, move), 1, [board, move]),
        ("push/pop keyword", lambda: (board.push(chess_move=move), board.pop()), 1, [board, move]),
        ("push/pop castling", push_pop(kiwi_board, castle), 1, [kiwi_board, castle]),
        ("push/pop promotion", push_pop(promote_board, promotion), 1, [promote_board, promotion]),
        ("100 pushes, copy, 100 pops", long_game, 0.02, [board, *long_history]),
        ("reflect", reflect_with_history, 0.5, [start, move]),
        ("push(bad length)", swallow(board.push, bad["length"]), 1, [board, bad["length"]]),
        ("push(bad letter)", swallow(board.push, bad["letter"]), 1, [bad["letter"]]),
        ("push(no letter)", swallow(promote_board.push, bad["no letter"]), 1, [bad["no letter"]]),
        ("push(bad square)", swallow(board.push, bad["square"]), 1, [bad["square"]]),
        ("push(empty from)", swallow(board.push, bad["from-square"]), 1, [bad["from-square"]]),
        ("push(surrogate)", swallow(board.push, bad["surrogate"]), 1, [bad["surrogate"]]),
        ("push(bytes)", swallow(board.push, b"e2e4"), 1, [board]),
        ("push()", swallow(board.push), 1, [board]),
        ("push(m, m)", swallow(board.push, move, move), 1, [board, move]),
        ("push(m, chess_move=)", swallow(board.push, move, chess_move=move), 1, [move]),
        ("push(move=)", swallow(board.push, move=move), 1, [move]),
        ("pop(empty)", swallow(empty_history.pop), 1, [empty_history]),
        ("bitboard_from_fen", lambda: Board.bitboard_from_fen(start), 1, [start]),
        ("board.bitboard_from_fen", lambda: board.bitboard_from_fen(fen=start), 1, [start, board]),
        ("bitboard_from_fen(bad)", swallow(planes_of, bad["piece"]), 1, [bad["piece"]]),
        ("bitboard_from_fen(blank)", swallow(planes_of, bad["empty"]), 1, [bad["empty"]]),
        ("bitboard_from_fen(1)", swallow(Board.bitboard_from_fen, 1), 1, []),
        ("bitboard_from_fen()", swallow(Board.bitboard_from_fen), 1, []),
        ("MoveGenerator()", MoveGenerator, 0.01, []),
        ("MoveGenerator(1)", swallow(MoveGenerator, 1), 1, []),
        ("generator(board)", lambda: generator(kiwi_board), 1, [generator, kiwi_board]),
        ("generator(board=)", lambda: generator(board=board), 1, [generator, board]),
        ("generator(no king)", swallow(generator, no_king), 1, [generator, no_king]),
        ("generator(str)", swallow(generator, start), 1, [generator, start]),
        ("generator()", swallow(generator), 1, [generator]),
        ("unbound fen(generator)", swallow(Board.fen, generator), 1, [generator]),
    ]
    return ops


def shared_objects():
    """Objects every call may touch; immortal singletons are left out (their count never moves)."""
    objects = [Board, MoveGenerator, PANIC]
    objects += [obj for obj in (None, True, False) if sys.getrefcount(obj) < 1 << 30]
    return objects


@pytest.fixture(scope="module")
def ops():
    return operations()


@pytest.mark.skipif(
    bool(os.environ.get("QUARN_SANITIZED")), reason="sanitizer instrumentation distorts RSS"
)
def test_rss_and_reference_counts_stay_flat(ops):
    with quiet_stderr():
        assert_rss_and_reference_counts_flat(ops, shared_objects())


def test_traced_python_heap_stays_flat(ops):
    with quiet_stderr():
        assert_traced_heap_flat(ops)
