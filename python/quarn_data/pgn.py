"""PGN game records to Python objects and to NumPy training arrays.

The reading, SAN resolution, replay and encoding all run in native code with the interpreter lock
released; this module opens sources, streams their bytes in chunks and wraps the results.
"""

from __future__ import annotations

import bz2
import gzip
import io
import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, BinaryIO, Union

import numpy as np

from quarn_data import _pgn

__all__ = [
    "CHUNK_SIZE",
    "Game",
    "GameError",
    "PgnArrays",
    "PgnError",
    "PgnSourceError",
    "Source",
    "iter_chunks",
    "open_source",
    "pgn_to_arrays",
    "read_games",
]

#: Bytes handed to the native reader per call: small enough that a chunk read from the source
#: is still in the core's cache when the reader reads it.
CHUNK_SIZE = 1 << 18

Source = Union[str, "os.PathLike[str]", BinaryIO, IO[bytes]]


@dataclass(frozen=True)
class GameError:
    """Why a game was refused: ``kind`` (e.g. ``"illegal_move"``), the 0-based game number,
    the byte offset of the offending token in the (decompressed) input, and a message."""

    kind: str
    game: int
    offset: int
    message: str


class PgnError(ValueError):
    """A bad game met while reading with ``strict=True``; ``error`` says which and where."""

    def __init__(self, error: GameError) -> None:
        super().__init__(error.message)
        self.error = error


class PgnSourceError(ValueError):
    """The source itself failed: a compressed stream that ends early or is corrupt. Every game
    read before the failure has been delivered (the one cut short is reported as truncated)."""


@dataclass(slots=True)
class Game:
    """One game of a PGN file. ``moves`` is the mainline in UCI up to the first error; ``fen``
    the start position of a ``[FEN]`` tag (``None``: the standard start); ``error`` is set
    when the game is bad."""

    index: int
    offset: int
    headers: dict[str, str]
    moves: list[str]
    result: str
    fen: str | None = None
    error: GameError | None = None


class PgnArrays(dict[str, np.ndarray]):
    """The arrays of :func:`pgn_to_arrays` (a dict, so ``np.savez(path, **arrays)`` works),
    with the game counts and the recorded errors as attributes."""

    counts: dict[str, int]
    errors: list[GameError]

    def __init__(self, arrays: dict[str, np.ndarray], counts: dict[str, int],
                 errors: list[GameError]) -> None:
        super().__init__(arrays)
        self.counts = counts
        self.errors = errors


class _ZstdReader:
    """Decompresses a .zst stream frame after frame. Unlike zstandard's stream reader it
    notices a stream that ends inside a frame, and raises PgnSourceError for it."""

    def __init__(self, raw: BinaryIO, zstandard: Any) -> None:
        self._raw = raw
        self._decompressor = zstandard.ZstdDecompressor()
        self._frame = self._decompressor.decompressobj()
        self._inside = False

    def read(self, size: int = CHUNK_SIZE) -> bytes:
        while True:
            data = self._raw.read(size)
            if not data:
                if self._inside:
                    raise PgnSourceError("the .zst input ends inside a frame")
                return b""
            out = []
            while data:
                self._inside = True
                out.append(self._frame.decompress(data))
                if self._frame.eof:
                    data = self._frame.unused_data
                    self._frame = self._decompressor.decompressobj()
                    self._inside = False
                else:
                    data = b""
            result = b"".join(out)
            if result:
                return result

    def close(self) -> None:
        pass


def _zstd_reader(raw: BinaryIO) -> BinaryIO:
    try:
        import zstandard
    except ImportError as error:
        raise ImportError(
            "reading .zst files needs the zstandard package: pip install 'quarn-chess[data]'"
        ) from error
    return _ZstdReader(raw, zstandard)  # type: ignore[return-value]


class _Opened:
    """A source opened for binary reading; closes only what it opened."""

    def __init__(self, source: Source) -> None:
        self._close: list[Any] = []
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            name = path.lower()
            raw = open(path, "rb")
            self._close.append(raw)
            if name.endswith(".zst") or name.endswith(".zstd"):
                self.file: BinaryIO = _zstd_reader(raw)
                self._close.insert(0, self.file)
            elif name.endswith(".gz"):
                self.file = gzip.GzipFile(fileobj=raw)  # type: ignore[assignment]
                self._close.insert(0, self.file)
            elif name.endswith(".bz2"):
                self.file = bz2.BZ2File(raw)  # type: ignore[assignment]
                self._close.insert(0, self.file)
            else:
                self.file = raw
        elif hasattr(source, "read"):
            if isinstance(source, io.TextIOBase):
                raise TypeError("source must be opened in binary mode ('rb')")
            self.file = source  # type: ignore[assignment]
        else:
            raise TypeError(
                f"source must be a path or a binary file object, not {type(source).__name__!r}"
            )

    def __enter__(self) -> BinaryIO:
        return self.file

    def __exit__(self, *exc: object) -> None:
        for item in self._close:
            item.close()


def _is_plain_name(path: str) -> bool:
    return not path.lower().endswith((".zst", ".zstd", ".gz", ".bz2"))


def open_source(source: Source) -> _Opened:
    """Opens a path (``.pgn``; ``.pgn.zst`` with the ``zstandard`` package; ``.pgn.gz``,
    ``.pgn.bz2``) or takes a binary file object; use as a context manager."""
    return _Opened(source)


def _source_failure(error: Exception) -> PgnSourceError | None:
    """The PgnSourceError a failed read of the source becomes, or None for other errors."""
    if isinstance(error, PgnSourceError):
        return error
    # zstandard.ZstdError derives from Exception only.
    if isinstance(error, (EOFError, OSError, ValueError)) or type(error).__name__ == "ZstdError":
        failure = PgnSourceError(f"the input cannot be read to its end: {error}")
        failure.__cause__ = error
        return failure
    return None


def iter_chunks(file: BinaryIO, size: int = CHUNK_SIZE) -> Iterator[bytes]:
    """The bytes of ``file`` in chunks; decompression failures become :class:`PgnSourceError`."""
    while True:
        try:
            data = file.read(size)
        except Exception as error:
            failure = _source_failure(error)
            if failure is None:
                raise
            raise failure from error
        if not data:
            return
        yield data


def _iter_views(file: BinaryIO, size: int = CHUNK_SIZE) -> Iterator[bytes | memoryview]:
    """The chunks of ``file`` for the native readers, which keep nothing of a chunk after the
    call: read into one buffer, reused from chunk to chunk (no new object and no fresh pages
    per chunk), where the file can read into a buffer."""
    readinto = getattr(file, "readinto", None)
    if readinto is None:
        yield from iter_chunks(file, size)
        return
    buffer = bytearray(size)
    view = memoryview(buffer)
    first = True
    while True:
        try:
            count = readinto(buffer)
        except (NotImplementedError, io.UnsupportedOperation):
            if not first:
                raise
            # A file object that only implements read().
            yield from iter_chunks(file, size)
            return
        except Exception as error:
            failure = _source_failure(error)
            if failure is None:
                raise
            raise failure from error
        if not count:
            return
        first = False
        yield view[:count]


def read_games(source: Source, *, strict: bool = False,
               chunk_size: int = CHUNK_SIZE) -> Iterator[Game]:
    """Every game of a PGN source, in order, bad ones included with ``error`` set (their
    ``moves`` stop before the first bad move). With ``strict=True`` the first bad game raises
    :class:`PgnError` instead. Games of another ``Variant`` than standard chess come with no
    moves and no error. A source that fails mid-way raises :class:`PgnSourceError` after the
    games read before the failure.

    A game table (a ``pyarrow.Table`` or a ``.parquet`` path, see :mod:`quarn_data.tables`)
    gives the games of its rows: the same moves, headers, result and fen as the PGN it was
    made from gives for them."""
    from quarn_data import tables

    if tables.is_game_table(source):
        return tables.table_games(source)
    return _read_pgn_games(source, strict=strict, chunk_size=chunk_size)


def _read_pgn_games(source: Source, *, strict: bool,
                    chunk_size: int) -> Iterator[Game]:
    # The reader makes the Game and GameError objects itself.
    reader = _pgn.GameReader(strict=strict, game=Game, error=GameError)
    with open_source(source) as file:
        failure: PgnSourceError | None = None
        chunks = _iter_views(file, chunk_size)
        while True:
            try:
                chunk = next(chunks, None)
            except PgnSourceError as error:
                failure = error
                chunk = None
            games = reader.finish() if chunk is None else reader.feed(chunk)
            if strict:
                for game in games:
                    if game.error is not None:
                        raise PgnError(game.error)
                    yield game
            else:
                yield from games
            if chunk is None:
                break
        if failure is not None:
            raise failure


# The columns of pgn_to_arrays after the pieces column, in order, with their dtypes (also the
# columns of quarn_data.positions and the loaders).
POSITION_COLUMNS: dict[str, Any] = {
    "turn": np.uint8,
    "castling": np.uint8,
    "ep_file": np.int8,
    "halfmove": np.uint16,
    "move": np.uint16,
    "promotion": np.uint8,
    "game": np.int64,
    "ply": np.uint16,
    "result": np.int8,
    "white_elo": np.int16,
    "black_elo": np.int16,
    "eval": np.float32,
    "mate": np.int16,
    "clock": np.float32,
}


def _reader_options(
    source: Source,
    strict: bool,
    min_elo: int | None,
    time_control: tuple[float | None, float | None] | None,
    events: Sequence[str] | None,
    terminations: Sequence[str] | None,
    finished_only: bool,
) -> dict[str, Any]:
    """The filters and the size hint a native reader of ``source`` is made with."""
    low, high = time_control if time_control is not None else (None, None)
    size_hint = None
    if isinstance(source, (str, os.PathLike)) and _is_plain_name(os.fspath(source)):
        size_hint = os.path.getsize(source)
    elif isinstance(source, io.BytesIO):
        size_hint = len(source.getbuffer()) - source.tell()
    return dict(
        strict=strict,
        min_elo=min_elo,
        min_time_control=low,
        max_time_control=high,
        events=None if events is None else list(events),
        terminations=None if terminations is None else list(terminations),
        finished_only=finished_only,
        size_hint=size_hint,
    )


def _as_arrays(columns: dict[str, Any]) -> dict[str, np.ndarray]:
    arrays: dict[str, np.ndarray] = {}
    if "planes" in columns:
        flat = np.frombuffer(columns.pop("planes"), dtype=np.uint8)
        arrays["planes"] = flat.view(np.bool_).reshape(-1, 12, 64)
    else:
        arrays["packed"] = np.frombuffer(columns.pop("packed"), dtype=np.uint64).reshape(-1, 12)
    for name, dtype in POSITION_COLUMNS.items():
        arrays[name] = np.frombuffer(columns[name], dtype=dtype)
    return arrays


def _feed_all(reader: Any, chunks: Iterable[bytes | memoryview]) -> PgnSourceError | None:
    try:
        for chunk in chunks:
            if not reader.feed(chunk):
                break
    except PgnSourceError as error:
        return error
    return None


def pgn_to_arrays(
    source: Source,
    *,
    planes: bool = False,
    min_elo: int | None = None,
    time_control: tuple[float | None, float | None] | None = None,
    events: Sequence[str] | None = None,
    terminations: Sequence[str] | None = None,
    finished_only: bool = True,
    strict: bool = False,
    chunk_size: int = CHUNK_SIZE,
) -> PgnArrays:
    """Every position of every kept game of a PGN source as NumPy arrays, one row per position
    (the position before the move played).

    ``planes=True`` gives ``planes`` bool ``(N, 12, 64)``; otherwise ``packed`` uint64 ``(N, 12)``
    (bit s of word p: piece p on square s; pieces ordered P N B R Q K p n b r q k). The other
    arrays, all of length N: ``turn`` uint8 (1 white to move), ``castling`` uint8 (bits K Q k q),
    ``ep_file`` int8 (-1 none), ``halfmove`` uint16, ``move`` uint16 (from * 64 + to),
    ``promotion`` uint8 (python-chess piece numbers: 2 N, 3 B, 4 R, 5 Q; 0 none), ``game`` int64
    (the game's 0-based index in the source), ``ply`` uint16, ``result`` int8 (1 white won,
    0 draw, -1 black won), ``white_elo`` / ``black_elo`` int16 (-1 unknown), ``eval`` float32
    (centipawns from white's view after the move, NaN when absent), ``mate`` int16 (0 when
    absent), ``clock`` float32 (the mover's remaining seconds after the move, NaN when absent).

    Filters run on the tags before a game is replayed: ``min_elo`` for both players,
    ``time_control=(low, high)`` bounds in seconds on base + 40 * increment of the TimeControl
    tag, ``events`` / ``terminations`` allowed values. Games of another Variant are skipped;
    unfinished games (result ``*``) are skipped unless ``finished_only=False`` (their rows then
    hold result 0). ``counts`` says how many games were read, kept ("good"), bad, filtered,
    variant and unfinished; ``errors`` lists the bad games (the first 1000). ``strict=True``
    raises :class:`PgnError` at the first bad game.

    The arrays are filled in place, without copies. When they are freed, their memory is kept
    (up to 1 GiB) for the arrays of the next call, which then do not pay for fresh pages; the
    kernel may take those pages back whenever memory runs short.
    """
    reader = _pgn.ArrayReader(
        planes=planes,
        **_reader_options(source, strict, min_elo, time_control, events, terminations,
                          finished_only),
    )
    with open_source(source) as file:
        failure = _feed_all(reader, _iter_views(file, chunk_size))
    consumed = reader.offset
    columns, counts, errors = reader.finish()
    game_errors = [GameError(*item) for item in errors]
    if strict and game_errors:
        raise PgnError(game_errors[0])
    if failure is not None:
        if strict:
            raise failure
        counts["bad"] += 1
        game_errors.append(GameError("truncated", counts["games"], consumed, str(failure)))
    return PgnArrays(_as_arrays(columns), counts, game_errors)


def pgn_bytes_to_arrays(data: bytes | memoryview, **options: Any) -> PgnArrays:
    """:func:`pgn_to_arrays` on PGN text already in memory."""
    return pgn_to_arrays(io.BytesIO(data), **options)

