"""quarn_data.svg: the drawing is well-formed SVG, shows every piece on its square (python-chess's
piece map as the oracle) for either orientation, marks the last move and draws the arrows, and
refuses bad arguments with clear errors."""

import random
import re
import xml.etree.ElementTree as ET

import chess
import pytest

import quarn_chess
import quarn_data
from conftest import PERFT_FENS
import importlib

svg_module = importlib.import_module("quarn_data.svg")  # the attribute quarn_data.svg is the function

NS = {"svg": "http://www.w3.org/2000/svg"}
S, M = svg_module.SQUARE, svg_module.MARGIN


def parse(text):
    root = ET.fromstring(text)
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    return root


def pieces(root):
    """{square name: FEN letter} and {square name: (x, y)} of the drawn pieces."""
    found, where = {}, {}
    for group in root.iterfind(".//svg:g[@class='piece']", NS):
        square = group.get("data-square")
        assert square not in found, f"two pieces drawn on {square}"
        found[square] = group.get("data-piece")
        x, y = re.match(r"translate\(([\d.]+) ([\d.]+)\)", group.get("transform")).groups()
        where[square] = (float(x), float(y))
    return found, where


def corner(square, orientation):
    file, rank = chess.square_file(square), chess.square_rank(square)
    if orientation == "black":
        return M + (7 - file) * S, M + rank * S
    return M + file * S, M + (7 - rank) * S


def random_positions(count, seed):
    rng = random.Random(seed)
    fens = []
    for fen in PERFT_FENS:
        board = chess.Board(fen + " 0 1")
        for _ in range(count // len(PERFT_FENS)):
            moves = list(board.legal_moves)
            if not moves or board.is_game_over():
                board = chess.Board(fen + " 0 1")
                continue
            board.push(rng.choice(moves))
            fens.append(board.fen())
    return fens


@pytest.mark.parametrize("orientation", ["white", "black"])
def test_every_piece_is_drawn_on_its_square(orientation):
    for fen in list(PERFT_FENS) + random_positions(240, seed=orientation == "black"):
        text = quarn_data.svg(quarn_chess.Board(" ".join(fen.split()[:4])), orientation=orientation)
        found, where = pieces(parse(text))
        expected = {chess.square_name(sq): p.symbol()
                    for sq, p in chess.Board(fen).piece_map().items()}
        assert found == expected, fen
        for name in found:
            assert where[name] == corner(chess.parse_square(name), orientation), (fen, name)


def test_board_squares_colours_and_coordinates_follow_the_orientation():
    board = quarn_chess.Board()
    for orientation, left_file, bottom_rank in (("white", "a", "1"), ("black", "h", "8")):
        root = parse(quarn_data.svg(board, orientation=orientation, size=200))
        assert root.get("width") == root.get("height") == "200"
        squares = root.findall(".//svg:rect[@class]", NS)
        named = {r.get("class").split()[2]: r for r in squares if r.get("class").startswith("square")}
        assert len(named) == 64
        assert "dark" in named["a1"].get("class") and "light" in named["h1"].get("class")
        a1 = (float(named["a1"].get("x")), float(named["a1"].get("y")))
        assert a1 == corner(chess.A1, orientation)
        files = sorted(root.iterfind(".//svg:text[@class='coordinate file']", NS),
                       key=lambda t: float(t.get("x")))
        ranks = sorted(root.iterfind(".//svg:text[@class='coordinate rank']", NS),
                       key=lambda t: -float(t.get("y")))
        assert files[0].text == left_file and ranks[0].text == bottom_rank
        assert len(files) == len(ranks) == 8
    root = parse(quarn_data.svg(board, coordinates=False))
    assert root.find(".//svg:text", NS) is None
    assert root.find("svg:title", NS).text == board.fen()


@pytest.mark.parametrize("orientation", ["white", "black"])
def test_lastmove_and_arrows_mark_their_squares(orientation):
    board = quarn_chess.Board()
    board.push("e2e4")
    text = quarn_data.svg(board, orientation=orientation, lastmove="e2e4",
                          arrows=["g8f6", ("d7", "d5"), "e7e8q"])
    root = parse(text)
    marked = {(float(r.get("x")), float(r.get("y")))
              for r in root.iterfind(".//svg:rect[@class='lastmove']", NS)}
    assert marked == {corner(chess.E2, orientation), corner(chess.E4, orientation)}
    arrows = root.findall(".//svg:g[@class='arrow']", NS)
    assert [a.get("data-move") for a in arrows] == ["g8f6", "d7d5", "e7e8"]
    for arrow, (tail, head) in zip(arrows, [(chess.G8, chess.F6), (chess.D7, chess.D5),
                                            (chess.E7, chess.E8)]):
        line = arrow.find("svg:line", NS)
        tip = arrow.find("svg:polygon", NS).get("points").split()[0].split(",")
        hx, hy = corner(head, orientation)
        tx, ty = corner(tail, orientation)
        assert (float(tip[0]), float(tip[1])) == pytest.approx((hx + S / 2, hy + S / 2), abs=0.1)
        assert (float(line.get("x1")), float(line.get("y1"))) == pytest.approx(
            (tx + S / 2, ty + S / 2), abs=0.1)
    # Arrows and the last move are drawn above the squares; pieces above the highlight.
    order = [element.get("class", "") for element in root]
    assert order.index("lastmove") < min(i for i, c in enumerate(order) if c == "piece")
    assert max(i for i, c in enumerate(order) if c == "piece") < order.index("arrow")
    assert ' id="' not in text  # many boards can share one HTML page


def test_bad_arguments_raise_clear_errors():
    board = quarn_chess.Board()
    cases = [
        (("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",), {}, TypeError,
         "needs a quarn_chess.Board, got str"),
        ((board,), {"orientation": "north"}, ValueError, "orientation must be 'white' or 'black'"),
        ((board,), {"size": 0}, ValueError, "size must be at least 1"),
        ((board,), {"size": "big"}, TypeError, "size must be an int"),
        ((board,), {"size": True}, TypeError, "size must be an int"),
        ((board,), {"lastmove": "e9e4"}, ValueError, "lastmove: expected a move such as 'e2e4'"),
        ((board,), {"lastmove": ("e2", "z4")}, ValueError, "lastmove: expected a square name"),
        ((board,), {"lastmove": 12}, TypeError, "lastmove: expected a move text"),
        ((board,), {"arrows": "e2e4"}, TypeError, "arrows must be an iterable of moves"),
        ((board,), {"arrows": ["e2e2"]}, ValueError, "two different squares, got e2 twice"),
        ((board,), {"arrows": [("e2", "e4", "red")]}, TypeError, "arrows: expected a move text"),
        ((board,), {"arrows": 5}, TypeError, "arrows must be an iterable of moves, e.g. ['e2e4'], got int"),
    ]
    for args, kwargs, error, message in cases:
        with pytest.raises(error, match=re.escape(message)):
            quarn_data.svg(*args, **kwargs)
    assert board.fen() == quarn_chess.Board().fen()


def test_odd_boards_draw_what_the_board_holds():
    # Lenient FEN allows a board without kings or with squares claimed twice: drawn as held.
    text = quarn_data.svg(quarn_chess.Board("8/8/8/8/8/8/8/8 w - -"))
    assert pieces(parse(text))[0] == {}
    text = quarn_data.svg(quarn_chess.Board("QQQQQQQQ/8/8/8/8/8/8/qqqqqqqq b - -"))
    assert len(pieces(parse(text))[0]) == 16


def test_jupyter_shows_it():
    display = pytest.importorskip("IPython.display")
    picture = display.SVG(quarn_data.svg(quarn_chess.Board()))
    assert picture._repr_svg_().startswith("<svg")
