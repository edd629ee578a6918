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
    """Runs each operation twice as often as warm-up and compares the traced heap before and after;
    allocations made by files under `ignored_dirs` (libraries with caches of their own) are not
    counted."""
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    ignore += [tracemalloc.Filter(False, os.path.join(folder, "*")) for folder in ignored_dirs]
    leaking = []
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
            diff = after.filter_traces(ignore).compare_to(before.filter_traces(ignore), "lineno")
            grown = sum(stat.size_diff for stat in diff)
            if grown > TRACED_SLACK:
                leaking.append((name, grown, str(diff[0])))
    finally:
        tracemalloc.stop()
    assert not leaking, f"traced heap grew: {leaking}"
