"""Game tables: one Parquet row per game, its moves as 16-bit tokens.

Schema version 1 (the file's key-value metadata holds ``quarn_data.game_table.version``):

==================  ======================  ====================================================
column              type                    meaning
==================  ======================  ====================================================
moves               list<uint16>            one token per ply: ``from + 64 * to + 4096 * promo``
                                            (promo 0 none, 2 N, 3 B, 4 R, 5 Q)
fen                 string                  the start position; null for the standard start
result              int8                    1 white won, 0 draw, -1 black won; null unfinished
white_elo           int16                   null when unknown
black_elo           int16                   null when unknown
time_base           int32                   seconds of the TimeControl tag; null when absent
time_increment      int32                   increment seconds; null when absent
eval                list<int16>             centipawns from white's view after each move
                                            (rounded, clamped to int16); the list is null when
                                            the game has no evaluation, an item null where a ply
                                            has none or a mate score
mate                list<int16>             signed moves to mate after each move (positive:
                                            white mates); null as for ``eval``
clock               list<int32>             the mover's time left after each move, in
                                            milliseconds; null as for ``eval``
game                int64                   the game's 0-based index in its source (every game
                                            of the source counts, as in ``pgn_to_arrays``)
source              string                  the source's name
offset              int64                   byte offset of the game's first token in the
                                            (decompressed) source
event ... (tags)    string                  the common tags, null when absent
headers             map<string, string>     every other tag
==================  ======================  ====================================================

The tag columns (all ``string``, the tag's text as written, null when the game lacks the tag):

=================  ===============  =================  ===============
column             tag              column             tag
=================  ===============  =================  ===============
event              Event            white_rating_diff  WhiteRatingDiff
site               Site             black_rating_diff  BlackRatingDiff
date               Date             eco                ECO
round              Round            opening            Opening
white              White            termination        Termination
black              Black            time_control       TimeControl
result_tag         Result           utc_date           UTCDate
white_title        WhiteTitle       utc_time           UTCTime
black_title        BlackTitle       variant            Variant
=================  ===============  =================  ===============

``FEN``, ``WhiteElo`` and ``BlackElo`` live in ``fen``, ``white_elo`` and ``black_elo``; their
text goes to ``headers`` as well when those columns cannot give it back as written (an empty
FEN, an Elo such as ``"?"`` or ``"01500"``). Every other tag is an entry of ``headers``. So
:func:`quarn_data.read_games` over a table gives back every game's headers dict exactly (equal as
a dict; the order of the tags is not kept).

List items are named ``element`` (Parquet's name for them), so that a table read back from a
file equals the one written. Rows are the games :func:`quarn_data.pgn_to_arrays` keeps (same filters; bad games, other
variants and, by default, unfinished games have no row), in input order. In shards written by
``python -m quarn_data convert``, ``game`` counts from the start of the piece of input the shard
was made from and ``offset`` from the start of the whole input; ``(source, offset)`` names a game
uniquely. ``quarn_data.game_table.report`` in the metadata holds the counts and the refused games
of the table (JSON; see :func:`table_report`).
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Sequence
from typing import Any, Union

import numpy as np

from quarn_data import _pgn
from quarn_data.pgn import (
    CHUNK_SIZE,
    Game,
    GameError,
    PgnError,
    Source,
    _feed_all,
    _iter_views,
    _reader_options,
    open_source,
)

__all__ = [
    "SCHEMA_VERSION",
    "VERSION_KEY",
    "REPORT_KEY",
    "TAG_COLUMNS",
    "GameTableError",
    "TableReport",
    "game_table_schema",
    "is_game_table",
    "pgn_to_table",
    "read_table",
    "table_games",
    "table_report",
    "write_table",
]

#: The version this release writes and reads.
SCHEMA_VERSION = 1
#: The key of the version in a game table's key-value metadata.
VERSION_KEY = b"quarn_data.game_table.version"
#: The key of the counts and refused games (JSON) in a game table's key-value metadata.
REPORT_KEY = b"quarn_data.game_table.report"

#: Tag name -> its string column, in the native builder's order.
TAG_COLUMNS: dict[str, str] = {
    "Event": "event",
    "Site": "site",
    "Date": "date",
    "Round": "round",
    "White": "white",
    "Black": "black",
    "Result": "result_tag",
    "WhiteTitle": "white_title",
    "BlackTitle": "black_title",
    "WhiteRatingDiff": "white_rating_diff",
    "BlackRatingDiff": "black_rating_diff",
    "ECO": "eco",
    "Opening": "opening",
    "Termination": "termination",
    "TimeControl": "time_control",
    "UTCDate": "utc_date",
    "UTCTime": "utc_time",
    "Variant": "variant",
}

# The order headers are given back in: the seven-tag roster, then as Lichess writes them.
_HEADER_ORDER = ["Event", "Site", "Date", "Round", "White", "Black", "Result", "UTCDate",
                 "UTCTime", "WhiteElo", "BlackElo", "WhiteTitle", "BlackTitle",
                 "WhiteRatingDiff", "BlackRatingDiff", "ECO", "Opening", "TimeControl",
                 "Termination", "Variant", "FEN"]

TablePath = Union[str, "os.PathLike[str]"]


class GameTableError(ValueError):
    """A file that is no readable game table of a version this release knows."""


# pyarrow is imported when first needed (quarn_data works without it); its types read as Any.
def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(
            "game tables need pyarrow: pip install 'quarn-chess[data]'"
        ) from error
    return pyarrow


def game_table_schema() -> Any:
    """The columns of a game table (version :data:`SCHEMA_VERSION`), without metadata."""
    pa = _pyarrow()

    def list_of(item: Any) -> Any:
        # Parquet's name for list items: tables read back from files compare equal.
        return pa.list_(pa.field("element", item))

    fields = [
        pa.field("moves", list_of(pa.uint16())),
        pa.field("fen", pa.string()),
        pa.field("result", pa.int8()),
        pa.field("white_elo", pa.int16()),
        pa.field("black_elo", pa.int16()),
        pa.field("time_base", pa.int32()),
        pa.field("time_increment", pa.int32()),
        pa.field("eval", list_of(pa.int16())),
        pa.field("mate", list_of(pa.int16())),
        pa.field("clock", list_of(pa.int32())),
        pa.field("game", pa.int64()),
        pa.field("source", pa.string()),
        pa.field("offset", pa.int64()),
    ]
    fields += [pa.field(column, pa.string()) for column in TAG_COLUMNS.values()]
    fields.append(pa.field("headers", pa.map_(pa.string(), pa.string())))
    return pa.schema(fields)


def check_version(metadata: dict[bytes, bytes] | None, name: str) -> None:
    """Raises :class:`GameTableError` unless the metadata names a version this release reads."""
    version = (metadata or {}).get(VERSION_KEY)
    if version is None:
        raise GameTableError(f"{name}: not a game table (no {VERSION_KEY.decode()} metadata)")
    if version != str(SCHEMA_VERSION).encode():
        raise GameTableError(
            f"{name}: game table version {version.decode(errors='replace')!r} is not known to "
            f"this release (it reads version {SCHEMA_VERSION})"
        )


def check_schema(schema: Any, name: str) -> None:
    """Raises :class:`GameTableError` unless ``schema`` holds the game table's columns with their
    types (other columns are allowed) and a version this release reads."""
    check_version(schema.metadata, name)
    for field in game_table_schema():
        if field.name not in schema.names:
            raise GameTableError(f"{name}: not a game table (no column {field.name!r})")
        found = schema.field(field.name).type
        if not found.equals(field.type):
            raise GameTableError(
                f"{name}: column {field.name!r} is {found}, a game table's is {field.type}")


def is_game_table(source: object) -> bool:
    """Whether ``source`` is read as a game table: a ``pyarrow.Table`` or a ``.parquet`` path."""
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source).lower().endswith(".parquet")
    return type(source).__module__.startswith("pyarrow") and hasattr(source, "schema")


def read_table(path: TablePath | Sequence[TablePath],
               columns: list[str] | None = None) -> Any:
    """Reads one game table file, or several into one table, after checking each file's
    schema and version.

    Parameters
    ----------
    path : str, os.PathLike or a sequence of them
        ``.parquet`` files written by :func:`write_table` or ``python -m quarn_data convert``.
    columns : list of str, optional
        Only these columns (all by default).

    Returns
    -------
    pyarrow.Table
        The rows of the files in order, with the schema of :func:`game_table_schema`.

    Raises
    ------
    GameTableError
        For an empty list of paths, or a file that is missing, truncated, corrupt, of another
        schema or of an unknown version; the message names the file.
    """
    pa = _pyarrow()
    if isinstance(path, (str, os.PathLike)):
        return _read_one(pa, os.fspath(path), columns)
    paths = [os.fspath(item) for item in path]
    if not paths:
        raise GameTableError("no game table paths given")
    tables = [_read_one(pa, item, columns) for item in paths]
    return pa.concat_tables(tables) if len(tables) > 1 else tables[0]


def _read_one(pa: Any, name: str, columns: list[str] | None) -> Any:
    try:
        parquet = pa.parquet.ParquetFile(name)
        check_schema(parquet.schema_arrow, name)
        return parquet.read(columns=columns)
    except GameTableError:
        raise
    except (OSError, pa.ArrowException) as error:
        raise GameTableError(f"{name}: cannot be read as a game table: {error}") from error


# --- PGN to table ----------------------------------------------------------------------------


class TableReport:
    """The counts and refused games behind a game table (see :func:`table_report`).

    Attributes
    ----------
    counts : dict of str to int
        ``games`` read, ``good`` (rows), ``bad``, ``filtered``, ``variant``, ``unfinished``,
        ``positions`` (plies of the rows), as :func:`quarn_data.pgn_to_arrays` counts them.
    errors : list of GameError
        The refused games (the first 1000), offsets counted in the whole source.
    """

    def __init__(self, counts: dict[str, int], errors: list[GameError]) -> None:
        self.counts = counts
        self.errors = errors

    def __repr__(self) -> str:
        return f"TableReport(counts={self.counts!r}, errors=[{len(self.errors)} errors])"


def table_report(table: Any) -> TableReport:
    """The counts and refused games a table was made with (from its metadata; a file's report
    comes with ``read_table``). Raises :class:`GameTableError` for a table without one."""
    raw = (table.schema.metadata or {}).get(REPORT_KEY)
    if raw is None:
        raise GameTableError("the table holds no report (it was not made by pgn_to_table)")
    data = json.loads(raw)
    return TableReport(data["counts"], [GameError(**item) for item in data["errors"]])


def _bitmap(pa: Any, valid: np.ndarray) -> tuple[Any, int]:
    """The validity bitmap of one-byte flags and the null count; no bitmap when nothing is null."""
    nulls = int(valid.size - np.count_nonzero(valid))
    if nulls == 0:
        return None, 0
    return pa.py_buffer(np.packbits(valid, bitorder="little")), nulls


def _columns_from_buffers(pa: Any, buffers: dict[str, Any], rows: int, name: str,
                          offset: int) -> dict[str, Any]:
    """The table's arrays made on the native buffers (no copy of values, no object per item)."""

    def array(key: str, dtype: Any) -> np.ndarray:
        return np.frombuffer(buffers[key], dtype=dtype)

    def primitive(values: np.ndarray, valid: np.ndarray, arrow_type: Any) -> Any:
        bitmap, nulls = _bitmap(pa, valid)
        return pa.Array.from_buffers(arrow_type, len(values),
                                     [bitmap, pa.py_buffer(values)], null_count=nulls)

    def text(key: str) -> Any:
        valid = array(f"{key}.valid", np.uint8)
        bitmap, nulls = _bitmap(pa, valid)
        return pa.Array.from_buffers(pa.string(), len(valid), [
            bitmap, pa.py_buffer(array(f"{key}.offsets", np.int32)),
            pa.py_buffer(array(f"{key}.data", np.uint8))], null_count=nulls)

    def listed(offsets: np.ndarray, valid: np.ndarray | None, child: Any, arrow_type: Any) -> Any:
        bitmap, nulls = (None, 0) if valid is None else _bitmap(pa, valid)
        return pa.Array.from_buffers(arrow_type, len(offsets) - 1,
                                     [bitmap, pa.py_buffer(offsets)], null_count=nulls,
                                     children=[child])

    moves = pa.Array.from_buffers(pa.uint16(), len(array("moves.values", np.uint16)),
                                  [None, pa.py_buffer(array("moves.values", np.uint16))])
    eval_offsets = array("eval.offsets", np.int32)
    eval_valid = array("eval.valid", np.uint8)
    time_valid = array("time.valid", np.uint8)
    types = {field.name: field.type for field in game_table_schema()}
    columns: dict[str, Any] = {
        "moves": listed(array("moves.offsets", np.int32), None, moves, types["moves"]),
        "fen": text("fen"),
        "result": primitive(array("result", np.int8), array("result.valid", np.uint8), pa.int8()),
        "white_elo": primitive(array("white_elo", np.int16), array("white_elo.valid", np.uint8),
                               pa.int16()),
        "black_elo": primitive(array("black_elo", np.int16), array("black_elo.valid", np.uint8),
                               pa.int16()),
        "time_base": primitive(array("time_base", np.int32), time_valid, pa.int32()),
        "time_increment": primitive(array("time_increment", np.int32), time_valid, pa.int32()),
        "eval": listed(eval_offsets, eval_valid,
                       primitive(array("eval.values", np.int16),
                                 array("eval.value_valid", np.uint8), pa.int16()),
                       types["eval"]),
        "mate": listed(eval_offsets, eval_valid,
                       primitive(array("mate.values", np.int16),
                                 array("mate.value_valid", np.uint8), pa.int16()),
                       types["mate"]),
        "clock": listed(array("clock.offsets", np.int32), array("clock.valid", np.uint8),
                        primitive(array("clock.values", np.int32),
                                  array("clock.value_valid", np.uint8), pa.int32()),
                        types["clock"]),
        "game": pa.array(array("game", np.int64)),
        "source": pa.repeat(pa.scalar(name, pa.string()), rows),
        "offset": pa.array(array("offset", np.int64) + np.int64(offset)),
    }
    for tag, column in TAG_COLUMNS.items():
        columns[column] = text(tag)
    keys = text("headers.keys")
    values = text("headers.values")
    columns["headers"] = pa.MapArray.from_arrays(
        pa.array(array("headers.offsets", np.int32)), keys, values)
    return columns


def _source_name(source: Source) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.path.basename(os.fspath(source))
    name = getattr(source, "name", None)
    return os.path.basename(name) if isinstance(name, str) else ""


def pgn_to_table(
    source: Source,
    *,
    min_elo: int | None = None,
    time_control: tuple[float | None, float | None] | None = None,
    events: Sequence[str] | None = None,
    terminations: Sequence[str] | None = None,
    finished_only: bool = True,
    strict: bool = False,
    chunk_size: int = CHUNK_SIZE,
    name: str | None = None,
    offset: int = 0,
) -> Any:
    """Every kept game of a PGN source as a game table in memory, one row per game.

    The reading, replay and column building run natively with the interpreter lock released;
    the columns are handed to pyarrow as the buffers they were built in.

    Parameters
    ----------
    source : path or binary file object
        ``.pgn``, ``.pgn.zst``, ``.pgn.gz`` or ``.pgn.bz2`` (as :func:`quarn_data.read_games`).
    min_elo, time_control, events, terminations, finished_only, strict, chunk_size
        As for :func:`quarn_data.pgn_to_arrays`: the same games are kept.
    name : str, optional
        The ``source`` column's value (default: the file's base name, ``""`` for a nameless
        file object).
    offset : int
        Added to every ``offset`` (and to the offsets of the errors): the position of this
        source in a larger input.

    Returns
    -------
    pyarrow.Table
        The columns of the module docstring's schema; the metadata holds the schema version and
        the report (:func:`table_report`: counts and refused games).

    Raises
    ------
    PgnError
        With ``strict=True``, at the first bad game.
    PgnSourceError
        With ``strict=True``, for a source that fails mid-way (otherwise the failure is reported
        as a truncated game and every game read before it is kept).
    ValueError
        For an input too large for one table (over 2**31 moves): convert it into shards.
    """
    pa = _pyarrow()
    reader = _pgn.TableReader(
        **_reader_options(source, strict, min_elo, time_control, events, terminations,
                          finished_only)
    )
    with open_source(source) as file:
        failure = _feed_all(reader, _iter_views(file, chunk_size))
    consumed = reader.offset
    buffers, counts, errors = reader.finish()
    game_errors = [GameError(kind, game, at + offset, message)
                   for kind, game, at, message in errors]
    if strict and game_errors:
        raise PgnError(game_errors[0])
    if failure is not None:
        if strict:
            raise failure
        counts["bad"] += 1
        game_errors.append(GameError("truncated", counts["games"], consumed + offset, str(failure)))
    rows = counts["good"]
    columns = _columns_from_buffers(pa, buffers, rows, _source_name(source) if name is None
                                    else name, offset)
    report = {"counts": counts, "errors": [vars(error) for error in game_errors]}
    metadata = {VERSION_KEY: str(SCHEMA_VERSION).encode(), REPORT_KEY: json.dumps(report).encode()}
    return pa.Table.from_arrays(list(columns.values()),
                                schema=game_table_schema().with_metadata(metadata))


# --- writing ---------------------------------------------------------------------------------

#: Games per row group of written tables.
ROW_GROUP_GAMES = 1 << 16

# Parquet encodings: dictionaries everywhere (repeating tags, and the few thousand distinct move
# tokens, evaluations and clock readings: dictionary indices compress better than the values,
# plain, delta-coded or byte-split, on Lichess-shaped and on random games), except for the row
# numbers and offsets, which grow steadily and take delta coding. zstd level 3: higher levels
# gain a few per cent for several times the time.
_DELTA_COLUMNS = ("game", "offset")
_NESTED_PATHS = {"moves": ["moves.list.element"], "eval": ["eval.list.element"],
                 "mate": ["mate.list.element"], "clock": ["clock.list.element"],
                 "headers": ["headers.key_value.key", "headers.key_value.value"]}


def write_table(table: Any, path: TablePath, *, compression_level: int = 3) -> None:
    """Writes a game table as one zstd-compressed Parquet file.

    Parameters
    ----------
    table : pyarrow.Table
        A table with the game table's columns (from :func:`pgn_to_table` or
        :func:`read_table`); its metadata is kept and the schema version set.
    path : str or os.PathLike
        The file to write (replaced when it exists).
    compression_level : int
        zstd's level (default 3).

    Raises
    ------
    GameTableError
        For a table that lacks a game table's columns.
    """
    pa = _pyarrow()
    name = os.fspath(path)
    metadata = dict(table.schema.metadata or {})
    metadata[VERSION_KEY] = str(SCHEMA_VERSION).encode()
    table = table.replace_schema_metadata(metadata)
    check_schema(table.schema, "the table")
    dictionary = [path for column in table.column_names if column not in _DELTA_COLUMNS
                  for path in _NESTED_PATHS.get(column, [column])]
    pa.parquet.write_table(
        table, name,
        compression="zstd",
        compression_level=compression_level,
        use_dictionary=dictionary,
        column_encoding={column: "DELTA_BINARY_PACKED" for column in _DELTA_COLUMNS},
        row_group_size=ROW_GROUP_GAMES,
        write_statistics=["result", "white_elo", "black_elo", "time_base", "time_increment",
                          "game", "offset"],
        store_schema=True,
    )


# --- games back ------------------------------------------------------------------------------

_PROMOTION = ["", "", "n", "b", "r", "q"]
_SQUARES = [f"{'abcdefgh'[s % 8]}{s // 8 + 1}" for s in range(64)]
# The UCI text of every token (objects shared by all games).
_UCI = np.array([_SQUARES[token % 64] + _SQUARES[token // 64 % 64] + _PROMOTION[token // 4096]
                 if token // 4096 in (0, 2, 3, 4, 5) else "" for token in range(6 * 4096)],
                dtype=object)
_RESULTS = {1: "1-0", -1: "0-1", 0: "1/2-1/2", None: "*"}


def table_games(source: Any) -> Iterator[Game]:
    """The games of a game table (a ``pyarrow.Table`` or a ``.parquet`` path) as the
    :class:`quarn_data.Game` objects :func:`quarn_data.read_games` gives for the PGN it was made
    from: moves, headers, result, fen, index (``game``) and offset; ``error`` is None (refused
    games have no row)."""
    pa = _pyarrow()
    if isinstance(source, (str, os.PathLike)):
        table = read_table(source)
    else:
        check_schema(source.schema, "the table")
        table = source
    for batch in table.to_batches(max_chunksize=4096):
        yield from _batch_games(pa, batch)


def _batch_games(pa: Any, batch: Any) -> Iterator[Game]:
    moves = batch.column("moves")
    # A batch is a slice: its offsets point into values it shares with the other batches, and
    # flatten() gives only its own.
    offsets = moves.offsets.to_numpy()
    offsets = offsets - offsets[0]
    tokens = moves.flatten().to_numpy(zero_copy_only=False)
    if tokens.size and int(tokens.max()) >= len(_UCI):
        raise GameTableError("the table holds a move token out of range")
    uci = _UCI[tokens]
    if tokens.size and (uci == "").any():
        raise GameTableError("the table holds a move token with an unknown promotion code")
    fens = batch.column("fen").to_pylist()
    results = batch.column("result").to_pylist()
    index = batch.column("game").to_pylist()
    at = batch.column("offset").to_pylist()
    # Every tag a column holds, in the order headers are given back; the map's entries follow.
    columns = {tag: batch.column(column).to_pylist() for tag, column in TAG_COLUMNS.items()}
    for tag, column in (("WhiteElo", "white_elo"), ("BlackElo", "black_elo")):
        columns[tag] = [None if elo is None else str(elo)
                        for elo in batch.column(column).to_pylist()]
    columns["FEN"] = fens
    rank = {tag: i for i, tag in enumerate(_HEADER_ORDER)}
    ordered = sorted(columns.items(), key=lambda item: rank.get(item[0], len(rank)))
    extra = batch.column("headers").to_pylist()
    for row in range(batch.num_rows):
        headers: dict[str, str] = {}
        for tag, values in ordered:
            if values[row] is not None:
                headers[tag] = values[row]
        for key, value in extra[row]:
            headers[key] = value
        game_moves = uci[offsets[row]:offsets[row + 1]].tolist()
        yield Game(index[row], at[row], headers, game_moves, _RESULTS[results[row]], fens[row])
