"""The leak measurement the leak tests share: run each operation through a warm-up and several
measured rounds; across the rounds the process RSS (which sees the C++ heap too) and the Python
heap traced by tracemalloc must not grow, and the reference counts of the watched objects must be
what they were before.

An operation is (name, callable, repeat factor, objects whose reference counts must not move).
"""

import contextlib
import gc
import os
import sys
import tracemalloc

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


def swallowing(expected):
    """swallow(call, *args, **kwargs): a callable running call(*args, **kwargs) that ignores the
    failures in `expected` (the ones the API reports)."""

    def swallow(call, *args, **kwargs):
        def run():
            try:
                call(*args, **kwargs)
            except expected:
                pass

        return run

    return swallow


def run(call, times):
    for _ in range(times):
        call()


def assert_rss_and_reference_counts_flat(ops, shared):
    """`shared`: objects every call may touch, watched for each operation besides its own."""
    report = []
    for name, call, factor, watched in ops:
        watched = [*watched, *shared]
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
        report.append((name, sizes[-1] - sizes[0]))
    leaking = [(name, growth) for name, growth in report if growth > RSS_SLACK]
    assert not leaking, f"RSS grew over {ROUNDS - 1} rounds: {leaking}"


def assert_traced_heap_flat(ops, ignored_dirs=()):
    """Runs each operation for a warm-up round and two measured rounds, comparing the traced heap
    around each measured round. A leak grows the heap in every round; a cache that fills once (the
    interpreter's or a library's) grows it in one at most, so only growth past the slack in both
    rounds counts. Allocations made by files under `ignored_dirs` are not counted."""
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    ignore += [tracemalloc.Filter(False, os.path.join(folder, "*")) for folder in ignored_dirs]
    leaking = []
    tracemalloc.start()
    try:
        for name, call, factor, _ in ops:
            times = max(2, int(TRACED_CALLS * factor))
            run(call, times)
            gc.collect()
            snapshots = [tracemalloc.take_snapshot().filter_traces(ignore)]
            for _ in range(2):
                run(call, times)
                gc.collect()
                snapshots.append(tracemalloc.take_snapshot().filter_traces(ignore))
            diffs = [after.compare_to(before, "lineno") for before, after in zip(snapshots, snapshots[1:])]
            grown = [sum(stat.size_diff for stat in diff) for diff in diffs]
            if min(grown) > TRACED_SLACK:
                leaking.append((name, grown, str(diffs[-1][0])))
    finally:
        tracemalloc.stop()
    assert not leaking, f"traced heap grew: {leaking}"
