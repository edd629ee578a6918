#!/usr/bin/env python3
"""Game tables: shard size against the PGN, PGN -> table against python-chess, and convert on one
and two local workers and on a Dask LocalCluster, side by side in one run.

    python bench/table_bench.py [--games N] [--reference-games N] [--parallel-mb MB]
                                [--repeats N] [--no-write]

Inputs (generated, never committed): Lichess-shaped PGN from bench/lichess_like.py (seventeen
tags, eval and clock on every move; --games games), and plain movetext: the games of
tests/data/random_games.pgn with their comments removed. Rows:

- shard bytes / PGN bytes: the Parquet files `python -m quarn_data convert` writes, for each input.
- PGN -> game table, one worker: pgn_to_table against a chess.pgn.read_game loop that walks the
  mainline (timed on the first --reference-games games of the same file, compared per byte).
- convert --workers 2 against --workers 1 (alternating rounds, best of --repeats; wall-clock, so
  they need idle cores), with the processor time both spend, and the same shards on a Dask
  LocalCluster (2 workers, loopback) against --workers 2.
- a machine check beside the parallel rows: two processes of pure Python work against one (about
  2× on two idle cores; less when other programs hold a core).
The table is printed and written to bench/results/tables.json.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import platform
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import chess
import chess.pgn

import quarn_data
from quarn_data.convert import convert

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "tests" / "data" / "random_games.pgn"
RESULTS = ROOT / "bench" / "results" / "tables.json"


def best(function, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return min(times)


def reference_read(text: str, games: int) -> int:
    """python-chess: read_game and walk the mainline; returns the characters read."""
    handle = io.StringIO(text)
    for _ in range(games):
        game = chess.pgn.read_game(handle)
        if game is None:
            break
        for _ in game.mainline_moves():
            pass
    return handle.tell()


def cpu_seconds() -> float:
    """Processor time of this process and its finished children."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


# Processor seconds of the timed local runs, by number of workers.
CPU: dict[int, list[float]] = {1: [], 2: []}


def run_convert(path: Path, out: Path, record: bool = False, **options) -> float:
    shutil.rmtree(out, ignore_errors=True)
    began, cpu = time.perf_counter(), cpu_seconds()
    convert([str(path)], str(out), progress=False, **options)
    if record:
        CPU[options["workers"]].append(cpu_seconds() - cpu)
    return time.perf_counter() - began


def burn(count: int) -> float:
    """Pure Python work, for the machine check."""
    total = 0
    for i in range(count):
        total += i * i
    return float(total)


def machine_scaling() -> float:
    """How much faster two processes do two pieces of CPU-bound work than one process: about 2
    on two idle cores, about 1 when other programs take a core. The parallel rows can do no
    better than this."""
    from concurrent.futures import ProcessPoolExecutor

    count = 10_000_000
    began = time.perf_counter()
    burn(count)
    burn(count)
    one = time.perf_counter() - began
    with ProcessPoolExecutor(2) as pool:
        list(pool.map(burn, [1, 1]))
        began = time.perf_counter()
        list(pool.map(burn, [count, count]))
        two = time.perf_counter() - began
    return one / two


def shard_ratio(path: Path, out: Path) -> float:
    run_convert(path, out)
    shards = sum(p.stat().st_size for p in out.glob("*.parquet"))
    return shards / path.stat().st_size


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=3000, help="Lichess-shaped games")
    parser.add_argument("--reference-games", type=int, default=300,
                        help="games python-chess reads for its figures")
    parser.add_argument("--parallel-mb", type=int, default=360,
                        help="input size of the --workers and Dask rows")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="quarn-table-bench-"))
    rows: list[dict] = []

    def add(job, value, unit, peer=None, peer_value=None, ratio=None, target=None):
        rows.append({"job": job, "value": value, "unit": unit, "peer": peer,
                     "peer_value": peer_value, "ratio": ratio, "target": target})
        extra = f"   {peer} {peer_value:,.2f} {unit}   {ratio:,.2f}×" if peer else ""
        print(f"{job:58} {value:14,.3f} {unit}{extra}   target {target}", file=sys.stderr,
              flush=True)

    try:
        lichess = work / "lichess.pgn"
        subprocess.run([sys.executable, str(ROOT / "bench" / "lichess_like.py"), str(lichess),
                        "--games", str(args.games), "--seed", "1"], check=True)
        # The sample once: repeated games would compress better than any real collection.
        plain = work / "plain.pgn"
        plain.write_text(re.sub(r" ?\{[^}]*\}", "", SAMPLE.read_text()))

        add("game-table shards / PGN bytes, Lichess-shaped PGN",
            shard_ratio(lichess, work / "s1"), "ratio", target="≤ 0.15")
        add("game-table shards / PGN bytes, plain movetext",
            shard_ratio(plain, work / "s2"), "ratio", target="≤ 0.25")
        add("game-table shards / PGN bytes, tests/data/random_games.pgn",
            shard_ratio(SAMPLE, work / "s3"), "ratio", target=None)

        # Speed on inputs of a few MB (the plain sample eight times over).
        plain_big = work / "plain_big.pgn"
        plain_big.write_text(plain.read_text() * 8)
        for name, path in (("Lichess-shaped", lichess), ("plain movetext", plain_big)):
            size = path.stat().st_size
            t = best(lambda: quarn_data.pgn_to_table(path), args.repeats)
            text = path.read_text()
            read = reference_read(text, args.reference_games)
            t_ref = best(lambda: reference_read(text, args.reference_games), args.repeats)
            ours, theirs = size / t / 1e6, read / t_ref / 1e6
            add(f"PGN -> game table, one worker ({name})", ours, "MB/s", "python-chess read_game",
                theirs, ours / theirs, "≥ 250×")

        big = work / "parallel.pgn"
        sample = lichess.read_bytes()
        with open(big, "wb") as file:
            while file.tell() < args.parallel_mb * 1_000_000:
                file.write(sample)
        mb = big.stat().st_size / 1e6
        shard = max(1 << 20, big.stat().st_size // 16)
        scaling_before = machine_scaling()
        rounds = []
        for _ in range(args.repeats):
            rounds.append((run_convert(big, work / "w1", True, workers=1, shard_bytes=shard),
                           run_convert(big, work / "w2", True, workers=2, shard_bytes=shard)))
            print(f"convert round: --workers 1 {rounds[-1][0]:.3f} s, --workers 2 "
                  f"{rounds[-1][1]:.3f} s", file=sys.stderr)
        one = min(r[0] for r in rounds)
        two = min(r[1] for r in rounds)
        add(f"convert --workers 2 ({mb:.0f} MB, 16 shards)", mb / two, "MB/s", "--workers 1",
            mb / one, one / two, "≥ 1.8×")
        # The work itself, whatever else the machine runs: processor seconds of all processes
        # and threads. One worker already parses a shard while a second thread writes the one
        # before, so on two cores two workers gain only what that thread leaves idle.
        cpu_one, cpu_two = min(CPU[1]), min(CPU[2])
        add("convert processor time, --workers 2 against 1", cpu_two, "s", "--workers 1",
            cpu_one, cpu_two / cpu_one, None)
        scaling = min(scaling_before, machine_scaling())
        add("machine check: 2 processes of pure Python against 1 (at the parallel rows)",
            scaling, "×", None, None, None, "2× on two idle cores")
        try:
            from distributed import LocalCluster

            with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                              dashboard_address=None) as cluster:
                # A first run warms the workers (imports); the best of the next ones counts.
                run_convert(big, work / "dask", scheduler=cluster.scheduler_address,
                            shard_bytes=shard)
                dask = best(lambda: run_convert(big, work / "dask",
                                                scheduler=cluster.scheduler_address,
                                                shard_bytes=shard), args.repeats)
            add("convert on a Dask LocalCluster (2 workers, loopback)", mb / dask, "MB/s",
                "--workers 2", mb / two, two / dask, "≥ 0.9× (≤ 10 % slower)")
        except ImportError:
            print("distributed is not installed: no Dask row", file=sys.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    result = {
        "area": "tables",
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
                   f"{platform.system()} {platform.release()}, Python "
                   f"{platform.python_version()}, python-chess {chess.__version__}; load "
                   + ", ".join(f"{x:.2f}" for x in os.getloadavg()),
        "date": time.strftime("%Y-%m-%d"),
        "rows": rows,
    }
    print(json.dumps(result, indent=2))
    if not args.no_write:
        RESULTS.parent.mkdir(parents=True, exist_ok=True)
        RESULTS.write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
        print(f"written to {RESULTS}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
