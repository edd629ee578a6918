"""Shared test data: the standard perft positions and their node counts, read from
tests/data/perft.txt (the table the C++ tests and the native benchmark read too)."""

from pathlib import Path

DATA_DIR = Path(__file__).resolve().parents[1] / "data"


def _read_perft_table() -> list[tuple[str, int, int]]:
    rows = []
    for line in (DATA_DIR / "perft.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            fen, depth, nodes = line.split(";")
            rows.append((fen, int(depth), int(nodes)))
    return rows


# (fen, depth, nodes), in the table's order.
PERFT_TABLE = _read_perft_table()

# The positions of the table in order of first appearance: the start position, "kiwipete",
# positions 3 and 4, the colour mirror of position 4, positions 5 and 6.
(
    START,
    KIWIPETE,
    POSITION_3,
    POSITION_4,
    POSITION_4_MIRRORED,
    POSITION_5,
    POSITION_6,
) = dict.fromkeys(fen for fen, _, _ in PERFT_TABLE)

# The start position and positions 2 to 6 of the usual perft suite.
PERFT_FENS = (START, KIWIPETE, POSITION_3, POSITION_4, POSITION_5, POSITION_6)
