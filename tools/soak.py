"""The long differential run against python-chess (`make soak`).

Plays seeded random games from the standard perft positions until at least --positions
positions have been compared (legal move sets, FEN fields, planes, reflection, push/pop
restoration; see tests/python/differential.py), then as many positions for quarn_data (queries,
SAN both ways, tensors; see tests/python/data_differential.py), spread over --jobs worker
processes, and prints the number of positions compared and of mismatches. Exits with status 1 on
any mismatch.

    python tools/soak.py --positions 1000000 --jobs 4
"""

import argparse
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from data_differential import run_data_games  # noqa: E402
from differential import KEPT_MISMATCHES, PERFT_FENS, RANDOM_START, Tally, run_games  # noqa: E402

# The SAN of every legal move is compared both ways at every fifth position of the data run.
SOAK_SAN_EVERY = 5

# Work is cut into chunks of this many positions; chunk c plays the games seeded "{seed}/{c}:i",
# so the figures do not depend on the number of jobs.
CHUNK_POSITIONS = 10_000


def silence_stderr():
    # Each game ends by popping one move too many, which the module reports on standard error;
    # everything a mismatch needs is in its text.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)


def run_chunk(task):
    seed, chunk, data = task
    starts = [*PERFT_FENS, RANDOM_START]
    if data:
        return run_data_games(starts, f"{seed}/data/{chunk}", CHUNK_POSITIONS, SOAK_SAN_EVERY)
    return run_games(starts, f"{seed}/{chunk}", CHUNK_POSITIONS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--positions", type=int, default=1_000_000,
                        help="compare at least this many positions in each run (default 1000000)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: one per CPU)")
    parser.add_argument("--seed", default="soak", help="seed text for the games (default soak)")
    args = parser.parse_args()

    chunks = max(1, -(-args.positions // CHUNK_POSITIONS))
    tasks = [(args.seed, chunk, data) for data in (False, True) for chunk in range(chunks)]
    total = Tally()
    began = time.monotonic()
    # A worker that dies (a crash in the module) ends the run with BrokenProcessPool.
    with ProcessPoolExecutor(max(1, args.jobs), initializer=silence_stderr) as pool:
        for done, tally in enumerate(pool.map(run_chunk, tasks), 1):
            total.add(tally)
            print(f"\r{done}/{len(tasks)} chunks, {total.positions} positions, "
                  f"{total.mismatches} mismatches", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    seconds = time.monotonic() - began

    for example in total.examples[:KEPT_MISMATCHES]:
        print(example)
    print(f"games played: {total.games}")
    print(f"positions compared: {total.positions}")
    print(f"mismatches: {total.mismatches}")
    print(f"time: {seconds:.1f} s ({total.positions / seconds:.0f} positions/s)")
    return 1 if total.mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
