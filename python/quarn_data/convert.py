"""PGN files to game-table shards (Parquet), on local processes or a Dask cluster.

Each input is cut into pieces at game boundaries: piece k holds the games that start in bytes
[k * shard_bytes, (k + 1) * shard_bytes) of the (decompressed) input, so the cut depends only on
the input and the shard size, never on the number of workers. Piece k of ``games.pgn.zst``
becomes ``games-00000k.parquet``, a game table (see :mod:`quarn_data.tables`) whose metadata also
holds the piece's byte range, counts and refused games. A shard is written under a temporary
name and renamed when complete; a re-run skips the shards that exist and removes the temporary
files of writers that are gone, so a killed job resumes without losing or duplicating a game.
"""

from __future__ import annotations

import contextlib
import io
import json
import multiprocessing
import os
import re
import socket
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures import wait
from dataclasses import dataclass, field
from typing import Any

from quarn_data.pgn import CHUNK_SIZE, GameError, PgnSourceError, iter_chunks, open_source
from quarn_data.tables import REPORT_KEY, _pyarrow, pgn_to_table, write_table

__all__ = ["Options", "Shard", "Summary", "convert", "plan_shards", "remove_stale_temporaries",
           "shard_name"]

#: Default size of the input behind one shard (decompressed bytes).
SHARD_BYTES = 16 << 20


@dataclass(frozen=True)
class Options:
    """What every shard is converted with (the filters of :func:`quarn_data.pgn_to_table`)."""

    min_elo: int | None = None
    time_control: tuple[float | None, float | None] | None = None
    events: tuple[str, ...] | None = None
    terminations: tuple[str, ...] | None = None
    finished_only: bool = True


@dataclass
class Shard:
    """Piece ``index`` of ``path``: bytes [start, end) of the decompressed input. ``data`` holds
    the bytes for compressed inputs; plain files are read by the worker itself."""

    path: str
    index: int
    start: int
    end: int
    output: str
    data: bytes | None = None


@dataclass
class Summary:
    shards: int = 0
    skipped: int = 0
    bytes: int = 0
    seconds: float = 0.0
    counts: dict[str, int] = field(default_factory=dict)
    errors: list[dict[str, Any]] = field(default_factory=list)

    def add(self, result: dict[str, Any]) -> None:
        self.shards += 1
        self.bytes += result["bytes"]
        for key, value in result["counts"].items():
            self.counts[key] = self.counts.get(key, 0) + value
        if len(self.errors) < 1000:
            self.errors.extend(result["errors"][: 1000 - len(self.errors)])


def shard_name(path: str, index: int) -> str:
    """``games.pgn.zst`` piece 3 -> ``games-000003.parquet``."""
    base = os.path.basename(path)
    for suffix in (".zst", ".zstd", ".gz", ".bz2"):
        if base.lower().endswith(suffix):
            base = base[: -len(suffix)]
    if base.lower().endswith(".pgn"):
        base = base[:-4]
    return f"{base}-{index:06d}.parquet"


def _is_plain(path: str) -> bool:
    return not path.lower().endswith((".zst", ".zstd", ".gz", ".bz2"))


# A game starts at a '[' that opens a line after a blank line.
_GAME_START = re.compile(rb"\n[ \t\r]*\n\[")
# How far before a cut point the blank line is looked for.
_LOOKBACK = 64


def _game_start(data: bytes | bytearray, at: int) -> int:
    """The first game start at or after ``at`` in ``data`` (0 for ``at == 0``); len(data) when
    there is none."""
    if at == 0:
        return 0
    pos = max(0, at - _LOOKBACK)
    while True:
        match = _GAME_START.search(data, pos)
        if match is None:
            return len(data)
        start = match.end() - 1
        if start >= at:
            return start
        pos = match.start() + 1


def _plain_boundaries(path: str, shard_bytes: int) -> list[int]:
    """Piece boundaries of a plain file: the first game start at or after each target, the next
    target shard_bytes further on. Read with seeks, a small window at a time."""
    size = os.path.getsize(path)
    bounds = [0]
    target = shard_bytes
    with open(path, "rb") as file:
        while target < size:
            begin = max(bounds[-1], target - _LOOKBACK)
            window = 1 << 16
            while True:
                file.seek(begin)
                data = file.read(target - begin + window)
                start = _game_start(data, target - begin)
                if start < len(data) or begin + len(data) >= size:
                    break
                window *= 4
            found = begin + start
            if found >= size:
                break
            bounds.append(found)
            target = max(found + 1, target + shard_bytes)
    bounds.append(size)
    return bounds


def _stream_pieces(path: str, shard_bytes: int,
                   failures: list[dict[str, Any]]) -> Iterator[tuple[int, bytes]]:
    """(start, bytes) of the pieces of a compressed input, cut by the same rule. A stream that
    fails mid-way ends the input there: the failure goes to ``failures``, and the game it cut
    short is reported as truncated by its shard."""
    pending = bytearray()
    pending_start = 0
    target = shard_bytes
    with open_source(path) as file:
        chunks = iter_chunks(file, CHUNK_SIZE)
        while True:
            try:
                chunk = next(chunks)
            except StopIteration:
                break
            except PgnSourceError as error:
                failures.append({"kind": "truncated", "game": -1,
                                 "offset": pending_start + len(pending),
                                 "message": f"{path}: {error}"})
                break
            pending += chunk
            while target < pending_start + len(pending):
                cut = _game_start(pending, target - pending_start)
                if cut >= len(pending):
                    break
                yield pending_start, bytes(pending[:cut])
                del pending[:cut]
                pending_start += cut
                target = max(pending_start + 1, target + shard_bytes)
    if pending:
        yield pending_start, bytes(pending)


def plan_shards(paths: list[str], out_dir: str, shard_bytes: int = SHARD_BYTES,
                failures: list[dict[str, Any]] | None = None) -> Iterator[Shard]:
    """The shards of every input in order. Compressed inputs are decompressed here, once;
    their read failures are appended to ``failures``."""
    if failures is None:
        failures = []
    for path in paths:
        if _is_plain(path):
            bounds = _plain_boundaries(path, shard_bytes)
            for index in range(len(bounds) - 1):
                output = os.path.join(out_dir, shard_name(path, index))
                yield Shard(path, index, bounds[index], bounds[index + 1], output)
        else:
            for index, (start, data) in enumerate(_stream_pieces(path, shard_bytes, failures)):
                output = os.path.join(out_dir, shard_name(path, index))
                yield Shard(path, index, start, start + len(data), output,
                            None if os.path.exists(output) else data)


class _Range:
    """Bytes [start, end) of a file, read in chunks (no copy of the whole piece in memory)."""

    def __init__(self, path: str, start: int, end: int) -> None:
        self._file = open(path, "rb")
        self._file.seek(start)
        self._left = end - start

    def read(self, size: int = -1) -> bytes:
        if size < 0 or size > self._left:
            size = self._left
        data = self._file.read(size)
        self._left -= len(data)
        return data

    def close(self) -> None:
        self._file.close()


def _read_shard(shard: Shard, options: Options) -> tuple[Any, dict[str, Any]]:
    """The game table of one shard (its metadata holding the piece's range, counts and refused
    games) and its result without the time taken."""
    source: Any = (io.BytesIO(shard.data) if shard.data is not None
                   else _Range(shard.path, shard.start, shard.end))
    try:
        table = pgn_to_table(
            source,
            min_elo=options.min_elo,
            time_control=options.time_control,
            events=options.events,
            terminations=options.terminations,
            finished_only=options.finished_only,
            name=os.path.basename(shard.path),
            offset=shard.start,
        )
    finally:
        source.close()
    report = json.loads(table.schema.metadata[REPORT_KEY])
    report.update(source=os.path.basename(shard.path), shard=shard.index, start=shard.start,
                  end=shard.end)
    metadata = dict(table.schema.metadata)
    metadata[REPORT_KEY] = json.dumps(report).encode()
    table = table.replace_schema_metadata(metadata)
    return table, {"bytes": shard.end - shard.start, "counts": report["counts"],
                   "errors": report["errors"]}


# Temporary shard names: <shard>.tmp-<host>-<pid>. A later run on the same host removes those
# whose process is gone; another host's are left alone (their writer may be running).
_TEMPORARY = re.compile(r"^(?P<shard>.+-\d{6}\.parquet)\.tmp-(?P<host>.+)-(?P<pid>\d+)$")


def _temporary_name(output: str) -> str:
    return f"{output}.tmp-{socket.gethostname()}-{os.getpid()}"


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale_temporaries(out_dir: str) -> list[str]:
    """Removes the temporary shard files in ``out_dir`` left by writers of this host that are
    gone (a killed run); returns their names."""
    host = socket.gethostname()
    removed = []
    for name in sorted(os.listdir(out_dir)):
        match = _TEMPORARY.match(name)
        if match is None or match["host"] != host or _process_alive(int(match["pid"])):
            continue
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(out_dir, name))
            removed.append(name)
    return removed


# Folders this process has removed dead writers' temporary files from.
_CLEANED: set[str] = set()


def _write_shard(shard: Shard, table: Any, options: Options) -> None:
    """Writes a shard under a temporary name and renames it when complete. The first shard a
    process writes into a folder removes the temporary files of dead writers of its host there
    first (on a cluster, the client only sees its own host's)."""
    folder = os.path.dirname(shard.output) or "."
    if folder not in _CLEANED:
        remove_stale_temporaries(folder)
        _CLEANED.add(folder)
    temporary = _temporary_name(shard.output)
    try:
        write_table(table, temporary)
    except BaseException:
        # A failed write (a full disk, a device error) leaves no part of a shard behind.
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    os.replace(temporary, shard.output)


def convert_shard(shard: Shard, options: Options) -> dict[str, Any]:
    """Converts one shard and writes it (temporary name, then rename). A pure function of its
    inputs: running it twice writes the same file."""
    began = time.perf_counter()
    table, result = _read_shard(shard, options)
    _write_shard(shard, table, options)
    result["seconds"] = time.perf_counter() - began
    return result


def _convert_in_turn(shards: Iterable[Shard],
                     options: Options) -> Iterator[tuple[Shard, dict[str, Any]]]:
    """``convert_shard`` for each shard in turn, yielding (shard, result) once a shard is
    written. Each shard is written (compressed) by a second thread while the next one is read;
    both run mostly without the interpreter lock. At most two shards' tables are held at a
    time."""
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quarn-shard-writer") as writer:
        pending: tuple[Shard, float, dict[str, Any], Future[None]] | None = None
        for shard in shards:
            began = time.perf_counter()
            table, result = _read_shard(shard, options)
            if pending is not None:
                yield _written(*pending)
            pending = (shard, began, result, writer.submit(_write_shard, shard, table, options))
            del table
        if pending is not None:
            yield _written(*pending)


def _written(shard: Shard, began: float, result: dict[str, Any],
             write: Future[None]) -> tuple[Shard, dict[str, Any]]:
    write.result()
    result["seconds"] = time.perf_counter() - began
    return shard, result


def _convert_run(shards: list[Shard], options: Options) -> list[dict[str, Any]]:
    """The results of consecutive shards converted by one worker process."""
    return [result for _, result in _convert_in_turn(shards, options)]


def _progress(total: int | None, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        print("quarn_data: install tqdm for a progress bar (pip install tqdm)", file=sys.stderr)
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc="convert",
                smoothing=0.1)


def convert(
    paths: list[str],
    out_dir: str,
    *,
    options: Options | None = None,
    workers: int = 1,
    scheduler: str | None = None,
    shard_bytes: int = SHARD_BYTES,
    progress: bool = True,
    on_result: Callable[[Shard, dict[str, Any]], None] | None = None,
) -> Summary:
    """Converts every shard of ``paths`` that ``out_dir`` does not hold yet into game tables, on
    ``workers`` local processes (1: in this process) or on the Dask cluster at ``scheduler``.
    Temporary files of earlier runs on this host whose writer process is gone are removed
    first."""
    options = options or Options()
    os.makedirs(out_dir, exist_ok=True)
    remove_stale_temporaries(out_dir)
    for path in paths:
        if not os.path.exists(path):
            raise FileNotFoundError(path)
    total = sum(os.path.getsize(p) for p in paths) if all(map(_is_plain, paths)) else None
    summary = Summary()
    began = time.perf_counter()
    # Local workers start before the progress bar, whose thread would make forking unsafe.
    pool = _start_pool(workers) if scheduler is None and workers > 1 else None
    bar = _progress(total, progress)

    def done(shard: Shard, result: dict[str, Any]) -> None:
        summary.add(result)
        if on_result is not None:
            on_result(shard, result)
        if bar is not None:
            bar.update(result["bytes"])
            bar.set_postfix(games=summary.counts.get("games", 0),
                            positions=summary.counts.get("positions", 0), refresh=False)

    def skip(shard: Shard) -> None:
        summary.skipped += 1
        if bar is not None:
            bar.update(shard.end - shard.start)

    failures: list[dict[str, Any]] = []
    shards = plan_shards(paths, out_dir, shard_bytes, failures)
    try:
        if scheduler is not None:
            _run_dask(shards, options, scheduler, workers, done, skip)
        elif workers <= 1:
            def fresh() -> Iterator[Shard]:
                for shard in shards:
                    if os.path.exists(shard.output):
                        skip(shard)
                    else:
                        yield shard

            for shard, result in _convert_in_turn(fresh(), options):
                done(shard, result)
        else:
            assert pool is not None
            local = pool
            _run_bounded(shards, lambda run: local.submit(_convert_run, run, options), _RUN,
                         (workers + 1) * _RUN, done, skip, lambda f: f.result(), _wait_local)
    finally:
        if bar is not None:
            bar.close()
        if pool is not None:
            pool.shutdown(cancel_futures=True)
    summary.seconds = time.perf_counter() - began
    summary.errors[:0] = failures
    summary.counts["bad"] = summary.counts.get("bad", 0) + len(failures)
    return summary


def _start_pool(workers: int) -> ProcessPoolExecutor:
    """``workers`` processes, started now. A process that runs only this thread forks them: they
    start within milliseconds, with NumPy, pyarrow and the native modules already imported.
    Otherwise forking could copy a lock that another thread holds, and they come from a fork
    server, which imports those modules once (a fraction of a second) before forking them."""
    # Imported here, once, rather than by every worker at its first shard (pyarrow takes a few
    # tenths of a second to import, as long as converting several shards).
    _pyarrow()
    context: Any
    if threading.active_count() == 1 and "fork" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("fork")
    else:
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["quarn_data.convert", "pyarrow.parquet"])
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=context)
    try:
        # The first task starts every worker (forked at once with this start method).
        pool.submit(os.getpid).result()
    except BaseException:
        pool.shutdown(cancel_futures=True)
        raise
    return pool


def _wait_local(futures: set[Any]) -> set[Any]:
    finished, _ = wait(futures, return_when=FIRST_COMPLETED)
    return set(finished)


# Consecutive shards per task of the local pool or a Dask cluster: a worker writes each shard of
# its run while it reads the next one (see _convert_in_turn).
_RUN = 2


def _run_bounded(
    shards: Iterator[Shard],
    submit: Callable[[list[Shard]], Any],
    run: int,
    limit: int,
    done: Callable[[Shard, dict[str, Any]], None],
    skip: Callable[[Shard], None],
    result_of: Callable[[Any], list[dict[str, Any]]],
    wait_some: Callable[[set[Any]], set[Any]],
) -> None:
    """Hands out the shards still to do in tasks of up to ``run`` of them, in order, keeping at
    most ``limit`` shards in flight, so memory stays bounded for any input size."""
    running: dict[Any, list[Shard]] = {}
    in_flight = 0

    def collect() -> None:
        nonlocal in_flight
        for future in wait_some(set(running)):
            finished = running.pop(future)
            in_flight -= len(finished)
            for shard, result in zip(finished, result_of(future), strict=True):
                done(shard, result)

    def start(group: list[Shard]) -> None:
        nonlocal in_flight
        while running and in_flight + len(group) > limit:
            collect()
        running[submit(group)] = group
        in_flight += len(group)

    group: list[Shard] = []
    for shard in shards:
        if os.path.exists(shard.output):
            skip(shard)
            continue
        group.append(shard)
        if len(group) == run:
            start(group)
            group = []
    if group:
        start(group)
    while running:
        collect()


def _run_dask(
    shards: Iterator[Shard],
    options: Options,
    scheduler: str,
    workers: int,
    done: Callable[[Shard, dict[str, Any]], None],
    skip: Callable[[Shard], None],
) -> None:
    try:
        from distributed import Client
        from distributed import wait as dask_wait
    except ImportError as error:
        raise ImportError(
            "--scheduler needs Dask's distributed package: pip install 'quarn-chess[dask]'"
        ) from error
    with Client(scheduler) as client:
        limit = (max(workers, len(client.scheduler_info().get("workers", {}))) + 1) * _RUN

        def wait_some(futures: set[Any]) -> set[Any]:
            finished = dask_wait(list(futures), return_when="FIRST_COMPLETED").done
            return set(finished)

        _run_bounded(shards, lambda run: client.submit(_convert_run, run, options, pure=False),
                     _RUN, limit, done, skip, lambda f: f.result(), wait_some)


def report(summary: Summary, file: Any = sys.stderr) -> None:
    c = summary.counts
    mb = summary.bytes / (1 << 20)
    rate = mb / summary.seconds if summary.seconds > 0 else 0.0
    print(
        f"{summary.shards} shards written, {summary.skipped} already done; "
        f"{c.get('games', 0)} games read: {c.get('good', 0)} kept, {c.get('bad', 0)} bad, "
        f"{c.get('filtered', 0)} filtered, {c.get('variant', 0)} other variants, "
        f"{c.get('unfinished', 0)} unfinished; {c.get('positions', 0)} positions; "
        f"{mb:.1f} MB in {summary.seconds:.2f} s ({rate:.1f} MB/s, "
        f"{c.get('positions', 0) / max(summary.seconds, 1e-9):,.0f} positions/s)",
        file=file,
    )
    for error in summary.errors[:20]:
        print(f"  {error['message']}", file=file)
    if len(summary.errors) > 20:
        print(f"  ... {len(summary.errors) - 20} more errors in the shards' metadata", file=file)


__all__ += ["GameError", "PgnSourceError", "report", "convert_shard"]
