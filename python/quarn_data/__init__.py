"""Check, mate and draw queries, SAN, perft and NumPy tensors for ``quarn_chess.Board`` objects.

Every function takes ``quarn_chess.Board`` objects directly and reads the board's native record;
nothing goes through FEN text. A board that another call is using (borrowed) is refused with
``RuntimeError``; a wrong type raises ``TypeError``, a bad value ``ValueError``, and nothing is
written when a call fails.

NumPy is needed for the tensor functions: ``pip install 'quarn-chess[data]'``.
"""

from __future__ import annotations

try:
    import numpy as _numpy  # noqa: F401  (the tensor functions return NumPy arrays)
except ImportError as _error:  # pragma: no cover - exercised by the packaging test
    raise ImportError(
        "quarn_data needs NumPy; install it with: pip install 'quarn-chess[data]'"
    ) from _error

from quarn_data._native import (
    Outcome,
    is_check,
    is_checkmate,
    is_insufficient_material,
    is_stalemate,
    legal_move_count,
    legal_san,
    outcome,
    packed,
    packed_batch,
    parse_san,
    perft,
    planes,
    planes_batch,
    san,
    scalars,
    scalars_batch,
)
from quarn_data.loader import GameLoader, PositionLoader, positions
from quarn_data.pgn import (
    Game,
    GameError,
    PgnArrays,
    PgnError,
    PgnSourceError,
    pgn_to_arrays,
    read_games,
)
from quarn_data.svg import svg
from quarn_data.tables import (
    GameTableError,
    TableReport,
    pgn_to_table,
    read_table,
    table_report,
    write_table,
)

__all__ = [
    "Game",
    "GameError",
    "GameLoader",
    "GameTableError",
    "Outcome",
    "PgnArrays",
    "PgnError",
    "PgnSourceError",
    "PositionLoader",
    "TableReport",
    "is_check",
    "is_checkmate",
    "is_insufficient_material",
    "is_stalemate",
    "legal_move_count",
    "legal_san",
    "outcome",
    "packed",
    "packed_batch",
    "parse_san",
    "perft",
    "pgn_to_arrays",
    "pgn_to_table",
    "planes",
    "planes_batch",
    "positions",
    "read_games",
    "read_table",
    "san",
    "scalars",
    "scalars_batch",
    "svg",
    "table_report",
    "write_table",
]
