"""python -m quarn_data convert INPUT... --out DIR: PGN files to game-table shards (Parquet)."""

from __future__ import annotations

import argparse
import sys

from quarn_data.convert import SHARD_BYTES, Options, convert, report


def _time_bound(text: str) -> float | None:
    return None if text in ("", "-") else float(text)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quarn_data")
    commands = parser.add_subparsers(dest="command", required=True)
    c = commands.add_parser(
        "convert",
        help="PGN files (.pgn, .pgn.zst, .pgn.gz, .pgn.bz2) to game-table shards (.parquet)",
        description="One game table (a Parquet file, one row per game) per piece of input, cut "
        "at game boundaries every --shard-mb of decompressed PGN. Finished shards are skipped "
        "and the temporary files of killed runs removed, so a re-run resumes.",
    )
    c.add_argument("inputs", nargs="+", metavar="INPUT")
    c.add_argument("--out", required=True, metavar="DIR", help="directory for the shards")
    c.add_argument("--workers", type=int, default=1, help="local processes (default 1)")
    c.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the shards on this Dask distributed scheduler instead")
    c.add_argument("--shard-mb", type=float, default=SHARD_BYTES / (1 << 20),
                   help="decompressed PGN per shard in MiB (default %(default)s)")
    c.add_argument("--min-elo", type=int, help="keep games whose players both have this Elo")
    c.add_argument("--time-control", nargs=2, metavar=("LOW", "HIGH"),
                   help="bounds in seconds on base + 40 * increment ('-' for none)")
    c.add_argument("--event", action="append", help="allowed Event value (repeatable)")
    c.add_argument("--termination", action="append", help="allowed Termination (repeatable)")
    c.add_argument("--keep-unfinished", action="store_true", help="keep games with result '*'")
    c.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)

    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.shard_mb <= 0:
        parser.error("--shard-mb must be positive")
    time_control = None
    if args.time_control:
        time_control = (_time_bound(args.time_control[0]), _time_bound(args.time_control[1]))
    options = Options(
        min_elo=args.min_elo,
        time_control=time_control,
        events=tuple(args.event) if args.event else None,
        terminations=tuple(args.termination) if args.termination else None,
        finished_only=not args.keep_unfinished,
    )
    try:
        summary = convert(
            args.inputs,
            args.out,
            options=options,
            workers=args.workers,
            scheduler=args.scheduler,
            shard_bytes=max(1, int(args.shard_mb * (1 << 20))),
            progress=not args.quiet,
        )
    except (OSError, ImportError, ValueError) as error:
        print(f"quarn_data convert: {error}", file=sys.stderr)
        return 1
    report(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
