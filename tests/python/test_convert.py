"""python -m quarn_data convert: deterministic shards, every game once, resuming, local processes
and a Dask cluster on loopback."""

import errno
import io
import json
import mmap
import os
import multiprocessing
import subprocess
import sys
import struct
import threading
import zipfile
import zlib
from pathlib import Path

import numpy as np
import pytest

from quarn_data import _pgn, pgn_to_arrays
from quarn_data.convert import Options, convert, write_npz

DATA = Path(__file__).resolve().parents[1] / "data"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """A plain file of about 1.7 MB (the random games twice) and its .zst copy."""
    import zstandard

    folder = tmp_path_factory.mktemp("inputs")
    data = (DATA / "random_games.pgn").read_bytes() * 2
    plain = folder / "games.pgn"
    plain.write_bytes(data)
    # Two frames, so that the reader crosses a frame boundary.
    half = len(data) // 2
    compressor = zstandard.ZstdCompressor()
    (folder / "games.pgn.zst").write_bytes(
        compressor.compress(data[:half]) + compressor.compress(data[half:]))
    return plain, folder / "games.pgn.zst"


SHARD = 200_000


def load(folder):
    shards = sorted(Path(folder).glob("*.npz"))
    loaded = []
    for path in shards:
        with np.load(path) as npz:
            arrays = {name: npz[name] for name in npz.files}
        arrays["meta"] = json.loads(str(arrays["meta"]))
        loaded.append(arrays)
    return shards, loaded


def test_shards_hold_every_game_once_whatever_the_workers(inputs, tmp_path, monkeypatch):
    plain, zst = inputs
    one = convert([str(plain)], str(tmp_path / "one"), shard_bytes=SHARD, progress=False)
    # The workers are forked when this process runs one thread; with another thread running they
    # come from a fork server. Either way the shards are the same.
    methods = []
    get_context = multiprocessing.get_context

    def spy(method=None):
        methods.append(method)
        return get_context(method)

    monkeypatch.setattr(multiprocessing, "get_context", spy)
    alone = threading.active_count() == 1
    two = convert([str(plain)], str(tmp_path / "two"), workers=2, shard_bytes=SHARD,
                  progress=False)
    packed = convert([str(zst)], str(tmp_path / "zst"), shard_bytes=SHARD, progress=False)
    whole = pgn_to_arrays(plain)
    assert one.counts == two.counts == packed.counts == whole.counts
    assert one.shards == two.shards == packed.shards > 5

    names_one, shards_one = load(tmp_path / "one")
    names_two, shards_two = load(tmp_path / "two")
    names_zst, shards_zst = load(tmp_path / "zst")
    assert [p.name for p in names_one] == [p.name for p in names_two] == [p.name for p in names_zst]
    assert names_one[0].name == "games-000000.npz"
    for a, b, c in zip(shards_one, shards_two, shards_zst):
        assert a["meta"] == b["meta"]
        assert (a["meta"]["start"], a["meta"]["end"]) == (c["meta"]["start"], c["meta"]["end"])
        for name in whole:
            assert np.array_equal(a[name], b[name], equal_nan=True)
            assert np.array_equal(a[name], c[name], equal_nan=True)
    stop = threading.Event()
    waiter = threading.Thread(target=stop.wait)
    waiter.start()
    try:
        served = convert([str(plain)], str(tmp_path / "served"), workers=2, shard_bytes=SHARD,
                         progress=False)
    finally:
        stop.set()
        waiter.join()
    assert methods == ["fork" if alone else "forkserver", "forkserver"]
    assert served.counts == one.counts
    names_served, shards_served = load(tmp_path / "served")
    assert [p.name for p in names_served] == [p.name for p in names_one]
    for a, b in zip(shards_one, shards_served):
        assert a["meta"] == b["meta"]
        for name in whole:
            assert np.array_equal(a[name], b[name], equal_nan=True)
    # Consecutive byte ranges, and the rows of all shards are the rows of the whole file.
    ends = [s["meta"]["end"] for s in shards_one]
    assert [s["meta"]["start"] for s in shards_one] == [0] + ends[:-1]
    assert ends[-1] == plain.stat().st_size
    for name in ("packed", "move", "result", "eval", "clock", "halfmove"):
        joined = np.concatenate([s[name] for s in shards_one])
        assert np.array_equal(joined, whole[name], equal_nan=True), name


def test_shard_writer_writes_what_np_savez_writes(tmp_path):
    """Every entry byte for byte as np.savez writes it, checksums that hold, and the native CRC-32
    equal to zlib's."""
    rng = np.random.default_rng(3)
    for size in (0, 1, 15, 16, 63, 64, 65, 1000, 100_003):
        data = rng.integers(0, 256, size, dtype=np.uint8).tobytes()
        for start in (0, 1, 0xFFFFFFFF):
            assert _pgn.crc32(data, start) == zlib.crc32(data, start)
    arrays = dict(pgn_to_arrays(DATA / "random_games.pgn", planes=True))
    arrays["packed"] = pgn_to_arrays(DATA / "random_games.pgn")["packed"]
    arrays["empty"] = np.zeros((0, 12), dtype=np.uint64)
    arrays["meta"] = np.array(json.dumps({"shard": 1, "name": "é"}))
    with open(tmp_path / "ours.npz", "wb") as file:
        write_npz(file, arrays)
    np.savez(tmp_path / "numpy.npz", **arrays)
    with zipfile.ZipFile(tmp_path / "ours.npz") as ours, \
            zipfile.ZipFile(tmp_path / "numpy.npz") as theirs:
        assert ours.testzip() is None
        assert ours.namelist() == theirs.namelist()
        for name in theirs.namelist():
            assert ours.read(name) == theirs.read(name), name
    with np.load(tmp_path / "ours.npz") as loaded:
        assert sorted(loaded.files) == sorted(arrays)
        for name, array in arrays.items():
            assert loaded[name].dtype == array.dtype and loaded[name].shape == array.shape
            assert np.array_equal(loaded[name], array, equal_nan=name in ("eval", "clock"))


def page_aligned(array):
    """A copy of ``array`` in memory that starts on a page, as the reader's columns do."""
    memory = mmap.mmap(-1, max(array.nbytes, 1))
    copy = np.frombuffer(memory, dtype=array.dtype, count=array.size).reshape(array.shape)
    copy[...] = array
    return copy


def writer_arrays():
    """Entries of every size class around the 4096-byte blocks, in page-aligned memory (as the
    reader's columns) and in ordinary memory at odd addresses, and the reader's own columns."""
    rng = np.random.default_rng(5)
    arrays = dict(pgn_to_arrays(DATA / "random_games.pgn", planes=True))
    arrays["packed"] = pgn_to_arrays(DATA / "random_games.pgn")["packed"]
    arrays["empty"] = np.zeros((0, 12), dtype=np.uint64)
    arrays["one"] = np.array([7], dtype=np.uint8)
    for size in (4095, 4096, 4097, 8191, 8192 + 13, 1_000_003):
        data = rng.integers(0, 256, size + 1, dtype=np.uint8)
        arrays[f"aligned_{size}"] = page_aligned(data[:size])
        arrays[f"odd_{size}"] = data[1:]
    arrays["odd_floats"] = np.frombuffer(rng.random(3001).tobytes()[4:-4], dtype=np.float32)
    arrays["meta"] = np.array(json.dumps({"shard": 1, "name": "é"}))
    return arrays


def npz_bytes(arrays):
    out = io.BytesIO()
    write_npz(out, arrays)
    return out.getvalue()


def data_offsets(path):
    """name -> (file offset of the array data, extra field ids of its local header)."""
    raw = Path(path).read_bytes()
    found = {}
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            at = info.header_offset
            name_size, extra_size = struct.unpack_from("<HH", raw, at + 26)
            extra = raw[at + 30 + name_size:at + 30 + name_size + extra_size]
            ids = []
            while extra:
                kind, size = struct.unpack_from("<HH", extra)
                ids.append(kind)
                extra = extra[4 + size:]
            start = at + 30 + name_size + extra_size
            header = 10 + struct.unpack_from("<H", raw, start + 8)[0]
            found[info.filename[:-4]] = (start + header, ids)
    return found


def direct_writes_work(folder):
    try:
        fd = os.open(folder / "probe", os.O_WRONLY | os.O_CREAT | getattr(os, "O_DIRECT", 0))
    except OSError:
        return False
    try:
        memory = mmap.mmap(-1, 4096)
        os.write(fd, memory)
        return hasattr(os, "O_DIRECT")
    except OSError:
        return False
    finally:
        os.close(fd)
        os.unlink(folder / "probe")


def assert_loads_as(path, arrays):
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None
    with np.load(path) as loaded:
        assert sorted(loaded.files) == sorted(arrays)
        for name, array in arrays.items():
            assert loaded[name].dtype == array.dtype and loaded[name].shape == array.shape, name
            assert np.array_equal(loaded[name], array, equal_nan=array.dtype.kind == "f"), name


@pytest.fixture
def direct_fds(monkeypatch):
    """Records the descriptors opened with O_DIRECT (the writer's), for faults injected on them."""
    opened = set()
    real_open = os.open

    def spy(path, flags, *args, **kwargs):
        fd = real_open(path, flags, *args, **kwargs)
        if flags & getattr(os, "O_DIRECT", 0):
            opened.add(fd)
        return fd

    monkeypatch.setattr(os, "open", spy)
    return opened


def test_shard_writer_aligns_array_data_where_the_file_system_takes_direct_writes(tmp_path):
    """Written by path, every array of a block or more starts on a 4096-byte boundary, behind
    zipalign's padding field; the file loads as the arrays, checksums included. Without direct
    writes the file is what a file object gets, np.savez's bytes."""
    arrays = writer_arrays()
    write_npz(tmp_path / "shard.npz", arrays)
    assert_loads_as(tmp_path / "shard.npz", arrays)
    if not direct_writes_work(tmp_path):
        assert (tmp_path / "shard.npz").read_bytes() == npz_bytes(arrays)
        pytest.skip("this file system does not take O_DIRECT writes")
    offsets = data_offsets(tmp_path / "shard.npz")
    for name, array in arrays.items():
        start, ids = offsets[name]
        if array.nbytes >= 4096:
            assert start % 4096 == 0 and ids == [1, 0xD935], name
        else:
            assert ids == [1], name
    # Rewriting a longer file leaves no stale tail; the same arrays give the same file.
    (tmp_path / "again.npz").write_bytes(b"x" * (8 << 20))
    write_npz(str(tmp_path / "again.npz"), arrays)
    assert (tmp_path / "again.npz").read_bytes() == (tmp_path / "shard.npz").read_bytes()
    small = {"one": arrays["one"], "meta": arrays["meta"]}
    write_npz(tmp_path / "small.npz", small)
    assert (tmp_path / "small.npz").read_bytes() == npz_bytes(small)


@pytest.mark.parametrize("refused", ["open", "write"])
def test_shard_writer_falls_back_to_buffered_writes(tmp_path, monkeypatch, direct_fds, refused):
    """A file system that refuses O_DIRECT at the open or at the first write (EINVAL) gets the
    buffered writer's file, np.savez's bytes."""
    arrays = writer_arrays()
    real_open, real_write = os.open, os.write

    def refuse_open(path, flags, *args, **kwargs):
        if flags & getattr(os, "O_DIRECT", 0):
            raise OSError(errno.EINVAL, "Invalid argument")
        return real_open(path, flags, *args, **kwargs)

    def refuse_write(fd, data):
        if fd in direct_fds:
            raise OSError(errno.EINVAL, "Invalid argument")
        return real_write(fd, data)

    if refused == "open":
        monkeypatch.setattr(os, "open", refuse_open)
    else:
        monkeypatch.setattr(os, "write", refuse_write)
    write_npz(tmp_path / "shard.npz", arrays)
    assert (tmp_path / "shard.npz").read_bytes() == npz_bytes(arrays)
    assert_loads_as(tmp_path / "shard.npz", arrays)


def test_failed_shard_writes_raise_and_leave_nothing(inputs, tmp_path, monkeypatch, direct_fds):
    arrays = {"one": np.arange(10_000, dtype=np.uint8)}
    if os.path.exists("/dev/full"):
        with pytest.raises(OSError) as failure:
            write_npz("/dev/full", arrays)
        assert failure.value.errno == errno.ENOSPC
    if not direct_writes_work(tmp_path):
        pytest.skip("this file system does not take O_DIRECT writes")
    real_write = os.write
    fault = {}

    def faulty(fd, data):
        if fd not in direct_fds or not fault:
            return real_write(fd, data)
        if "count" in fault:
            return fault["count"]
        raise OSError(fault["errno"], os.strerror(fault["errno"]))

    monkeypatch.setattr(os, "write", faulty)
    # Short counts (off a block boundary, or nothing written) and errors.
    for case in ({"count": 100}, {"count": 0}, {"errno": errno.ENOSPC}, {"errno": errno.EIO}):
        fault.update(case)
        with pytest.raises(OSError):
            write_npz(tmp_path / "shard.npz", arrays)
        fault.clear()
    # A shard whose write fails is not left under its name, nor under the temporary one; the
    # next run writes it.
    plain, _ = inputs
    fault["errno"] = errno.ENOSPC
    with pytest.raises(OSError):
        convert([str(plain)], str(tmp_path / "out"), shard_bytes=SHARD, progress=False)
    assert os.listdir(tmp_path / "out") == []
    fault.clear()
    done = convert([str(plain)], str(tmp_path / "out"), shard_bytes=SHARD, progress=False)
    assert done.skipped == 0 and len(os.listdir(tmp_path / "out")) == done.shards


def test_rerun_skips_finished_shards_and_resumes_after_a_kill(inputs, tmp_path):
    plain, _ = inputs
    out = tmp_path / "out"
    first = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    before = {p.name: p.read_bytes() for p in out.glob("*.npz")}
    again = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    assert (again.shards, again.skipped) == (0, first.shards)
    # A killed run leaves a temporary file and misses a shard: only that shard is written.
    missing = sorted(before)[3]
    (out / missing).unlink()
    (out / (missing + ".tmp-12345")).write_bytes(b"half written")
    resumed = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    assert (resumed.shards, resumed.skipped) == (1, first.shards - 1)
    assert {p.name: p.read_bytes() for p in out.glob("*.npz")} == before
    # Worker processes take runs of consecutive shards to do, around the ones already there.
    for name in sorted(before)[1::3] + sorted(before)[2:3]:
        (out / name).unlink()
    gaps = convert([str(plain)], str(out), workers=2, shard_bytes=SHARD, progress=False)
    assert gaps.shards + gaps.skipped == first.shards and gaps.counts["games"] > 0
    assert gaps.shards == len(set(sorted(before)[1::3] + sorted(before)[2:3]))
    assert {p.name: p.read_bytes() for p in out.glob("*.npz")} == before


def test_truncated_zst_is_reported_and_the_rest_kept(inputs, tmp_path):
    _, zst = inputs
    cut = tmp_path / "cut.pgn.zst"
    raw = zst.read_bytes()
    cut.write_bytes(raw[: len(raw) * 3 // 4])
    summary = convert([str(cut)], str(tmp_path / "out"), shard_bytes=SHARD, progress=False)
    assert summary.errors[0]["kind"] == "truncated"
    assert summary.counts["bad"] >= 1
    assert summary.counts["good"] > 0


def test_command_line(inputs, tmp_path):
    plain, _ = inputs

    def run(*arguments):
        return subprocess.run([sys.executable, "-P", "-m", "quarn_data", *arguments],
                              capture_output=True, text=True, timeout=300)

    done = run("convert", str(plain), "--out", str(tmp_path / "out"), "--shard-mb", "0.5",
               "--min-elo", "1500", "--time-control", "0", "400", "--planes", "--quiet")
    assert done.returncode == 0, done.stderr
    assert "shards written" in done.stderr and "filtered" in done.stderr
    with np.load(sorted((tmp_path / "out").glob("*.npz"))[0]) as npz:
        assert npz["planes"].dtype == np.bool_ and npz["planes"].shape[1:] == (12, 64)
        assert (npz["white_elo"] >= 1500).all() and (npz["black_elo"] >= 1500).all()
    missing = run("convert", str(tmp_path / "none.pgn"), "--out", str(tmp_path / "x"), "--quiet")
    assert missing.returncode == 1 and "none.pgn" in missing.stderr
    assert run("convert", str(plain), "--out", str(tmp_path), "--workers", "0").returncode == 2
    assert run("convert", str(plain)).returncode == 2


def test_dask_cluster_on_loopback_writes_the_same_shards(inputs, tmp_path):
    distributed = pytest.importorskip("distributed")
    plain, _ = inputs
    local = convert([str(plain)], str(tmp_path / "local"), shard_bytes=SHARD, progress=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  worker_dashboard_address=None) as cluster:
        remote = convert([str(plain)], str(tmp_path / "dask"), scheduler=cluster.scheduler_address,
                         options=Options(), shard_bytes=SHARD, progress=False)
    assert remote.counts == local.counts and remote.shards == local.shards
    for path in (tmp_path / "local").glob("*.npz"):
        assert (tmp_path / "dask" / path.name).read_bytes() == path.read_bytes()
    assert not any(name.endswith(".tmp") or ".tmp-" in name
                   for name in os.listdir(tmp_path / "dask"))
