"""quarn_data.env leaves memory and reference counts flat, failing paths included (the measurement
of leakcheck.py, over the action functions and a VectorEnv's calls)."""

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

from quarn_chess import Board
from quarn_data import env as qenv

swallow = swallowing((ValueError, TypeError))


def operations():
    board = Board(fresh(KIWIPETE))
    castle, nonsense = fresh("e1g1"), fresh("e1e9")
    boards = [board] * 8
    masks = np.empty((8, 4672), dtype=bool)
    moves = [castle] * 8
    actions = np.empty(8, dtype=np.int64)
    env = qenv.VectorEnv(64, seed=0)
    env.reset()
    strict = qenv.VectorEnv(2, seed=0, illegal_action="raise")
    strict.reset()
    wrong = np.zeros(3, dtype=np.int64)

    def play():
        env.step(env.sample_legal())

    return [
        ("action_of", lambda: qenv.action_of(board, castle), 1, [board, castle]),
        ("action_of(illegal)", swallow(qenv.action_of, board, nonsense), 1, [nonsense]),
        ("move_of", lambda: qenv.move_of(board, 2350), 1, [board]),
        ("move_of(illegal)", swallow(qenv.move_of, board, 0), 1, [board]),
        ("legal_action_mask", lambda: qenv.legal_action_mask(board), 0.5, [board]),
        ("mask_batch(out)", lambda: qenv.legal_action_mask_batch(boards, out=masks), 0.1, [masks]),
        ("action_of_batch", lambda: qenv.action_of_batch(boards, moves, out=actions), 0.2, [board]),
        ("step", play, 0.05, []),
        ("board", lambda: env.board(3), 1, []),
        ("step(bad shape)", swallow(strict.step, wrong), 1, [wrong]),
        ("step(illegal)", swallow(strict.step, [0, 0]), 1, []),
    ]


@pytest.mark.skipif(
    bool(os.environ.get("QUARN_SANITIZED")), reason="sanitizer instrumentation distorts RSS"
)
def test_rss_and_reference_counts_stay_flat():
    assert_rss_and_reference_counts_flat(operations(), [Board, qenv.VectorEnv])


def test_traced_python_heap_stays_flat():
    assert_traced_heap_flat(operations(), ignored_dirs=[os.path.dirname(np.__file__)])
