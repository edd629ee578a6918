#!/usr/bin/env python3
"""Game tables to training batches: positions() and the loaders against a python-chess loader.

    python bench/loader_bench.py [--games N] [--copies N] [--reference-games N] [--rss-gb GB]
                                 [--output PATH] [--no-write]

The input is Lichess-shaped PGN (bench/lichess_like.py: seventeen tags, an evaluation and a clock
after every move), --games games, turned into a game table (quarn_data.pgn_to_table where the
package has it, else from pgn_to_arrays's rows) and repeated --copies times. Rows, best of
--repeats:

- positions(table), packed rows per second, one core.
- PositionLoader over the table's files, shuffled packed batches of 4096, one thread; against a
  python-chess loader on --reference-games games of the same PGN (chess.pgn.read_game, replay,
  the twelve masks of every position into a uint64 array, then a shuffled batch of them).
- PositionLoader with bool planes; with threads=2 against threads=1.
- peak resident memory (VmHWM) of a fresh process running one PositionLoader epoch (window 10^6)
  over tables worth --rss-gb GB of this PGN (tables synthesised by repeating the games; 0 skips
  it).

The table is printed and written to bench/results/loader.json.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import io
import json
import os
import platform
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import quarn_data
from quarn_data.tables import SCHEMA_VERSION, VERSION_KEY

ROOT = Path(__file__).resolve().parents[1]
ORDER = [(p, c) for c in (chess.WHITE, chess.BLACK) for p in chess.PIECE_TYPES]


def lichess_pgn(games: int, seed: int) -> bytes:
    module_spec = importlib.util.spec_from_file_location(
        "lichess_like", ROOT / "bench" / "lichess_like.py"
    )
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    rng = random.Random(seed)
    return "".join(module.game_text(i, rng) for i in range(games)).encode()


def table_of(pgn: bytes) -> pa.Table:
    writer = getattr(quarn_data, "pgn_to_table", None)
    if writer is not None:
        return writer(io.BytesIO(pgn))
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    from game_tables import built_table

    return built_table(pgn)


def write(table: pa.Table, path: Path, row_group_size: int = 4096) -> None:
    metadata = dict(table.schema.metadata or {})
    metadata[VERSION_KEY] = str(SCHEMA_VERSION).encode()
    pq.write_table(table.replace_schema_metadata(metadata), path, compression="zstd",
                   row_group_size=row_group_size)


def best(function, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return min(times)


def epoch(loader) -> int:
    return sum(len(batch["game"]) for batch in loader)


def loader_rate(paths, repeats: int, **options) -> float:
    """Seconds of the best epoch of one loader (its window's memory is warm after the first)."""
    loader = quarn_data.PositionLoader(paths, **options)
    epoch(loader)
    return best(lambda: epoch(loader), repeats)


def reference_loader(text: str, games: int, batch_size: int = 4096) -> int:
    """A python-chess loader: read, replay, packed masks, shuffled batches."""
    handle = io.StringIO(text)
    rows = []
    for _ in range(games):
        game = chess.pgn.read_game(handle)
        if game is None:
            break
        board = game.board()
        for move in game.mainline_moves():
            rows.append([board.pieces_mask(p, c) for p, c in ORDER])
            board.push(move)
    packed = np.array(rows, dtype=np.uint64)
    order = np.random.default_rng(0).permutation(len(packed))
    count = 0
    for start in range(0, len(order), batch_size):
        count += len(packed[order[start:start + batch_size]])
    return count


def peak_rss_mb(paths: list[str]) -> tuple[float, int]:
    """Peak resident memory (MB) of a fresh process that runs one loader epoch, and its count.
    The peak is the process's VmHWM, which starts afresh at exec (ru_maxrss would keep the
    resident size this process had when it forked the child)."""
    script = (
        "import quarn_data\n"
        f"n = sum(len(b['game']) for b in quarn_data.PositionLoader({paths!r}, window=10**6))\n"
        "hwm = [line for line in open('/proc/self/status') if line.startswith('VmHWM')][0]\n"
        "print(n, hwm.split()[1])\n"
    )
    done = subprocess.run([sys.executable, "-P", "-c", script], check=True, capture_output=True,
                          text=True)
    count, rss = done.stdout.split()
    return int(rss) / 1024, int(count)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=3000)
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--reference-games", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rss-gb", type=float, default=1.0)
    parser.add_argument("--output", type=Path, default=ROOT / "bench" / "results" / "loader.json")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()

    # The machine may be shared: its load when the run starts goes into the results.
    load = os.getloadavg()[0]
    pgn = lichess_pgn(args.games, 1)
    base = table_of(pgn)
    table = pa.concat_tables([base] * args.copies)
    rows = len(quarn_data.positions(base)["game"]) * args.copies
    results = []

    def row(job, value, unit, peer=None, peer_value=None, target=None):
        ratio = value / peer_value if peer_value else None
        results.append({"job": job, "value": round(value, 3), "unit": unit, "peer": peer,
                        "peer_value": None if peer_value is None else round(peer_value, 3),
                        "ratio": None if ratio is None else round(ratio, 2), "target": target})
        extra = f"  ({peer}: {peer_value:,.3f}, x{ratio:,.1f})" if peer_value else ""
        print(f"{job:<58} {value:>12,.3f} {unit}{extra}  [{target}]", flush=True)

    seconds = best(lambda: quarn_data.positions(table), args.repeats)
    row("positions(table), packed, one core", rows / seconds / 1e6, "M rows/s",
        target=">= 20 M rows/s")

    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for k in range(args.copies):
            path = Path(folder) / f"part-{k:03d}.parquet"
            write(base, path)
            paths.append(str(path))
        assert epoch(quarn_data.PositionLoader(paths)) == rows
        one = loader_rate(paths, args.repeats, threads=1)
        reference_text = pgn.decode()
        peer_seconds = best(lambda: reference_loader(reference_text, args.reference_games), 1)
        peer_rows = reference_loader(reference_text, args.reference_games)
        row("PositionLoader, shuffled packed batches of 4096, 1 thread", rows / one / 1e6,
            "M positions/s", "python-chess loader", peer_rows / peer_seconds / 1e6,
            ">= 8 M/s and >= 100 x python-chess")
        planes = loader_rate(paths, args.repeats, planes=True)
        row("PositionLoader, bool planes, 1 thread", rows / planes / 1e6, "M positions/s",
            target=">= 2 M/s")
        two = loader_rate(paths, args.repeats, threads=2)
        row("PositionLoader, 2 threads against 1", one / two, "x", target=">= 1.8 x")

        if args.rss_gb > 0:
            pgn_per_copy = len(pgn)
            copies = max(1, int(args.rss_gb * 2**30 / pgn_per_copy) + 1)
            big = pa.concat_tables([base] * min(copies, 64))
            files = []
            written = 0
            while written < copies:
                chunk = min(64, copies - written)
                path = Path(folder) / f"big-{len(files):03d}.parquet"
                write(big if chunk == 64 else pa.concat_tables([base] * chunk), path, 8192)
                files.append(str(path))
                written += chunk
            rss, count = peak_rss_mb(files)
            gigabytes = copies * pgn_per_copy / 2**30
            row(f"peak RSS, loader epoch over {gigabytes:.2f} GB of PGN as tables "
                f"({count / 1e6:.0f} M positions), window 10^6", rss, "MB", target="< 1024 MB")

    if not args.no_write:
        args.output.parent.mkdir(parents=True, exist_ok=True)
        args.output.write_text(json.dumps({
            "area": "loader",
            "machine": f"{platform.machine()}, {os.cpu_count()} cores, Python "
                       f"{platform.python_version()}, load average {load:.1f} at the start",
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "rows": results,
        }, indent=2) + "\n")
        print(f"written to {args.output}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
