"""The long game-table run: positions() against pgn_to_arrays and the loader's epoch properties
on many generated games.

    python tools/soak_loader.py [--games N] [--seed S]

Lichess-shaped games (bench/lichess_like.py: evaluations and clocks on every move) and random
games from the perft positions (promotions, castling, FEN starts) are turned into game tables
(quarn_data.pgn_to_table where it exists, else tests/python/game_tables.py); positions(table)
must equal pgn_to_arrays column for column, planes and flips included, and one PositionLoader
epoch over the tables written as files (several row groups, ranks, threads) must hand out exactly
the rows of positions(). Exits 1 on the first disagreement.
"""

from __future__ import annotations

import argparse
import io
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np
import pyarrow as pa

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import quarn_data  # noqa: E402
from game_tables import game_table, write  # noqa: E402
from test_loader import lichess_like, random_pgn  # noqa: E402


def keys(rows) -> Counter:
    return Counter(zip(rows["game"].tolist(), rows["ply"].tolist(), map(bytes, rows["packed"])))


def check(name: str, pgn: bytes) -> int:
    table = game_table(pgn)
    reference = quarn_data.pgn_to_arrays(io.BytesIO(pgn))
    rows = quarn_data.positions(table)
    for column in reference:
        a, b = reference[column], rows[column]
        if a.dtype != b.dtype or not np.array_equal(a, b, equal_nan=a.dtype.kind == "f"):
            print(f"{name}: column {column} differs from pgn_to_arrays")
            return 1
    planes = quarn_data.positions(table, planes=True, flip=True)
    flipped = quarn_data.positions(table, flip=True)
    unpacked = np.unpackbits(flipped["packed"].view(np.uint8), axis=1, bitorder="little")
    if not np.array_equal(unpacked.reshape(-1, 12, 64).astype(bool), planes["planes"]):
        print(f"{name}: flipped planes differ from flipped packed")
        return 1
    with tempfile.TemporaryDirectory() as folder:
        paths = [write(table.slice(i, 2000), Path(folder) / f"{i:06d}.parquet",
                       row_group_size=500) for i in range(0, table.num_rows, 2000)]
        expected = keys(rows)
        for threads, world_size in ((1, 1), (2, 3)):
            seen: Counter = Counter()
            for rank in range(world_size):
                loader = quarn_data.PositionLoader(paths, window=200_000, threads=threads,
                                                   rank=rank, world_size=world_size)
                for batch in loader:
                    seen.update(keys(batch))
            if seen != expected:
                print(f"{name}: a loader epoch (threads {threads}, {world_size} ranks) does "
                      "not hand out the rows of positions()")
                return 1
    print(f"{name}: {table.num_rows} games, {len(rows['game'])} positions agree")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=20_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    began = time.perf_counter()
    status = check("lichess-shaped", lichess_like(args.games, args.seed))
    status = status or check("random from perft positions", random_pgn(args.games // 4,
                                                                       args.seed))
    print(f"soak_loader: {'FAILED' if status else 'ok'} in {time.perf_counter() - began:.0f} s")
    return status


if __name__ == "__main__":
    raise SystemExit(main())
