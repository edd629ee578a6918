"""Memory and reference counts stay flat while every method runs, failing paths included.

Each operation runs a warm-up and then several measured rounds; across the measured rounds the
process RSS (which sees the C++ heap too) and the Python heap traced by tracemalloc must not
grow, and the reference counts of the objects passed in (texts, the board, the classes) must be
what they were before. Internal faults write a report to standard error; it goes to /dev/null
while the loops run.
"""

import contextlib
import gc
import os
import sys
import tracemalloc

import pytest

from differential import PERFT_FENS, panic_exception_type

from quarn_chess import Board, MoveGenerator

PANIC = panic_exception_type()
EXPECTED = (ValueError, TypeError, UnicodeEncodeError, PANIC)

WARM_UP = 3_000
ROUND = 8_000
ROUNDS = 3
# RSS may move by an allocator chunk now and then; a leak of more than about 6 bytes per call
# grows it by more than this between the first and the last round ((ROUNDS - 1) x ROUND calls).
RSS_SLACK = 96 * 1024
TRACED_CALLS = 2_000
TRACED_SLACK = 4 * 1024

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def fresh(text):
    """A new, non-interned str equal to `text` (interned strings are immortal)."""
    return "".join(list(text))


@contextlib.contextmanager
def quiet_stderr():
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def swallow(call, *args, **kwargs):
    """A callable running call(*args, **kwargs) that ignores the failures this API reports."""

    def run():
        try:
            call(*args, **kwargs)
        except EXPECTED:
            pass

    return run


def operations():
    """(name, callable, repeat factor, objects whose reference counts must not move)."""
    start, kiwipete, promote = fresh(PERFT_FENS[0]), fresh(PERFT_FENS[1]), fresh(PERFT_FENS[3])
    generator = MoveGenerator()
    board, kiwi_board, promote_board = Board(start), Board(kiwipete), Board(promote)
    empty_history, no_king = Board(), Board(fresh("8/8/8/8/8/8/8/8 w - -"))
    move, castle, promotion = fresh("e2e4"), fresh("e1g1"), fresh("b2a1q")
    bad = {
        "side": fresh("8/8/8/8/8/8/8/8 x - -"),
        "castling": fresh("8/8/8/8/8/8/8/8 w KX -"),
        "piece": fresh("rnbqkbnr/ppppxppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"),
        "fields": fresh("8/8/8/8/8/8/8/8 w"),
        "empty": fresh(" "),
        "surrogate": fresh("8/8/8/8/8/8/8/8 w - - \ud800"),
        "length": fresh("e2e"),
        "letter": fresh("e7e8k"),
        "square": fresh("z9z9"),
        "from-square": fresh("e3e4"),
        "no letter": fresh("b2a1"),
    }
    planes_of = Board.bitboard_from_fen
    long_history = [fresh(m) for m in ("g1f3", "g8f6", "f3g1", "f6g8") * 25]

    def push_pop(target, text):
        def run():
            target.push(text)
            target.pop()

        return run

    def long_game():
        for text in long_history:
            board.push(text)
        copy = board.copy()
        for _ in long_history:
            board.pop()
        del copy

    def reflect_with_history():
        reflected = Board(start)
        reflected.push(move)
        reflected.reflect()
        reflected.reflect()

    ops = [
        ("Board()", Board, 1, []),
        ("Board(fen)", lambda: Board(kiwipete), 1, [kiwipete]),
        ("Board(fen=)", lambda: Board(fen=kiwipete), 1, [kiwipete]),
        ("Board(bad side)", swallow(Board, bad["side"]), 1, [bad["side"]]),
        ("Board(bad castling)", swallow(Board, bad["castling"]), 1, [bad["castling"]]),
        ("Board(bad piece)", swallow(Board, bad["piece"]), 1, [bad["piece"]]),
        ("Board(missing fields)", swallow(Board, bad["fields"]), 1, [bad["fields"]]),
        ("Board(blank)", swallow(Board, bad["empty"]), 1, [bad["empty"]]),
        ("Board(surrogate)", swallow(Board, bad["surrogate"]), 1, [bad["surrogate"]]),
        ("Board(None)", swallow(Board, None), 1, []),
        ("Board(fen, fen)", swallow(Board, start, start), 1, [start]),
        ("Board(fen, fen=)", swallow(Board, start, fen=start), 1, [start]),
        ("Board(x=)", swallow(Board, x=start), 1, [start]),
        ("fen", board.fen, 1, [board]),
        ("fen(x)", swallow(board.fen, start), 1, [board, start]),
        ("turn", board.turn, 1, [board]),
        ("copy", board.copy, 1, [board]),
        ("bitboard", board.bitboard, 1, [board]),
        ("push/pop", push_pop(board, move), 1, [board, move]),
        ("push/pop keyword", lambda: (board.push(chess_move=move), board.pop()), 1, [board, move]),
        ("push/pop castling", push_pop(kiwi_board, castle), 1, [kiwi_board, castle]),
        ("push/pop promotion", push_pop(promote_board, promotion), 1, [promote_board, promotion]),
        ("100 pushes, copy, 100 pops", long_game, 0.02, [board, *long_history]),
        ("reflect", reflect_with_history, 0.5, [start, move]),
        ("push(bad length)", swallow(board.push, bad["length"]), 1, [board, bad["length"]]),
        ("push(bad letter)", swallow(board.push, bad["letter"]), 1, [bad["letter"]]),
        ("push(no letter)", swallow(promote_board.push, bad["no letter"]), 1, [bad["no letter"]]),
        ("push(bad square)", swallow(board.push, bad["square"]), 1, [bad["square"]]),
        ("push(empty from)", swallow(board.push, bad["from-square"]), 1, [bad["from-square"]]),
        ("push(surrogate)", swallow(board.push, bad["surrogate"]), 1, [bad["surrogate"]]),
        ("push(bytes)", swallow(board.push, b"e2e4"), 1, [board]),
        ("push()", swallow(board.push), 1, [board]),
        ("push(m, m)", swallow(board.push, move, move), 1, [board, move]),
        ("push(m, chess_move=)", swallow(board.push, move, chess_move=move), 1, [move]),
        ("push(move=)", swallow(board.push, move=move), 1, [move]),
        ("pop(empty)", swallow(empty_history.pop), 1, [empty_history]),
        ("bitboard_from_fen", lambda: Board.bitboard_from_fen(start), 1, [start]),
        ("board.bitboard_from_fen", lambda: board.bitboard_from_fen(fen=start), 1, [start, board]),
        ("bitboard_from_fen(bad)", swallow(planes_of, bad["piece"]), 1, [bad["piece"]]),
        ("bitboard_from_fen(blank)", swallow(planes_of, bad["empty"]), 1, [bad["empty"]]),
        ("bitboard_from_fen(1)", swallow(Board.bitboard_from_fen, 1), 1, []),
        ("bitboard_from_fen()", swallow(Board.bitboard_from_fen), 1, []),
        ("MoveGenerator()", MoveGenerator, 0.01, []),
        ("MoveGenerator(1)", swallow(MoveGenerator, 1), 1, []),
        ("generator(board)", lambda: generator(kiwi_board), 1, [generator, kiwi_board]),
        ("generator(board=)", lambda: generator(board=board), 1, [generator, board]),
        ("generator(no king)", swallow(generator, no_king), 1, [generator, no_king]),
        ("generator(str)", swallow(generator, start), 1, [generator, start]),
        ("generator()", swallow(generator), 1, [generator]),
        ("unbound fen(generator)", swallow(Board.fen, generator), 1, [generator]),
    ]
    return ops


def shared_objects():
    """Objects every call may touch; immortal singletons are left out (their count never moves)."""
    objects = [Board, MoveGenerator, PANIC]
    objects += [obj for obj in (None, True, False) if sys.getrefcount(obj) < 1 << 30]
    return objects


def run(call, times):
    for _ in range(times):
        call()


@pytest.fixture(scope="module")
def ops():
    return operations()


@pytest.mark.skipif(
    bool(os.environ.get("QUARN_SANITIZED")), reason="sanitizer instrumentation distorts RSS"
)
def test_rss_and_reference_counts_stay_flat(ops):
    report = []
    with quiet_stderr():
        for name, call, factor, watched in ops:
            watched = watched + shared_objects()
            run(call, max(1, int(WARM_UP * factor)))
            gc.collect()
            counts = [sys.getrefcount(obj) for obj in watched]
            sizes = []
            for _ in range(ROUNDS):
                run(call, max(1, int(ROUND * factor)))
                gc.collect()
                sizes.append(rss())
            after = [sys.getrefcount(obj) for obj in watched]
            changed = [(repr(obj)[:40], old, new)
                       for obj, old, new in zip(watched, counts, after) if old != new]
            assert not changed, f"{name}: reference counts moved {changed}"
            growth = sizes[-1] - sizes[0]
            report.append((name, growth))
    leaking = [(name, growth) for name, growth in report if growth > RSS_SLACK]
    assert not leaking, f"RSS grew over {ROUNDS - 1} rounds: {leaking}"


def test_traced_python_heap_stays_flat(ops):
    leaking = []
    with quiet_stderr():
        tracemalloc.start()
        try:
            for name, call, factor, _ in ops:
                times = max(2, int(TRACED_CALLS * factor))
                run(call, times)
                gc.collect()
                before = tracemalloc.take_snapshot()
                run(call, times)
                gc.collect()
                after = tracemalloc.take_snapshot()
                ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
                diff = after.filter_traces(ignore).compare_to(
                    before.filter_traces(ignore), "lineno")
                grown = sum(stat.size_diff for stat in diff)
                if grown > TRACED_SLACK:
                    leaking.append((name, grown, str(diff[0])))
        finally:
            tracemalloc.stop()
    assert not leaking, f"traced heap grew: {leaking}"
