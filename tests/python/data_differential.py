"""Differential comparison of quarn_data against python-chess over seeded random games.

Shared by tests/python/test_data_differential.py (the short run in `make test`) and
tools/soak.py (the long run). Games start from the perft positions and from random valid
positions (see differential.py) and follow random legal moves. At every position the queries are
compared with python-chess: is_check, is_checkmate, is_stalemate, is_insufficient_material,
legal_move_count and outcome (python-chess's outcome(claim_draw=False) without the seventy-five
move and fivefold repetition rules, which need move counters a board does not keep; checked
directly at every `san_every`-th position, through python-chess's check, move count and material
rule elsewhere). Per game,
packed / planes / scalars of every position, plain and flipped, are compared in one batch call
with python-chess's piece masks, its mirror() and its castling and en-passant state. At every
`san_every`-th position the SAN of every legal move is compared both ways (san, legal_san and
parse_san against python-chess's san).
"""

import chess
import numpy as np
from differential import KEPT_MISMATCHES, PLANE_PIECES, PairedGame, Tally

import quarn_data as qd
from quarn_chess import MoveGenerator

MAX_PLIES = 160
RANDOM_MAX_PLIES = 40
AUTOMATIC_DRAWS = (chess.Termination.SEVENTYFIVE_MOVES, chess.Termination.FIVEFOLD_REPETITION)


def masks(reference):
    return [reference.pieces_mask(piece, colour) for piece, colour in PLANE_PIECES]


def scalars(reference, seen):
    """Side to move and en passant of `reference`, castling rights of `seen` (itself or its
    mirror)."""
    ep = reference.ep_square
    return [
        int(reference.turn),
        int(seen.has_kingside_castling_rights(chess.WHITE)),
        int(seen.has_queenside_castling_rights(chess.WHITE)),
        int(seen.has_kingside_castling_rights(chess.BLACK)),
        int(seen.has_queenside_castling_rights(chess.BLACK)),
        -1 if ep is None else chess.square_file(ep),
    ]


def expected_outcome(reference):
    result = reference.outcome()
    if result is None or result.termination in AUTOMATIC_DRAWS:
        return None
    winner = None if result.winner is None else ("white" if result.winner else "black")
    return (result.termination.name, winner)


class DataGame(PairedGame):
    plies_range = (1, MAX_PLIES)
    random_plies_range = (1, RANDOM_MAX_PLIES)

    def __init__(self, generator, start_fen, seed, san_every, counter):
        super().__init__(generator, start_fen, seed)
        self.san_every = san_every
        self.counter = counter

    def compare_queries(self, full):
        """python-chess's own definitions of mate and stalemate (check and move count) at every
        position; its outcome() itself at every `full` one."""
        board, reference = self.board, self.reference
        check = reference.is_check()
        count = reference.legal_moves.count()
        insufficient = reference.is_insufficient_material()
        pairs = (
            ("is_check", qd.is_check(board), check),
            ("is_checkmate", qd.is_checkmate(board), check and count == 0),
            ("is_stalemate", qd.is_stalemate(board), not check and count == 0),
            ("is_insufficient_material", qd.is_insufficient_material(board), insufficient),
            ("legal_move_count", qd.legal_move_count(board), count),
        )
        for what, ours, theirs in pairs:
            if ours != theirs:
                self.fail(what, ours, theirs)
        ours = qd.outcome(board)
        ours = None if ours is None else tuple(ours)
        if full:
            theirs = expected_outcome(reference)
        elif count == 0 and check:
            theirs = ("CHECKMATE", "black" if reference.turn else "white")
        elif insufficient:
            theirs = ("INSUFFICIENT_MATERIAL", None)
        elif count == 0:
            theirs = ("STALEMATE", None)
        else:
            theirs = None
        if ours != theirs:
            self.fail("outcome", ours, theirs)

    def compare_san(self, moves):
        board, reference = self.board, self.reference
        listed = qd.legal_san(board)
        if len(listed) != len(moves):
            self.fail("legal_san length", len(listed), len(moves))
        for uci, listed_san in zip(moves, listed, strict=False):
            theirs = reference.san(chess.Move.from_uci(uci))
            ours = qd.san(board, uci)
            if ours != theirs or listed_san != theirs:
                self.fail(f"san of {uci}", (ours, listed_san), theirs)
            parsed = qd.parse_san(board, theirs)
            if parsed != uci:
                self.fail(f"parse_san of {theirs}", parsed, uci)

    def play(self):
        boards, expected, expected_flip, expected_scalars, expected_scalars_flip = [], [], [], [], []
        try:
            while True:
                self.counter[0] += 1
                sample = self.counter[0] % self.san_every == 0
                self.compare_queries(sample)
                boards.append(self.board.copy())
                expected.append(masks(self.reference))
                expected_scalars.append(scalars(self.reference, self.reference))
                if self.reference.turn == chess.BLACK:
                    # mirror() without the history: the copy of the move stack is what costs.
                    mirror = self.reference.copy(stack=False)
                    mirror.apply_mirror()
                    expected_flip.append(masks(mirror))
                    expected_scalars_flip.append(scalars(self.reference, mirror))
                else:
                    expected_flip.append(expected[-1])
                    expected_scalars_flip.append(expected_scalars[-1])
                moves = self.generator(self.board)
                if sample:
                    self.compare_san(moves)
                if self.problems or not moves or len(self.played) >= self.plies:
                    break
                move = self.rng.choice(moves)
                self.board.push(move)
                self.reference.push(chess.Move.from_uci(move))
                self.played.append(move)
            self.compare_tensors(boards, expected, expected_flip, expected_scalars,
                                 expected_scalars_flip)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - internal faults are BaseExceptions
            self.fail("exception", f"{type(error).__name__}: {error}", "no exception")
        return len(boards)

    def compare_tensors(self, boards, expected, expected_flip, expected_scalars,
                        expected_scalars_flip):
        for flip, want in ((False, expected), (True, expected_flip)):
            want = np.array(want, dtype=np.uint64)
            packed = qd.packed_batch(boards, flip=flip)
            if not np.array_equal(packed, want):
                row = int(np.argmax((packed != want).any(axis=1)))
                self.fail(f"packed (flip={flip}) at ply {row}", packed[row].tolist(),
                          want[row].tolist())
            planes = qd.planes_batch(boards, flip=flip)
            bits = np.unpackbits(want.view(np.uint8), bitorder="little").reshape(-1, 12, 64)
            if not np.array_equal(planes, bits.astype(bool)):
                self.fail(f"planes (flip={flip})", "differ", "python-chess masks")
            for i in (0, len(boards) - 1):
                single = qd.planes(boards[i], flip=flip)
                if not np.array_equal(single, planes[i]):
                    self.fail(f"planes of ply {i} (flip={flip})", "differs", "batch row")
        for flip, want in ((False, expected_scalars), (True, expected_scalars_flip)):
            got = qd.scalars_batch(boards, flip=flip)
            if got.tolist() != want:
                row = next(i for i, (a, b) in enumerate(zip(got.tolist(), want)) if a != b)
                self.fail(f"scalars (flip={flip}) at ply {row}", got[row].tolist(), want[row])


def run_data_games(start_fens, seed, min_positions, san_every=25, generator=None):
    """Plays games, cycling through `start_fens`, until `min_positions` positions are compared."""
    generator = generator or MoveGenerator()
    tally = Tally()
    counter = [0]
    while tally.positions < min_positions:
        start_fen = start_fens[tally.games % len(start_fens)]
        game = DataGame(generator, start_fen, f"{seed}:{tally.games}", san_every, counter)
        tally.positions += game.play()
        tally.games += 1
        tally.mismatches += len(game.problems)
        tally.examples += game.problems[: KEPT_MISMATCHES - len(tally.examples)]
    return tally
