"""Differential comparison of quarn_chess against python-chess over seeded random games.

Shared by tests/python/test_differential.py (a short run inside the test suite) and
tools/soak.py (the long run). A game starts from one of the standard perft positions or from a
random valid position (RANDOM_START: pieces anywhere, castling rights and en-passant squares
where they can be real), plays seeded random legal moves on both libraries and compares, at
every ply:

- the set of legal moves (our order is our own, so only the set and the absence of duplicates),
- the four FEN fields, with python-chess writing the en-passant square after every double step
  as we do,
- the side to move,
- the 12 x 64 planes, from the board and from its FEN text,
- the colour mirror: `reflect()` on a copy against python-chess's `mirror()` (FEN fields, planes
  and the mirrored legal move set), and a second `reflect()` giving the position back,
- our own consistency: listing moves leaves the FEN unchanged, pushing and popping each legal
  move restores it, and the FEN reads back to itself.

After each game, popping every move (on the board and on a copy, which carries the history)
restores the first FEN, and one more pop fails with the internal-fault exception.
"""

import random
from dataclasses import dataclass, field

import chess

from conftest import PERFT_FENS
from conftest import START as START_FEN
from quarn_chess import Board, MoveGenerator

# Marks a game that starts from a random position instead of a given FEN.
RANDOM_START = None

MIN_PLIES, MAX_PLIES = 80, 200
# Games from random positions are shorter: the start position is the point of them.
RANDOM_MIN_PLIES, RANDOM_MAX_PLIES = 10, 40
# Probability of choosing among the castling, en-passant, promotion and double-step moves
# whenever there are any, so the rare move kinds come up far more often than uniformly.
SPECIAL_BIAS = 0.25
# Mismatch texts kept per run; the count covers all of them.
KEPT_MISMATCHES = 20

PLANE_PIECES = [(piece, colour) for colour in chess.COLORS for piece in chess.PIECE_TYPES]
BYTE_BOOLS = [[bool(byte >> bit & 1) for bit in range(8)] for byte in range(256)]


def panic_exception_type():
    """The internal-fault exception class, taken from a fault: popping an empty history."""
    try:
        Board().pop()
    except BaseException as error:  # noqa: B036 - the class is what we are after
        return type(error)
    raise AssertionError("pop() on a new board did not fail")


def fen_fields(text):
    """The first four fields of a FEN text (placement, side, castling, en passant)."""
    return " ".join(text.split()[:4])


def reference_fen(reference):
    """python-chess's FEN with the en-passant square written after every double step."""
    return fen_fields(reference.fen(en_passant="fen"))


def reference_planes(reference):
    """The 12 x 64 planes of a python-chess board in our plane and square order."""
    planes = []
    for piece, colour in PLANE_PIECES:
        plane = []
        for byte in reference.pieces_mask(piece, colour).to_bytes(8, "little"):
            plane += BYTE_BOOLS[byte]
        planes.append(plane)
    return planes


def mirror_move(text):
    """A coordinate move text with both ranks flipped (e2e4 -> e7e5), promotion kept."""
    return text[0] + str(9 - int(text[1])) + text[2] + str(9 - int(text[3])) + text[4:]


def random_position(rng):
    """FEN text (four fields) of a random position python-chess calls valid.

    One king each (often on its home square, with rooks in the corners, so castling rights come
    up), up to 24 other pieces anywhere but pawns off the back ranks, castling rights only where
    king and rook stand at home, and sometimes the en-passant square behind an enemy pawn that
    may just have made a double step.
    """
    while True:
        reference = chess.Board(None)
        reference.turn = rng.choice(chess.COLORS)
        free = set(chess.SQUARES)
        if rng.random() < 0.5:
            home = ((chess.E1, "K"), (chess.E8, "k"), (chess.A1, "R"), (chess.H1, "R"),
                    (chess.A8, "r"), (chess.H8, "r"))
            for square, piece in home:
                if piece in "Kk" or rng.random() < 0.7:
                    reference.set_piece_at(square, chess.Piece.from_symbol(piece))
                    free.discard(square)
        # Often an enemy pawn that may just have stepped twice, with a pawn beside it to take it.
        them = not reference.turn
        step = -8 if them == chess.BLACK else 8
        if rng.random() < 0.4:
            square = chess.square(rng.randrange(8), 4 if them == chess.BLACK else 3)
            crossed = {square - step, square - 2 * step}
            if square in free and crossed <= free:
                reference.set_piece_at(square, chess.Piece(chess.PAWN, them))
                free -= crossed | {square}
                beside = [s for s in (square - 1, square + 1)
                          if s in free and chess.square_rank(s) == chess.square_rank(square)]
                if beside and rng.random() < 0.8:
                    taker = rng.choice(beside)
                    reference.set_piece_at(taker, chess.Piece(chess.PAWN, not them))
                    free.discard(taker)
        for king in "Kk":
            if reference.king(king == "K") is None:
                square = rng.choice(sorted(free))
                reference.set_piece_at(square, chess.Piece.from_symbol(king))
                free.discard(square)
        for _ in range(rng.randint(0, 24)):
            square = rng.choice(sorted(free))
            piece = chess.Piece.from_symbol(rng.choice("PNBRQpnbrq"))
            if piece.piece_type == chess.PAWN and chess.square_rank(square) in (0, 7):
                continue
            reference.set_piece_at(square, piece)
            free.discard(square)

        rights = 0
        corners = ((chess.E1, chess.H1, chess.WHITE), (chess.E1, chess.A1, chess.WHITE),
                   (chess.E8, chess.H8, chess.BLACK), (chess.E8, chess.A8, chess.BLACK))
        for king, rook, colour in corners:
            if (reference.piece_at(king) == chess.Piece(chess.KING, colour)
                    and reference.piece_at(rook) == chess.Piece(chess.ROOK, colour)
                    and rng.random() < 0.7):
                rights |= chess.BB_SQUARES[rook]
        reference.castling_rights = rights

        # The enemy pawn stands on the fourth rank from its side; the two squares it crossed
        # are empty.
        pawns = [square for square in reference.pieces(chess.PAWN, them)
                 if chess.square_rank(square) == (4 if them == chess.BLACK else 3)
                 and reference.piece_at(square - step) is None
                 and reference.piece_at(square - 2 * step) is None]
        if pawns and rng.random() < 0.6:
            reference.ep_square = rng.choice(pawns) - step
        if reference.is_valid():
            return reference_fen(reference)


def is_special(reference, move):
    return (
        move.promotion is not None
        or reference.is_castling(move)
        or reference.is_en_passant(move)
        or (reference.piece_type_at(move.from_square) == chess.PAWN
            and abs(move.to_square - move.from_square) == 16)
    )


@dataclass
class Tally:
    games: int = 0
    positions: int = 0
    mismatches: int = 0
    examples: list = field(default_factory=list)

    def add(self, other):
        self.games += other.games
        self.positions += other.positions
        self.mismatches += other.mismatches
        self.examples += other.examples[: KEPT_MISMATCHES - len(self.examples)]


class PairedGame:
    """One seeded random game played on our board and on python-chess's side by side: the start
    (a random position for RANDOM_START), the length in plies drawn from the class's ranges, and
    the mismatches found."""

    plies_range = (MIN_PLIES, MAX_PLIES)
    random_plies_range = (RANDOM_MIN_PLIES, RANDOM_MAX_PLIES)

    def __init__(self, generator, start_fen, seed):
        self.generator = generator
        self.seed = seed
        self.rng = random.Random(seed)
        if start_fen is RANDOM_START:
            start_fen = random_position(self.rng)
            self.plies = self.rng.randint(*self.random_plies_range)
        else:
            self.plies = self.rng.randint(*self.plies_range)
        self.start_fen = start_fen
        self.board = Board(start_fen)
        self.reference = chess.Board(start_fen)
        self.played = []
        self.problems = []

    def fail(self, what, ours, theirs):
        moves = " ".join(self.played)
        self.problems.append(
            f"{what}: ours {ours!r}, python-chess {theirs!r}\n"
            f"  start {self.start_fen!r}, seed {self.seed!r}, moves [{moves}]"
        )


class Game(PairedGame):
    """The quarn_chess comparison: positions, legal moves, planes and reflection."""

    def __init__(self, generator, start_fen, seed, panic):
        super().__init__(generator, start_fen, seed)
        self.panic = panic

    def compare_position(self):
        """Compares the current position; returns python-chess's legal moves (sorted)."""
        board, reference, generator = self.board, self.reference, self.generator
        fen = board.fen()
        expected_fen = reference_fen(reference)
        if fen != expected_fen:
            self.fail("fen", fen, expected_fen)
        turn = "white" if reference.turn == chess.WHITE else "black"
        if board.turn() != turn:
            self.fail("turn", board.turn(), turn)

        ours = generator(board)
        if board.fen() != fen:
            self.fail("fen changed by move listing", board.fen(), fen)
        theirs = sorted(move.uci() for move in reference.legal_moves)
        if sorted(ours) != theirs:
            self.fail("legal moves", sorted(ours), theirs)

        planes = reference_planes(reference)
        if board.bitboard() != planes:
            self.fail("planes", board.bitboard(), planes)
        if Board.bitboard_from_fen(fen) != planes:
            self.fail("planes from fen", Board.bitboard_from_fen(fen), planes)
        if Board(fen).fen() != fen:
            self.fail("fen read back", Board(fen).fen(), fen)

        for move in ours:
            board.push(move)
            board.pop()
            if board.fen() != fen:
                self.fail(f"push/pop of {move}", board.fen(), fen)
                break

        self.compare_mirror(fen, theirs)
        return theirs

    def compare_mirror(self, fen, theirs):
        mirrored = self.board.copy()
        mirrored.reflect()
        reference = self.reference.mirror()
        expected_fen = reference_fen(reference)
        if mirrored.fen() != expected_fen:
            self.fail("reflected fen", mirrored.fen(), expected_fen)
        planes = reference_planes(reference)
        if mirrored.bitboard() != planes:
            self.fail("reflected planes", mirrored.bitboard(), planes)
        expected_moves = sorted(mirror_move(move) for move in theirs)
        if sorted(self.generator(mirrored)) != expected_moves:
            self.fail("reflected legal moves", sorted(self.generator(mirrored)), expected_moves)
        mirrored.reflect()
        if mirrored.fen() != fen:
            self.fail("reflected twice", mirrored.fen(), fen)

    def choose(self, theirs):
        moves = [chess.Move.from_uci(text) for text in theirs]
        if self.rng.random() < SPECIAL_BIAS:
            special = [move for move in moves if is_special(self.reference, move)]
            if special:
                return self.rng.choice(special)
        return self.rng.choice(moves)

    def play(self):
        """Plays the game out; returns the number of positions compared.

        An exception from either library ends the game and counts as a mismatch.
        """
        positions = 0
        try:
            while True:
                theirs = self.compare_position()
                positions += 1
                if self.problems or not theirs or len(self.played) >= self.plies:
                    break
                if self.reference.is_insufficient_material():
                    break
                move = self.choose(theirs)
                self.board.push(move.uci())
                self.reference.push(move)
                self.played.append(move.uci())
            self.take_back()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - internal faults are BaseExceptions
            self.fail("exception", f"{type(error).__name__}: {error}", "no exception")
        return positions

    def take_back(self):
        copy = self.board.copy()
        for board, name in ((self.board, "board"), (copy, "copy")):
            for _ in self.played:
                board.pop()
            if board.fen() != self.start_fen:
                self.fail(f"{name} after popping every move", board.fen(), self.start_fen)
            try:
                board.pop()
            except self.panic:
                pass
            else:
                self.fail(f"{name}: pop beyond the first position", "no fault", "a fault")


def run_games(start_fens, seed, min_positions, generator=None):
    """Plays games, cycling through `start_fens` (FEN texts or RANDOM_START), until
    `min_positions` positions are compared.

    Game i uses the seed f"{seed}:{i}", so a run is the same every time.
    """
    generator = generator or MoveGenerator()
    panic = panic_exception_type()
    tally = Tally()
    while tally.positions < min_positions:
        start_fen = start_fens[tally.games % len(start_fens)]
        game = Game(generator, start_fen, f"{seed}:{tally.games}", panic)
        tally.positions += game.play()
        tally.games += 1
        tally.mismatches += len(game.problems)
        tally.examples += game.problems[: KEPT_MISMATCHES - len(tally.examples)]
    return tally
