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
"""

from __future__ import annotations

import os
from typing import Any

__all__ = ["SCHEMA_VERSION", "VERSION_KEY", "GameTableError", "read_table"]

#: The version this release writes and reads.
SCHEMA_VERSION = 1
#: The key of the version in a game table's key-value metadata.
VERSION_KEY = b"quarn_data.game_table.version"


class GameTableError(ValueError):
    """A file that is no readable game table of a version this release knows."""


def _pyarrow() -> Any:
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError as error:
        raise ImportError(
            "game tables need pyarrow: pip install 'quarn-chess[data]'"
        ) from error
    return pyarrow


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


def read_table(path: str | os.PathLike[str], columns: list[str] | None = None) -> Any:
    """Reads a game table file as a ``pyarrow.Table`` after checking its version."""
    pa = _pyarrow()
    name = os.fspath(path)
    try:
        parquet = pa.parquet.ParquetFile(name)
        check_version(parquet.schema_arrow.metadata, name)
        return parquet.read(columns=columns)
    except GameTableError:
        raise
    except (OSError, pa.ArrowException) as error:
        raise GameTableError(f"{name}: cannot be read as a game table: {error}") from error
