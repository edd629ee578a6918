"""quarn_data's functions leave memory and reference counts flat, failing paths included (the
measurement of leakcheck.py, over quarn_data's calls)."""

import os

import numpy as np
import pytest
from conftest import KIWIPETE
from leakcheck import (
    assert_rss_and_reference_counts_flat,
    assert_traced_heap_flat,
    fresh,
    swallowing,
)

import quarn_data as qd
from quarn_chess import Board

EXPECTED = (ValueError, TypeError)
swallow = swallowing(EXPECTED)


def operations():
    board = Board(fresh(KIWIPETE))
    mate = Board(fresh("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -"))
    rooks = Board(fresh("4k3/8/8/R7/8/8/8/R3K3 w - -"))
    castle, bishop, nonsense = fresh("e1g1"), fresh("Bxa6"), fresh("hello")
    boards = [board, mate, rooks] * 8
    out = np.empty((len(boards), 12, 64), dtype=bool)
    wrong = np.empty((len(boards), 12, 64), dtype=np.uint8)
    return [
        ("is_check", lambda: qd.is_check(board), 1, [board]),
        ("is_checkmate", lambda: qd.is_checkmate(mate), 1, [mate]),
        ("outcome", lambda: qd.outcome(mate), 1, [mate]),
        ("legal_move_count", lambda: qd.legal_move_count(board=board), 1, [board]),
        ("san", lambda: qd.san(board, castle), 1, [board, castle]),
        ("san(illegal)", swallow(qd.san, board, bishop), 1, [board, bishop]),
        ("legal_san", lambda: qd.legal_san(board), 0.2, [board]),
        ("parse_san", lambda: qd.parse_san(board, bishop), 1, [board, bishop]),
        ("parse_san(invalid)", swallow(qd.parse_san, board, nonsense), 1, [nonsense]),
        ("parse_san(ambiguous)", swallow(qd.parse_san, rooks, fresh("Ra3")), 1, [rooks]),
        ("perft", lambda: qd.perft(board, 1), 1, [board]),
        ("planes", lambda: qd.planes(board, flip=True), 1, [board]),
        ("packed", lambda: qd.packed(board), 1, [board]),
        ("scalars", lambda: qd.scalars(board), 1, [board]),
        ("planes_batch", lambda: qd.planes_batch(boards), 0.2, [board, mate]),
        ("planes_batch(out)", lambda: qd.planes_batch(boards, out=out), 0.2, [board, out]),
        ("planes_batch(bad out)", swallow(qd.planes_batch, boards, out=wrong), 1, [board, wrong]),
        ("packed_batch(bad item)", swallow(qd.packed_batch, [board, 1]), 1, [board]),
        ("is_check(str)", swallow(qd.is_check, nonsense), 1, [nonsense]),
    ]


@pytest.mark.skipif(
    bool(os.environ.get("QUARN_SANITIZED")), reason="sanitizer instrumentation distorts RSS"
)
def test_rss_and_reference_counts_stay_flat():
    assert_rss_and_reference_counts_flat(operations(), [Board, qd.Outcome])


def test_traced_python_heap_stays_flat():
    # NumPy's own Python code (dtype names in error messages) keeps caches of its own.
    assert_traced_heap_flat(operations(), ignored_dirs=[os.path.dirname(np.__file__)])
