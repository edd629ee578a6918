"""Seeded random games compared position by position against python-chess.

The comparison itself lives in differential.py, shared with tools/soak.py (the long run).
"""

import random

import chess
import pytest

from differential import PERFT_FENS, RANDOM_START, mirror_move, random_position, run_games

from quarn_chess import MoveGenerator

STARTS = [*PERFT_FENS, RANDOM_START]
# 7 x 3000 = 21000 positions in the normal test run.
POSITIONS_PER_START = 3000


@pytest.fixture(scope="module")
def generator():
    return MoveGenerator()


def test_mirror_move_flips_ranks():
    assert mirror_move("e2e4") == "e7e5"
    assert mirror_move("a7b8q") == "a2b1q"
    assert mirror_move("e1g1") == "e8g8"


def test_random_positions_cover_castling_and_en_passant():
    rng = random.Random(0)
    boards = [chess.Board(random_position(rng)) for _ in range(300)]
    assert all(board.is_valid() for board in boards)
    assert sum(board.castling_rights != 0 for board in boards) > 60
    assert sum(board.has_legal_en_passant() for board in boards) > 15
    assert sum(board.is_check() for board in boards) > 30


@pytest.mark.parametrize(
    "start", STARTS, ids=[f"perft{i + 1}" for i in range(len(PERFT_FENS))] + ["random"]
)
def test_random_games_match_python_chess(generator, start):
    tally = run_games([start], f"test-{STARTS.index(start)}", POSITIONS_PER_START, generator)
    assert tally.positions >= POSITIONS_PER_START
    assert tally.mismatches == 0, "\n".join(tally.examples)
