"""Game tables for the loader's tests: the real writer when it is there, else a table built from
pgn_to_arrays's rows in the layout of quarn_data.tables (version 1)."""

from __future__ import annotations

import io
import math
import os

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import quarn_data as qd
from quarn_data.tables import SCHEMA_VERSION, VERSION_KEY

SCHEMA = pa.schema([
    ("moves", pa.list_(pa.uint16())),
    ("fen", pa.string()),
    ("result", pa.int8()),
    ("white_elo", pa.int16()),
    ("black_elo", pa.int16()),
    ("eval", pa.list_(pa.int16())),
    ("mate", pa.list_(pa.int16())),
    ("clock", pa.list_(pa.int32())),
    ("game", pa.int64()),
], metadata={VERSION_KEY: str(SCHEMA_VERSION).encode()})


def _source(pgn):
    return io.BytesIO(pgn) if isinstance(pgn, bytes) else pgn


def built_table(pgn) -> pa.Table:
    """The game table of a PGN (path or bytes) made from pgn_to_arrays's rows."""
    rows = qd.pgn_to_arrays(_source(pgn))
    fens = {g.index: g.fen for g in qd.read_games(_source(pgn)) if g.fen is not None}
    games = rows["game"]
    if len(games) == 0:
        return SCHEMA.empty_table()
    cuts = np.flatnonzero(np.diff(games)) + 1
    starts = np.concatenate([[0], cuts])
    ends = np.concatenate([cuts, [len(games)]])
    columns = {name: [] for name in SCHEMA.names}
    move = rows["move"].astype(np.int64)
    tokens = move // 64 + 64 * (move % 64) + 4096 * rows["promotion"].astype(np.int64)
    for a, b in zip(starts.tolist(), ends.tolist()):
        game = int(games[a])
        columns["moves"].append(tokens[a:b].tolist())
        columns["fen"].append(fens.get(game))
        columns["result"].append(int(rows["result"][a]))
        elo = [int(rows[k][a]) for k in ("white_elo", "black_elo")]
        columns["white_elo"].append(None if elo[0] < 0 else elo[0])
        columns["black_elo"].append(None if elo[1] < 0 else elo[1])
        ev = rows["eval"][a:b]
        columns["eval"].append(None if np.isnan(ev).all() else
                               [None if math.isnan(v) else int(round(v)) for v in ev.tolist()])
        mate = rows["mate"][a:b]
        columns["mate"].append(None if not mate.any() else
                               [None if m == 0 else int(m) for m in mate.tolist()])
        clock = rows["clock"][a:b]
        columns["clock"].append(None if np.isnan(clock).all() else
                                [None if math.isnan(c) else int(round(c * 1000))
                                 for c in clock.tolist()])
        columns["game"].append(game)
    return pa.Table.from_pydict(columns, schema=SCHEMA)


def game_table(pgn) -> pa.Table:
    """quarn_data.pgn_to_table when the package has it, else built_table."""
    writer = getattr(qd, "pgn_to_table", None)
    if writer is not None:
        return writer(_source(pgn))
    return built_table(pgn)


def write(table: pa.Table, path, row_group_size: int | None = None) -> str:
    """Writes a table as a game-table file (version metadata kept)."""
    if table.schema.metadata is None or VERSION_KEY not in table.schema.metadata:
        table = table.replace_schema_metadata({VERSION_KEY: str(SCHEMA_VERSION).encode()})
    pq.write_table(table, os.fspath(path), row_group_size=row_group_size, compression="zstd")
    return os.fspath(path)
