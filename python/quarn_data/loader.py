"""Positions and move sequences from game tables, for training loops.

:func:`positions` expands the games of a table into position rows; :class:`PositionLoader` and
:class:`GameLoader` read game-table files in shuffled batches. The decoding (every move token
replayed and checked on a board), the shuffling window and the gathering of batches run in
native code with the interpreter lock released; this module reads the Parquet files with
pyarrow and hands their Arrow buffers over without copying them.
"""

from __future__ import annotations

import atexit
import os
import queue
import threading
import warnings
from collections.abc import Generator, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from quarn_data import _loader
from quarn_data import pgn as _pgn_py
from quarn_data.tables import GameTableError, _pyarrow, check_version

__all__ = [
    "BadGameWarning",
    "GameLoader",
    "LoaderFault",
    "PositionLoader",
    "POSITION_COLUMNS",
    "positions",
    "split_part",
]

#: The position columns, in the order of pgn_to_arrays, with their dtypes (the pieces column,
#: ``packed`` or ``planes``, comes first and is always there).
POSITION_COLUMNS: dict[str, Any] = _pgn_py.POSITION_COLUMNS

Path = Union[str, "os.PathLike[str]"]


#: The table columns decoding reads.
_TABLE_COLUMNS = ["moves", "fen", "result", "white_elo", "black_elo", "game", "eval", "mate",
                  "clock"]

#: The default shuffling window: 2^20 positions (about 134 MB of decoded positions).
DEFAULT_WINDOW = 1 << 20


class BadGameWarning(UserWarning):
    """A game of a table that could not be decoded was skipped (see ``PositionLoader.errors``)."""


@dataclass(frozen=True)
class LoaderFault:
    """A game skipped by a loader: the file, its row group, the game's row within the file,
    the ``game`` column's value and a message naming the ply and token."""

    path: str
    row_group: int
    row: int
    game: int
    message: str

    def __str__(self) -> str:
        return f"{self.path}, row group {self.row_group}: {self.message}"


# --- Arrow buffers to native batch layouts -----------------------------------------------------


def _types() -> dict[str, Any]:
    pa = _pyarrow()
    return {
        "moves": pa.list_(pa.uint16()),
        "fen": pa.string(),
        "result": pa.int8(),
        "white_elo": pa.int16(),
        "black_elo": pa.int16(),
        "game": pa.int64(),
        "eval": pa.list_(pa.int16()),
        "mate": pa.list_(pa.int16()),
        "clock": pa.list_(pa.int32()),
    }


def _column(batch: Any, name: str, wanted: Any) -> Any:
    """The column as an array of the wanted type (cast when it is stored otherwise), or None."""
    pa = _pyarrow()
    index = batch.schema.get_field_index(name)
    if index < 0:
        return None
    array = batch.column(index)
    if pa.types.is_null(array.type):
        return None
    if array.type != wanted:
        try:
            array = array.cast(wanted)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
            raise GameTableError(
                f"column {name} of type {array.type} cannot be read as {wanted}: {error}"
            ) from error
    return array


def _list_layout(array: Any) -> tuple[Any, ...] | None:
    if array is None:
        return None
    buffers = array.buffers()
    if len(buffers) == 3:  # a string column: validity, offsets, bytes
        return (buffers[0], array.offset, buffers[1], None, 0, buffers[2])
    return (buffers[0], array.offset, buffers[1], buffers[2], array.values.offset, buffers[3])


def _value_layout(array: Any) -> tuple[Any, ...] | None:
    if array is None:
        return None
    buffers = array.buffers()
    return (buffers[0], array.offset, buffers[1])


def _batch_layout(batch: Any, first_game: int = 0) -> tuple[Any, ...]:
    """The native view of a record batch of a game table: its buffers, not copies."""
    types = _types()
    moves = _column(batch, "moves", types["moves"])
    if moves is None:
        raise GameTableError("the table has no moves column")
    columns = {name: _column(batch, name, types[name]) for name in _TABLE_COLUMNS[1:]}
    return (
        batch.num_rows,
        first_game,
        _list_layout(moves),
        _list_layout(columns["fen"]),
        _value_layout(columns["result"]),
        _value_layout(columns["white_elo"]),
        _value_layout(columns["black_elo"]),
        _value_layout(columns["game"]),
        _list_layout(columns["eval"]),
        _list_layout(columns["mate"]),
        _list_layout(columns["clock"]),
    )


def _new_columns(rows: int, planes: bool, names: Sequence[str]) -> dict[str, np.ndarray]:
    out: dict[str, np.ndarray] = {}
    if planes:
        out["planes"] = np.empty((rows, 12, 64), dtype=np.bool_)
    else:
        out["packed"] = np.empty((rows, 12), dtype=np.uint64)
    for name in names:
        out[name] = np.empty(rows, dtype=POSITION_COLUMNS[name])
    return out


def _cached_columns(rows: int, planes: bool) -> dict[str, np.ndarray]:
    """Columns for positions(): memory that earlier results freed is reused (warm pages, the
    cache pgn_to_arrays shares), so that a loop over tables does not pay a page fault a page."""
    out: dict[str, np.ndarray] = {}
    order = ["packed", "planes", *POSITION_COLUMNS]
    for slot, name in enumerate(order):
        if name == ("packed" if planes else "planes"):
            continue
        dtype: Any = POSITION_COLUMNS.get(name)
        shape: tuple[int, ...] = (rows,)
        if name == "planes":
            dtype, shape = np.bool_, (rows, 12, 64)
        elif name == "packed":
            dtype, shape = np.uint64, (rows, 12)
        size = int(np.prod(shape)) * np.dtype(dtype).itemsize
        out[name] = np.frombuffer(_loader.column(slot, size), dtype=dtype).reshape(shape)
    return out


def _out_tuple(columns: dict[str, np.ndarray]) -> tuple[Any, ...]:
    order = ["packed", "planes", *POSITION_COLUMNS]
    return tuple(columns.get(name) for name in order)


# --- positions ---------------------------------------------------------------------------------


def positions(table: Any, *, planes: bool = False, flip: bool = False) -> dict[str, np.ndarray]:
    """Every position of every game of a game table, as the columns of ``pgn_to_arrays``.

    Parameters
    ----------
    table : pyarrow.Table or pyarrow.RecordBatch
        A game table (see :mod:`quarn_data.tables`); only ``moves`` is required. ``fen``,
        ``result``, ``white_elo``, ``black_elo``, ``game``, ``eval``, ``mate`` and ``clock`` are
        read when present. Chunked columns are read chunk by chunk without copies.
    planes : bool
        ``planes`` bool ``(N, 12, 64)`` instead of ``packed`` uint64 ``(N, 12)``.
    flip : bool
        With black to move, the position seen from black's side as ``quarn_data.packed(board,
        flip=True)`` shows it: ranks mirrored and colours exchanged (entries 0..5 are the mover's
        pieces); ``castling`` then holds the mover's rights first (bits k q K Q), and ``move``'s
        squares are mirrored too (``square ^ 56``), so that the move stays the one played on the
        board shown. ``turn`` always names the real side to move.

    Returns
    -------
    dict[str, numpy.ndarray]
        One row per position (the position before the move), games in table order, all of length
        N: the pieces column, then ``turn`` uint8, ``castling`` uint8, ``ep_file`` int8,
        ``halfmove`` uint16 (the FEN's clock, then kept), ``move`` uint16 (from * 64 + to),
        ``promotion`` uint8, ``game`` int64 (the ``game`` column, else the row number), ``ply``
        uint16, ``result`` int8 (null: 0), ``white_elo`` / ``black_elo`` int16 (null: -1),
        ``eval`` float32 (centipawns; NaN where null), ``mate`` int16 (0 where null), ``clock``
        float32 (seconds; NaN where null). Without ``flip``, row for row what ``pgn_to_arrays``
        gives for the PGN the table was written from.

    Raises
    ------
    GameTableError
        A token that is not a legal move of its position (or names no promotion piece), a FEN
        that is no legal position, list offsets out of bounds, a column of a type that does not
        convert: the message names the game (and ply and token).
    """
    pa = _pyarrow()
    if isinstance(table, pa.RecordBatch):
        batches = [table]
    elif isinstance(table, pa.Table):
        batches = table.to_batches()
    else:
        raise TypeError(
            f"table must be a pyarrow Table or RecordBatch, not {type(table).__name__!r}"
        )
    layouts = []
    total = 0
    first = 0
    for batch in batches:
        layout = _batch_layout(batch, first)
        try:
            count, _ = _loader.plies(layout)
        except ValueError as error:
            raise GameTableError(str(error)) from error
        layouts.append((layout, total))
        total += count
        first += batch.num_rows
    columns = _cached_columns(total, planes)
    out = _out_tuple(columns)
    for layout, row in layouts:
        try:
            _loader.decode(layout, out, row, bool(flip))
        except ValueError as error:
            raise GameTableError(str(error)) from error
    return columns


# --- files and the split of the work -----------------------------------------------------------


def split_part(rank: int, world_size: int, worker: int = 0, workers: int = 1) -> tuple[int, int]:
    """The part of the games a data-loader worker of a rank reads: ``(part, parts)`` with
    ``part = rank * workers + worker`` and ``parts = world_size * workers``. Parts are disjoint
    and together cover every game (see :class:`PositionLoader`)."""
    return rank * workers + worker, world_size * workers


@dataclass(frozen=True)
class _File:
    path: str
    row_groups: tuple[int, ...]  # games per row group


def _expand(paths: Path | Sequence[Path]) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if not isinstance(paths, Sequence):
        raise TypeError(
            f"paths must be a path or a sequence of paths, not {type(paths).__name__!r}"
        )
    names: list[str] = []
    for item in paths:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"paths: {item!r} is not a path")
        name = os.fspath(item)
        if os.path.isdir(name):
            names.extend(
                os.path.join(name, entry) for entry in sorted(os.listdir(name))
                if entry.endswith(".parquet")
            )
        else:
            names.append(name)
    if not names:
        raise ValueError("paths is empty: give at least one game-table file")
    return names


def _open(path: str) -> Any:
    pa = _pyarrow()
    try:
        parquet = pa.parquet.ParquetFile(path)
    except (OSError, pa.ArrowException) as error:
        raise GameTableError(f"{path}: cannot be read as a game table: {error}") from error
    check_version(parquet.schema_arrow.metadata, path)
    if parquet.schema_arrow.get_field_index("moves") < 0:
        raise GameTableError(f"{path}: not a game table (no moves column)")
    return parquet


def _describe(path: str) -> _File:
    parquet = _open(path)
    meta = parquet.metadata
    return _File(path, tuple(meta.row_group(i).num_rows for i in range(meta.num_row_groups)))


def _count(name: str, value: Any, low: int, what: str = "") -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__!r}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}{what}, not {value}")
    return int(value)


def _blocks(files: Sequence[_File], part: int, parts: int) -> list[tuple[int, int, int, int]]:
    """(file, row group, first row, end row) of the games of a part: games numbered across the
    files in order, part p takes games [p * G // parts, (p + 1) * G // parts)."""
    total = sum(sum(f.row_groups) for f in files)
    low, high = part * total // parts, (part + 1) * total // parts
    blocks = []
    start = 0
    for index, f in enumerate(files):
        for group, rows in enumerate(f.row_groups):
            a, b = max(low, start), min(high, start + rows)
            if a < b:
                blocks.append((index, group, a - start, b - start))
            start += rows
    return blocks


def _rows_before(f: _File, group: int) -> int:
    return sum(f.row_groups[:group])


#: The prefetch threads alive, with their stop events. At exit they are stopped and joined: a
#: daemon thread still in native code while the process tears down its static objects could
#: touch freed memory.
_LIVE: set[tuple[threading.Thread, threading.Event]] = set()


@atexit.register
def _stop_prefetching() -> None:
    entries = list(_LIVE)
    for _, stop in entries:
        stop.set()
    for thread, _ in entries:
        if thread is not threading.current_thread():
            thread.join(timeout=10)


def _put(items: queue.Queue[tuple[str, Any]], stop: threading.Event,
         item: tuple[str, Any]) -> bool:
    while not stop.is_set():
        try:
            items.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def _produce(source: Iterator[Any], items: queue.Queue[tuple[str, Any]],
             stop: threading.Event) -> None:
    """The prefetch thread. It holds no reference to its _Prefetch, so that dropping the
    consumer's iterator stops it."""
    try:
        for item in source:
            if not _put(items, stop, ("item", item)):
                return
        _put(items, stop, ("end", None))
    except BaseException as error:  # handed to the consumer
        _put(items, stop, ("error", error))
    finally:
        close = getattr(source, "close", None)
        if close is not None:
            close()
        _LIVE.discard((threading.current_thread(), stop))


class _Prefetch:
    """Runs a generator in a thread `ahead` items ahead of its consumer; errors travel to the
    consumer. Dropping the iterator (or close()) stops the thread at its next item."""

    def __init__(self, source: Iterator[Any], ahead: int = 1) -> None:
        self._queue: queue.Queue[tuple[str, Any]] = queue.Queue(maxsize=ahead)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=_produce, args=(source, self._queue, self._stop),
                                        daemon=True)
        _LIVE.add((self._thread, self._stop))
        self._thread.start()

    def __iter__(self) -> _Prefetch:
        return self

    def __next__(self) -> Any:
        if self._stop.is_set():
            raise StopIteration
        kind, value = self._queue.get()
        if kind == "item":
            return value
        self._stop.set()
        if kind == "error":
            raise value
        raise StopIteration

    def close(self) -> None:
        self._stop.set()

    def __del__(self) -> None:
        self._stop.set()


class _TableReader:
    """Record batches of the blocks of one epoch, games of a row group in bounded slices."""

    def __init__(self, files: Sequence[_File], columns: list[str], games_per_read: int,
                 threads: bool = False) -> None:
        self._files = files
        self._columns = columns
        self._games_per_read = games_per_read
        self._threads = threads  # pyarrow decodes the columns of a read in parallel
        self._open: dict[int, Any] = {}

    def batches(self, block: tuple[int, int, int, int]) -> Iterator[tuple[Any, int]]:
        """(record batch, its first row in the file) of the block's games."""
        pa = _pyarrow()
        index, group, first, end = block
        f = self._files[index]
        parquet = self._open.get(index)
        if parquet is None:
            parquet = _open(f.path)
            if len(self._open) >= _MIXED_BLOCKS:
                self._open.pop(next(iter(self._open)))
            self._open[index] = parquet
        present = [c for c in self._columns if parquet.schema_arrow.get_field_index(c) >= 0]
        base = _rows_before(f, group)
        row = 0
        try:
            for batch in parquet.iter_batches(batch_size=self._games_per_read,
                                              row_groups=[group], columns=present,
                                              use_threads=self._threads):
                a, b = max(first, row), min(end, row + batch.num_rows)
                if a < b:
                    yield batch.slice(a - row, b - a), base + a
                row += batch.num_rows
                if row >= end:
                    break
        except (OSError, pa.ArrowException) as error:
            raise GameTableError(
                f"{f.path}, row group {group}: cannot be read: {error}"
            ) from error


#: Row groups read side by side, so that a window mixes games of several row groups (and files)
#: even where one row group holds more positions than the window.
_MIXED_BLOCKS = 8


def _mixed(reader: _TableReader, blocks: list[tuple[int, int, int, int]],
           rng: np.random.Generator | None) -> Iterator[tuple[Any, tuple[int, int, int, int], int]]:
    """(record batch, block, first row) of every block: with an rng, each read comes from one of
    up to _MIXED_BLOCKS open blocks picked at random (blocks open in their given order);
    without, block after block."""
    if rng is None:
        for block in blocks:
            for batch, first_row in reader.batches(block):
                yield batch, block, first_row
        return
    waiting = iter(blocks)
    active: list[tuple[tuple[int, int, int, int], Iterator[tuple[Any, int]]]] = []
    while True:
        while len(active) < _MIXED_BLOCKS:
            following = next(waiting, None)
            if following is None:
                break
            active.append((following, reader.batches(following)))
        if not active:
            return
        pick = int(rng.integers(len(active)))
        block, batches = active[pick]
        item = next(batches, None)
        if item is None:
            active.pop(pick)
            continue
        yield item[0], block, item[1]


# --- PositionLoader ----------------------------------------------------------------------------


class PositionLoader:
    """Shuffled batches of positions from game-table files, for a training loop.

    Parameters
    ----------
    paths : path or sequence of paths
        Game-table files (``.parquet``); a directory stands for its ``*.parquet`` files in name
        order. Each file's version is checked when the loader is made.
    batch_size : int
        Positions per batch (>= 1).
    shuffle : bool
        Shuffle (the default) or hand the positions out in table order.
    seed : int
        With the epoch, fixes the order: the same seed, epoch, ``rank`` / ``world_size`` and files
        give the same batches on any machine and with any ``threads``.
    planes, flip : bool
        As for :func:`positions`: ``planes`` bool ``(B, 12, 64)`` instead of ``packed`` uint64
        ``(B, 12)``; ``flip`` shows black's positions from black's side.
    columns : sequence of str, optional
        The columns wanted besides the pieces (default: all of :data:`POSITION_COLUMNS`).
    drop_last : bool
        Drop the last batch of an epoch when it is short (its positions are then not seen in that
        epoch); otherwise it comes as a smaller batch.
    rank, world_size : int
        For distributed training: the games of all files, numbered in file order, are cut into
        ``world_size`` contiguous ranges of equal game count (differing by at most one game), and
        rank r reads range r only. The ranges are disjoint and cover every game. Position counts of
        the ranks differ by the length differences of their games, so ranks may yield a different
        number of batches (a few, for large tables): when the training step synchronises ranks,
        stop them together at the smallest :meth:`batch_count` of the ranks.
    threads : int
        Native threads that decode games and gather batches (the calling thread is one of them).
        Reading and decoding run in a background thread one batch ahead of the consumer, with the
        interpreter lock released.
    window : int
        Positions shuffled together (default 2^20). Row groups are read in a shuffled order,
        eight side by side, in slices of games taken from a randomly picked one of them; once
        the window holds at least ``window`` positions it is put in a uniformly random order and
        handed out batch by batch. Positions left over (fewer than a
        batch) join the next window. Memory: 128 bytes a position of the window plus the batches
        in flight, whatever the size of the tables.
    strict : bool
        Raise :class:`~quarn_data.tables.GameTableError` at the first game that cannot be decoded
        (a token that is no legal move, a bad FEN). By default such a game is skipped, every other
        position is kept, a :class:`BadGameWarning` is issued and :class:`LoaderFault` records are
        collected in ``errors`` (those of the latest epoch).

    Epochs: each iterator is one epoch and gives every position of the rank's games exactly once
    (bar ``drop_last``). ``iter(loader)`` runs epoch ``loader.epoch`` and then counts it up, so
    successive ``for`` loops see epochs 0, 1, 2...; ``set_epoch(n)`` picks the next epoch.

    Batches are dicts of NumPy arrays, fresh for every batch: a batch is never overwritten by the
    next, so it may be kept or handed to another thread (``torch.from_numpy`` shares it).

    Raises
    ------
    ValueError
        Empty ``paths``, ``batch_size``, ``window`` or ``threads`` below 1, a ``rank`` outside
        ``0 .. world_size - 1``, an unknown column.
    TypeError
        Arguments of the wrong type.
    GameTableError
        A file that cannot be read as a game table (its name, and the row group when reading
        fails inside one).
    """

    def __init__(
        self,
        paths: Path | Sequence[Path],
        *,
        batch_size: int = 4096,
        shuffle: bool = True,
        seed: int = 0,
        planes: bool = False,
        flip: bool = False,
        columns: Sequence[str] | None = None,
        drop_last: bool = False,
        rank: int = 0,
        world_size: int = 1,
        threads: int = 1,
        window: int = DEFAULT_WINDOW,
        strict: bool = False,
    ) -> None:
        self.batch_size = _count("batch_size", batch_size, 1)
        self.window = _count("window", window, 1)
        self.threads = _count("threads", threads, 1)
        self.world_size = _count("world_size", world_size, 1)
        self.rank = _count("rank", rank, 0)
        if self.rank >= self.world_size:
            raise ValueError(f"rank must be below world_size ({self.world_size}), not {rank}")
        self.seed = _count("seed", seed, 0)
        if columns is None:
            self.columns = list(POSITION_COLUMNS)
        else:
            if isinstance(columns, str):
                raise TypeError("columns must be a sequence of column names, not a str")
            self.columns = list(columns)
            unknown = [c for c in self.columns if c not in POSITION_COLUMNS]
            if unknown:
                raise ValueError(
                    f"unknown columns {unknown}; the columns are {list(POSITION_COLUMNS)}"
                )
        self.shuffle = bool(shuffle)
        self.planes = bool(planes)
        self.flip = bool(flip)
        self.drop_last = bool(drop_last)
        self.strict = bool(strict)
        self._files = [_describe(path) for path in _expand(paths)]
        self._epoch = 0
        self._spare: Any = None
        self._positions: int | None = None
        #: The games skipped in the latest epoch.
        self.errors: list[LoaderFault] = []

    @property
    def epoch(self) -> int:
        """The epoch the next iterator runs."""
        return self._epoch

    def set_epoch(self, epoch: int) -> None:
        """Makes the next iterator run epoch ``epoch`` (its order follows seed and epoch)."""
        self._epoch = _count("epoch", epoch, 0)

    @property
    def games(self) -> int:
        """The games of this rank's part."""
        return sum(b - a for _, _, a, b in _blocks(self._files, self.rank, self.world_size))

    def positions(self) -> int:
        """The positions of this rank's part: the plies of its games, read from the ``moves``
        column's list lengths (one pass over that column, remembered). Games skipped as bad make
        an epoch shorter than this."""
        if self._positions is None:
            pa = _pyarrow()
            total = 0
            for index, group, first, end in _blocks(self._files, self.rank, self.world_size):
                path = self._files[index].path
                try:
                    moves = _open(path).read_row_group(group, columns=["moves"]).column(0)
                except (OSError, pa.ArrowException) as error:
                    raise GameTableError(
                        f"{path}, row group {group}: cannot be read: {error}") from error
                lengths = moves.combine_chunks().value_lengths().fill_null(0)
                total += int(np.asarray(lengths)[first:end].sum())
            self._positions = total
        return self._positions

    def batch_count(self) -> int:
        """The batches of an epoch of this rank (from :meth:`positions`, ``batch_size`` and
        ``drop_last``). In distributed training the ranks' counts may differ by a few; to stop
        every rank after the same number of steps, take the smallest count over the ranks
        (``torch.distributed.all_reduce`` with ``MIN``) and ``itertools.islice`` each epoch."""
        positions = self.positions()
        if self.drop_last:
            return positions // self.batch_size
        return -(-positions // self.batch_size)

    def __iter__(self) -> Iterator[dict[str, np.ndarray]]:
        epoch = self._epoch
        self._epoch += 1
        self.errors = []
        return _Prefetch(self._epoch_batches(epoch))

    def _epoch_batches(self, epoch: int) -> Iterator[dict[str, np.ndarray]]:
        rng = np.random.default_rng([self.seed, epoch, self.rank, self.world_size])
        blocks = _blocks(self._files, self.rank, self.world_size)
        if self.shuffle:
            blocks = [blocks[i] for i in rng.permutation(len(blocks))]
        # About a dozen reads fill a window, each from one of several row groups.
        per_read = max(16, min(1024, self.window // (80 * _MIXED_BLOCKS)))
        # Only the table columns the wanted position columns come from are read.
        wanted = ["moves", "fen"] + [c for c in _TABLE_COLUMNS[2:] if c in self.columns]
        reader = _TableReader(self._files, wanted, games_per_read=per_read,
                              threads=self.threads > 1)
        # The window's memory is kept from epoch to epoch (warm pages), unless two iterators of
        # this loader run at once.
        pool, self._spare = self._spare, None
        if pool is None:
            # Room for the window and a read beyond it (a read of per_read games of up to
            # about 250 plies each), made once: the window then never moves while it fills.
            pool = _loader.Pool(self.threads, self.window + 250 * per_read)
        # The Parquet reading (pyarrow releases the interpreter lock) runs in a thread of its
        # own, a few reads ahead of the decoding.
        # The reads draw from a stream of their own: they run in another thread.
        mixing = np.random.default_rng([self.seed, epoch, self.rank, self.world_size, 1])
        reads = _Prefetch(_mixed(reader, blocks, mixing if self.shuffle else None), ahead=4)
        try:
            for batch, block, first_row in reads:
                self._add(pool, batch, block, first_row)
                if pool.size >= self.window:
                    yield from self._hand_out(pool, rng, final=False)
            yield from self._hand_out(pool, rng, final=True)
        finally:
            reads.close()
            pool.clear()
            self._spare = pool

    def _add(self, pool: Any, batch: Any, block: tuple[int, int, int, int],
             first_row: int) -> None:
        f = self._files[block[0]]
        try:
            faults = pool.add(_batch_layout(batch, first_row), self.strict)
        except ValueError as error:
            raise GameTableError(f"{f.path}, row group {block[1]}: {error}") from error
        for row, game, message in faults:
            fault = LoaderFault(f.path, block[1], first_row + row, game, message)
            if self.strict:
                raise GameTableError(str(fault))
            self.errors.append(fault)
            warnings.warn(f"{fault}; the game is skipped", BadGameWarning, stacklevel=2)

    def _hand_out(self, pool: Any, rng: np.random.Generator,
                  final: bool) -> Iterator[dict[str, np.ndarray]]:
        if pool.size == 0:
            return
        if self.shuffle:
            pool.shuffle(int(rng.integers(0, 2**63)))
        full = pool.size // self.batch_size
        for k in range(full):
            yield self._take(pool, k * self.batch_size, self.batch_size)
        rest = pool.size - full * self.batch_size
        if final and rest and not self.drop_last:
            yield self._take(pool, full * self.batch_size, rest)
        if final:
            pool.clear()
        else:
            pool.retain(full * self.batch_size)

    def _take(self, pool: Any, start: int, count: int) -> dict[str, np.ndarray]:
        columns = _new_columns(count, self.planes, self.columns)
        pool.take(start, count, self.flip, _out_tuple(columns), 0)
        return columns


# --- GameLoader --------------------------------------------------------------------------------


class GameLoader:
    """Shuffled batches of whole games as move-token sequences, for sequence models.

    Parameters
    ----------
    paths : path or sequence of paths
        Game-table files, as for :class:`PositionLoader`.
    batch_size : int
        Games per batch.
    max_plies : int
        The length L of the token rows: longer games are cut after their first ``max_plies``
        tokens (``plies`` keeps their full length).
    shuffle, seed, drop_last, rank, world_size
        As for :class:`PositionLoader`, with games in place of positions (``window`` counts
        games, default 65536).
    pad : int
        The token that fills rows after the game's end (default 0: a1a1, which is never a move).

    Notes
    -----
    Batches are dicts of fresh NumPy arrays: ``tokens`` uint16 ``(B, L)`` (the game's tokens,
    then ``pad``), ``lengths`` int32 ``(B,)`` (tokens in the row), ``plies`` int32 (the game's
    full length), ``result`` int8 (1 white won, 0 draw or unfinished, -1 black won),
    ``white_elo`` / ``black_elo`` int16 (-1 unknown), ``game`` int64, ``standard_start`` bool
    (no FEN: the game starts from the standard position).

    The tokens are handed over as stored, not replayed: :func:`positions` and
    :class:`PositionLoader` check each one on the board.
    """

    def __init__(
        self,
        paths: Path | Sequence[Path],
        *,
        batch_size: int = 256,
        max_plies: int = 512,
        shuffle: bool = True,
        seed: int = 0,
        rank: int = 0,
        world_size: int = 1,
        drop_last: bool = False,
        window: int = 1 << 16,
        pad: int = 0,
    ) -> None:
        self.batch_size = _count("batch_size", batch_size, 1)
        self.max_plies = _count("max_plies", max_plies, 1)
        self.window = _count("window", window, 1)
        self.world_size = _count("world_size", world_size, 1)
        self.rank = _count("rank", rank, 0)
        if self.rank >= self.world_size:
            raise ValueError(f"rank must be below world_size ({self.world_size}), not {rank}")
        self.seed = _count("seed", seed, 0)
        self.pad = _count("pad", pad, 0)
        if self.pad > 0xFFFF:
            raise ValueError(f"pad must be a uint16 token, not {pad}")
        self.shuffle = bool(shuffle)
        self.drop_last = bool(drop_last)
        self._files = [_describe(path) for path in _expand(paths)]
        self._epoch = 0

    @property
    def epoch(self) -> int:
        """The epoch the next iterator runs."""
        return self._epoch

    def set_epoch(self, epoch: int) -> None:
        """Makes the next iterator run epoch ``epoch``."""
        self._epoch = _count("epoch", epoch, 0)

    def __iter__(self) -> Iterator[dict[str, np.ndarray]]:
        epoch = self._epoch
        self._epoch += 1
        return _Prefetch(self._epoch_batches(epoch))

    def _rows(self, batch: Any) -> dict[str, np.ndarray]:
        types = _types()
        moves = _column(batch, "moves", types["moves"])
        n = batch.num_rows
        offsets = np.frombuffer(moves.buffers()[1], dtype=np.int32)[moves.offset:moves.offset + n + 1]
        values = moves.values.to_numpy(zero_copy_only=False)
        valid = np.ones(n, dtype=bool) if moves.null_count == 0 else ~np.asarray(
            moves.is_null().to_numpy(zero_copy_only=False))
        starts = offsets[:-1].astype(np.int64)
        plies = np.where(valid, np.diff(offsets), 0).astype(np.int32)
        if (plies < 0).any() or (n and (starts.min(initial=0) < 0 or offsets[-1] > len(values))):
            raise GameTableError("the moves column's list offsets are out of bounds")
        lengths = np.minimum(plies, self.max_plies).astype(np.int32)
        span = np.arange(self.max_plies)
        inside = span[None, :] < lengths[:, None]
        index = np.where(inside, starts[:, None] + span[None, :], 0)
        tokens = np.where(inside, values[index] if len(values) else 0, self.pad).astype(np.uint16)

        def values_of(name: str, fill: int, dtype: Any) -> np.ndarray:
            array = _column(batch, name, types[name])
            if array is None:
                return np.full(n, fill, dtype=dtype)
            return np.asarray(array.fill_null(fill).to_numpy(zero_copy_only=False), dtype=dtype)

        fen = _column(batch, "fen", types["fen"])
        standard = np.ones(n, dtype=bool) if fen is None else np.asarray(
            fen.is_null().to_numpy(zero_copy_only=False), dtype=bool)
        return {
            "tokens": tokens,
            "lengths": lengths,
            "plies": plies,
            "result": values_of("result", 0, np.int8),
            "white_elo": values_of("white_elo", -1, np.int16),
            "black_elo": values_of("black_elo", -1, np.int16),
            "game": values_of("game", -1, np.int64),
            "standard_start": standard,
        }

    def _epoch_batches(self, epoch: int) -> Iterator[dict[str, np.ndarray]]:
        rng = np.random.default_rng([self.seed, epoch, self.rank, self.world_size])
        blocks = _blocks(self._files, self.rank, self.world_size)
        if self.shuffle:
            blocks = [blocks[i] for i in rng.permutation(len(blocks))]
        reader = _TableReader(self._files, ["moves", "fen", "result", "white_elo", "black_elo",
                                            "game"], games_per_read=4096)
        pending: list[dict[str, np.ndarray]] = []
        held = 0
        for block in blocks:
            for batch, first_row in reader.batches(block):
                try:
                    rows = self._rows(batch)
                except GameTableError as error:
                    f = self._files[block[0]]
                    raise GameTableError(f"{f.path}, row group {block[1]}: {error}") from error
                pending.append(rows)
                held += batch.num_rows
                if held >= self.window:
                    rest = yield from self._hand_out(pending, rng, final=False)
                    pending, held = ([rest], len(rest["lengths"])) if rest else ([], 0)
        yield from self._hand_out(pending, rng, final=True)

    def _hand_out(
        self, pending: list[dict[str, np.ndarray]], rng: np.random.Generator, final: bool
    ) -> Generator[dict[str, np.ndarray], None, dict[str, np.ndarray] | None]:
        """Yields the full batches of the window (and at the end the short one); returns what
        is left of the window for the next one."""
        if not pending:
            return None
        window = {name: np.concatenate([p[name] for p in pending]) for name in pending[0]}
        count = len(window["lengths"])
        order = rng.permutation(count) if self.shuffle else np.arange(count)
        full = count // self.batch_size
        for k in range(full):
            pick = order[k * self.batch_size:(k + 1) * self.batch_size]
            yield {name: values[pick] for name, values in window.items()}
        rest = order[full * self.batch_size:]
        if not len(rest):
            return None
        if final:
            if not self.drop_last:
                yield {name: values[rest] for name, values in window.items()}
            return None
        return {name: values[rest] for name, values in window.items()}
