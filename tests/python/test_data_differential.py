"""quarn_data against python-chess on 100,000 positions of seeded random games.

The comparison lives in data_differential.py, shared with tools/soak.py (the long run).
"""

from data_differential import run_data_games
from differential import PERFT_FENS, RANDOM_START

STARTS = [*PERFT_FENS, RANDOM_START]
POSITIONS = 100_000


def test_queries_san_and_tensors_match_python_chess():
    tally = run_data_games(STARTS, "data-test", POSITIONS)
    assert tally.positions >= POSITIONS
    assert tally.mismatches == 0, "\n".join(tally.examples)
