"""quarn_data's functions leave memory and reference counts flat, failing paths included (the
measurement of test_leaks.py, over quarn_data's calls)."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from test_leaks import ROUND, ROUNDS, RSS_SLACK, TRACED_CALLS, TRACED_SLACK, WARM_UP, fresh, rss

import quarn_data as qd
from quarn_chess import Board

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
EXPECTED = (ValueError, TypeError)


def swallow(call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except EXPECTED:
            pass

    return run


def operations():
    board = Board(fresh(KIWIPETE))
    mate = Board(fresh("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -"))
    rooks = Board(fresh("4k3/8/8/R7/8/8/8/R3K3 w - -"))
    castle, bishop, nonsense = fresh("e1g1"), fresh("Bxa6"), fresh("hello")
    boards = [board, mate, rooks] * 8
    out = np.empty((len(boards), 12, 64), dtype=bool)
    wrong = np.empty((len(boards), 12, 64), dtype=np.uint8)
    return [
        ("is_check", lambda: qd.is_check(board), 1, [board]),
        ("is_checkmate", lambda: qd.is_checkmate(mate), 1, [mate]),
        ("outcome", lambda: qd.outcome(mate), 1, [mate]),
        ("legal_move_count", lambda: qd.legal_move_count(board=board), 1, [board]),
        ("san", lambda: qd.san(board, castle), 1, [board, castle]),
        ("san(illegal)", swallow(qd.san, board, bishop), 1, [board, bishop]),
        ("legal_san", lambda: qd.legal_san(board), 0.2, [board]),
        ("parse_san", lambda: qd.parse_san(board, bishop), 1, [board, bishop]),
        ("parse_san(invalid)", swallow(qd.parse_san, board, nonsense), 1, [nonsense]),
        ("parse_san(ambiguous)", swallow(qd.parse_san, rooks, fresh("Ra3")), 1, [rooks]),
        ("perft", lambda: qd.perft(board, 1), 1, [board]),
        ("planes", lambda: qd.planes(board, flip=True), 1, [board]),
        ("packed", lambda: qd.packed(board), 1, [board]),
        ("scalars", lambda: qd.scalars(board), 1, [board]),
        ("planes_batch", lambda: qd.planes_batch(boards), 0.2, [board, mate]),
        ("planes_batch(out)", lambda: qd.planes_batch(boards, out=out), 0.2, [board, out]),
        ("planes_batch(bad out)", swallow(qd.planes_batch, boards, out=wrong), 1, [board, wrong]),
        ("packed_batch(bad item)", swallow(qd.packed_batch, [board, 1]), 1, [board]),
        ("is_check(str)", swallow(qd.is_check, nonsense), 1, [nonsense]),
    ]


def run(call, times):
    for _ in range(times):
        call()


@pytest.mark.skipif(
    bool(os.environ.get("QUARN_SANITIZED")), reason="sanitizer instrumentation distorts RSS"
)
def test_rss_and_reference_counts_stay_flat():
    report = []
    for name, call, factor, watched in operations():
        watched = [*watched, Board, qd.Outcome]
        run(call, max(1, int(WARM_UP * factor)))
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        sizes = []
        for _ in range(ROUNDS):
            run(call, max(1, int(ROUND * factor)))
            gc.collect()
            sizes.append(rss())
        after = [sys.getrefcount(obj) for obj in watched]
        changed = [(name, repr(obj)[:40], old, new)
                   for obj, old, new in zip(watched, counts, after) if old != new]
        assert not changed, f"reference counts moved {changed}"
        report.append((name, sizes[-1] - sizes[0]))
    leaking = [(name, growth) for name, growth in report if growth > RSS_SLACK]
    assert not leaking, f"RSS grew over {ROUNDS - 1} rounds: {leaking}"


def test_traced_python_heap_stays_flat():
    leaking = []
    tracemalloc.start()
    try:
        for name, call, factor, _ in operations():
            times = max(2, int(TRACED_CALLS * factor))
            run(call, times)
            gc.collect()
            before = tracemalloc.take_snapshot()
            run(call, times)
            gc.collect()
            after = tracemalloc.take_snapshot()
            # NumPy's own Python code (dtype names in error messages) keeps caches of its own.
            ignore = [
                tracemalloc.Filter(False, tracemalloc.__file__),
                tracemalloc.Filter(False, os.path.join(os.path.dirname(np.__file__), "*")),
            ]
            diff = after.filter_traces(ignore).compare_to(before.filter_traces(ignore), "lineno")
            grown = sum(stat.size_diff for stat in diff)
            if grown > TRACED_SLACK:
                leaking.append((name, grown, str(diff[0])))
    finally:
        tracemalloc.stop()
    assert not leaking, f"traced heap grew: {leaking}"
