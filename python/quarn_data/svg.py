"""Pictures of positions: a board drawn as an SVG string, with our own piece shapes.

The shapes are simple outlines drawn for this package on a 100 × 100 grid (a plinth, a body and
the one feature that tells the pieces apart); nothing here is taken from another piece set.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from typing import Literal
from xml.sax.saxutils import escape, quoteattr

import quarn_chess

__all__ = ["svg"]

FILES = "abcdefgh"
SQUARE = 45  # user units per square; the margin holds the coordinates
MARGIN = 18
LIGHT = "#ecdcb9"
DARK = "#ad8158"
LASTMOVE = "#e6c229"
ARROW = "#1f7a4d"
COORDINATE = "#4a4038"

# One plinth for every piece, then the outline that makes each one; coordinates on a 100-unit
# grid, scaled into the square. Details (eyes, slits) are drawn in the contrasting colour.
_PLINTH = '<path d="M24 90 L26 80 H74 L76 90 Z"/>'
_SHAPES = {
    "p": (
        '<path d="M36 80 C38 64 43 56 45 50 C38 47 36 41 36 36 A14 14 0 1 1 64 36 '
        'C64 41 62 47 55 50 C57 56 62 64 64 80 Z"/>',
        "",
    ),
    "r": (
        '<path d="M32 80 L35 40 H65 L68 80 Z"/>'
        '<path d="M28 40 V18 H38 V26 H45 V18 H55 V26 H62 V18 H72 V40 Z"/>',
        '<path d="M36 46 H64" fill="none"/>',
    ),
    "b": (
        '<path d="M38 80 L42 66 H58 L62 80 Z"/>'
        '<path d="M40 64 C32 50 36 34 50 20 C64 34 68 50 60 64 Z"/>'
        '<circle cx="50" cy="15" r="6"/>',
        '<path d="M56 34 L46 46" fill="none"/>',
    ),
    "n": (
        '<path d="M32 80 C31 64 38 55 48 48 C41 49 34 53 28 58 C22 54 22 46 27 41 '
        'C34 32 41 25 49 20 L50 10 L57 18 C70 22 78 40 74 80 Z"/>',
        '<circle cx="45" cy="31" r="3" stroke="none"/>',
    ),
    "q": (
        '<path d="M28 80 L30 70 H70 L72 80 Z"/>'
        '<path d="M30 68 L20 30 L34 52 L36 22 L45 50 L50 17 L55 50 L64 22 L66 52 L80 30 '
        'L70 68 Z"/>'
        '<circle cx="20" cy="28" r="4.5"/><circle cx="36" cy="20" r="4.5"/>'
        '<circle cx="50" cy="14" r="4.5"/><circle cx="64" cy="20" r="4.5"/>'
        '<circle cx="80" cy="28" r="4.5"/>',
        "",
    ),
    "k": (
        '<path d="M28 80 L30 70 H70 L72 80 Z"/>'
        '<path d="M31 68 C20 56 22 40 36 39 C44 39 48 45 50 50 C52 45 56 39 64 39 '
        'C78 40 80 56 69 68 Z"/>'
        '<path d="M46 12 H54 V19 H61 V27 H54 V40 H46 V27 H39 V19 H46 Z"/>',
        '<path d="M50 50 V66" fill="none"/>',
    ),
}
_COLOURS = {
    True: ('fill="#fbfaf5" stroke="#23201c"', 'stroke="#23201c"'),
    False: ('fill="#2b2724" stroke="#0d0c0b"', 'stroke="#e8e2d6" fill="#e8e2d6"'),
}
_PIECE_ORDER = "PNBRQKpnbrqk"  # the plane order of Board.bitboard()
_MOVE = re.compile(r"([a-h][1-8])([a-h][1-8])[qrbnQRBN]?")
_SQUARE_NAME = re.compile(r"[a-h][1-8]")


def _square_index(name: object, what: str) -> int:
    if not isinstance(name, str) or not _SQUARE_NAME.fullmatch(name):
        raise ValueError(f"{what}: expected a square name such as 'e4', got {name!r}")
    return FILES.index(name[0]) + 8 * (int(name[1]) - 1)


def _move_squares(move: object, what: str) -> tuple[int, int]:
    """The two squares of a move given as UCI text ("e2e4") or as a pair of square names."""
    if isinstance(move, str):
        found = _MOVE.fullmatch(move.strip())
        if not found:
            raise ValueError(f"{what}: expected a move such as 'e2e4', got {move!r}")
        return _square_index(found[1], what), _square_index(found[2], what)
    if isinstance(move, tuple) and len(move) == 2:
        return _square_index(move[0], what), _square_index(move[1], what)
    raise TypeError(
        f"{what}: expected a move text such as 'e2e4' or a pair of square names, got {move!r}"
    )


def _piece(symbol: str, x: float, y: float, square: str) -> str:
    white = symbol.isupper()
    body, detail = _SHAPES[symbol.lower()]
    fill, detail_colour = _COLOURS[white]
    scale = SQUARE / 100
    parts = [
        f'<g class="piece" data-piece="{symbol}" data-square="{square}" '
        f'transform="translate({x:g} {y:g}) scale({scale:g})">',
        f'<g {fill} stroke-width="3.2" stroke-linejoin="round">{_PLINTH}{body}</g>',
    ]
    if detail:
        parts.append(f'<g {detail_colour} stroke-width="3.2" stroke-linecap="round">{detail}</g>')
    parts.append("</g>")
    return "".join(parts)


def svg(
    board: quarn_chess.Board,
    *,
    orientation: Literal["white", "black"] = "white",
    lastmove: str | tuple[str, str] | None = None,
    arrows: Iterable[str | tuple[str, str]] = (),
    size: int = 360,
    coordinates: bool = True,
) -> str:
    """Draw ``board`` as an SVG image and return the SVG text.

    Parameters
    ----------
    board : quarn_chess.Board
        The position to draw (its placement only; side to move and rights are not shown).
    orientation : {"white", "black"}
        The side at the bottom of the picture.
    lastmove : str or tuple of two str, optional
        A move to highlight, as UCI text (``"e2e4"``) or a pair of square names; both its
        squares are tinted.
    arrows : iterable of str or tuple of two str
        Arrows to draw from one square to another, each as UCI text or a pair of square names.
    size : int
        Width and height of the picture in pixels (the drawing itself scales freely).
    coordinates : bool
        Write the file letters and rank numbers on the edge of the board.

    Returns
    -------
    str
        A standalone SVG document (``<svg xmlns=...>``). Each piece is a ``<g class="piece">``
        with ``data-piece`` (FEN letter) and ``data-square`` (e.g. ``"e4"``) attributes. In
        Jupyter, ``IPython.display.SVG(quarn_data.svg(board))`` shows it.

    Raises
    ------
    TypeError
        ``board`` is no ``quarn_chess.Board``, ``size`` no int, or a move is neither text nor a
        pair.
    ValueError
        An unknown orientation, a size below 1, a move or square name that cannot be read, or an
        arrow from a square to itself.

    Examples
    --------
    >>> import quarn_chess, quarn_data
    >>> text = quarn_data.svg(quarn_chess.Board(), lastmove="e2e4", arrows=["g1f3"])
    >>> text.startswith("<svg")
    True
    """
    if not isinstance(board, quarn_chess.Board):
        raise TypeError(f"svg() needs a quarn_chess.Board, got {type(board).__name__}")
    if orientation not in ("white", "black"):
        raise ValueError(f"orientation must be 'white' or 'black', got {orientation!r}")
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"size must be an int (pixels), got {type(size).__name__}")
    if size < 1:
        raise ValueError(f"size must be at least 1 pixel, got {size}")
    if isinstance(arrows, (str, bytes)):
        raise TypeError("arrows must be an iterable of moves, e.g. ['e2e4'], not one text")
    try:
        arrow_list = list(arrows)
    except TypeError:
        raise TypeError(f"arrows must be an iterable of moves, e.g. ['e2e4'], got "
                        f"{type(arrows).__name__}") from None
    highlighted = _move_squares(lastmove, "lastmove") if lastmove is not None else ()
    arrow_squares = [_move_squares(arrow, "arrows") for arrow in arrow_list]
    for tail, head in arrow_squares:
        if tail == head:
            raise ValueError(f"arrows: an arrow needs two different squares, got {FILES[tail % 8]}"
                             f"{tail // 8 + 1} twice")

    flipped = orientation == "black"

    def corner(square: int) -> tuple[float, float]:
        """The top-left corner of a square in the drawing."""
        file, rank = square % 8, square // 8
        column, row = (7 - file, rank) if flipped else (file, 7 - rank)
        return MARGIN + column * SQUARE, MARGIN + row * SQUARE

    full = 2 * MARGIN + 8 * SQUARE
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{size}" '
        f'height="{size}" viewBox="0 0 {full} {full}" role="img">',
        f"<title>{escape(board.fen())}</title>",
        f'<rect class="frame" width="{full}" height="{full}" fill="#f7f3ea"/>',
    ]
    for square in range(64):
        x, y = corner(square)
        light = (square % 8 + square // 8) % 2 == 1
        name = FILES[square % 8] + str(square // 8 + 1)
        out.append(
            f'<rect class="square {"light" if light else "dark"} {name}" x="{x:g}" y="{y:g}" '
            f'width="{SQUARE}" height="{SQUARE}" fill="{LIGHT if light else DARK}"/>'
        )
    for square in highlighted:
        x, y = corner(square)
        out.append(
            f'<rect class="lastmove" x="{x:g}" y="{y:g}" width="{SQUARE}" height="{SQUARE}" '
            f'fill="{LASTMOVE}" fill-opacity="0.55"/>'
        )
    if coordinates:
        style = f'font-family="sans-serif" font-size="12" fill="{COORDINATE}" text-anchor="middle"'
        for index in range(8):
            file_square, rank_square = index, index * 8
            fx, _ = corner(file_square)
            _, ry = corner(rank_square)
            out.append(f'<text class="coordinate file" x="{fx + SQUARE / 2:g}" '
                       f'y="{full - MARGIN / 2 + 4:g}" {style}>{FILES[index]}</text>')
            out.append(f'<text class="coordinate rank" x="{MARGIN / 2:g}" '
                       f'y="{ry + SQUARE / 2 + 4:g}" {style}>{index + 1}</text>')
    for plane, squares in enumerate(board.bitboard()):
        symbol = _PIECE_ORDER[plane]
        for square, present in enumerate(squares):
            if present:
                x, y = corner(square)
                out.append(_piece(symbol, x, y, FILES[square % 8] + str(square // 8 + 1)))
    for tail, head in arrow_squares:
        out.append(_arrow(corner(tail), corner(head), f"{FILES[tail % 8]}{tail // 8 + 1}"
                          f"{FILES[head % 8]}{head // 8 + 1}"))
    out.append("</svg>")
    return "\n".join(out)


def _arrow(tail: tuple[float, float], head: tuple[float, float], move: str) -> str:
    """An arrow from the centre of one square to the centre of another: a shaft that stops
    where the head begins, and a triangular head whose tip sits on the target's centre."""
    half = SQUARE / 2
    x0, y0 = tail[0] + half, tail[1] + half
    x1, y1 = head[0] + half, head[1] + half
    dx, dy = x1 - x0, y1 - y0
    length = (dx * dx + dy * dy) ** 0.5
    ux, uy = dx / length, dy / length
    head_length, head_width, shaft = SQUARE * 0.42, SQUARE * 0.24, SQUARE * 0.16
    bx, by = x1 - ux * head_length, y1 - uy * head_length
    points = [
        (x1, y1),
        (bx - uy * head_width, by + ux * head_width),
        (bx + uy * head_width, by - ux * head_width),
    ]
    polygon = " ".join(f"{px:.1f},{py:.1f}" for px, py in points)
    return (
        f'<g class="arrow" data-move={quoteattr(move)} fill="{ARROW}" stroke="{ARROW}" '
        f'opacity="0.8"><line x1="{x0:.1f}" y1="{y0:.1f}" x2="{bx:.1f}" y2="{by:.1f}" '
        f'stroke-width="{shaft:.1f}" stroke-linecap="round"/>'
        f'<polygon points="{polygon}" stroke="none"/></g>'
    )
