"""python -m quarn_data convert: deterministic game-table shards, every game once, resuming (also
after SIGKILL), local processes and a Dask cluster on loopback."""

import json
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.compute
import pytest

import quarn_data.convert as convert_module
from quarn_data import pgn_to_table, read_games, read_table
from quarn_data.convert import Options, convert
from quarn_data.tables import REPORT_KEY

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
    """The shard paths of a folder, and each shard's table with its report as "meta"."""
    shards = sorted(Path(folder).glob("*.parquet"))
    loaded = []
    for path in shards:
        table = read_table(path)
        loaded.append({"table": table, "meta": json.loads(table.schema.metadata[REPORT_KEY])})
    return shards, loaded


def same_rows(a, b):
    """Tables equal in every column but ``source`` and ``game`` (a shard names its input and
    counts games from its piece's start)."""
    drop = ["source", "game"]
    return a.drop_columns(drop).equals(b.drop_columns(drop))


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
    whole = pgn_to_table(plain)
    whole_counts = json.loads(whole.schema.metadata[REPORT_KEY])["counts"]
    assert one.counts == two.counts == packed.counts == whole_counts
    assert one.shards == two.shards == packed.shards > 5

    names_one, shards_one = load(tmp_path / "one")
    names_two, shards_two = load(tmp_path / "two")
    names_zst, shards_zst = load(tmp_path / "zst")
    assert [p.name for p in names_one] == [p.name for p in names_two] == [p.name for p in names_zst]
    assert names_one[0].name == "games-000000.parquet"
    for a, b, c in zip(shards_one, shards_two, shards_zst):
        assert a["meta"] == b["meta"]
        assert (a["meta"]["start"], a["meta"]["end"]) == (c["meta"]["start"], c["meta"]["end"])
        assert a["table"].equals(b["table"])
        assert same_rows(a["table"], c["table"])
    for a, b in zip(names_one, names_two):
        assert a.read_bytes() == b.read_bytes()
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
    names_served, _ = load(tmp_path / "served")
    assert [p.name for p in names_served] == [p.name for p in names_one]
    for a, b in zip(names_one, names_served):
        assert a.read_bytes() == b.read_bytes()
    # Consecutive byte ranges, and the rows of all shards are the rows of the whole file.
    ends = [s["meta"]["end"] for s in shards_one]
    assert [s["meta"]["start"] for s in shards_one] == [0] + ends[:-1]
    assert ends[-1] == plain.stat().st_size
    joined = pa.concat_tables([s["table"] for s in shards_one])
    assert same_rows(joined, whole)
    assert [g.moves for g in read_games(joined)] == [g.moves for g in read_games(whole)]


def test_failed_shard_writes_raise_and_leave_nothing(inputs, tmp_path, monkeypatch):
    plain, _ = inputs
    real_write = convert_module.write_table

    def failing(table, path):
        with open(path, "wb") as file:
            file.write(b"half written")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(convert_module, "write_table", failing)
    with pytest.raises(OSError):
        convert([str(plain)], str(tmp_path / "out"), shard_bytes=SHARD, progress=False)
    assert os.listdir(tmp_path / "out") == []
    monkeypatch.setattr(convert_module, "write_table", real_write)
    done = convert([str(plain)], str(tmp_path / "out"), shard_bytes=SHARD, progress=False)
    assert done.skipped == 0 and len(os.listdir(tmp_path / "out")) == done.shards


def test_rerun_skips_finished_shards_and_resumes_after_a_kill(inputs, tmp_path):
    plain, _ = inputs
    out = tmp_path / "out"
    first = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    before = {p.name: p.read_bytes() for p in out.glob("*.parquet")}
    again = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    assert (again.shards, again.skipped) == (0, first.shards)
    # A killed run leaves a temporary file and misses a shard: only that shard is written.
    missing = sorted(before)[3]
    (out / missing).unlink()
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    stale = out / f"{missing}.tmp-{convert_module.socket.gethostname()}-{gone.pid}"
    stale.write_bytes(b"half written")
    # A temporary file of a live writer (this process) and one of another host stay.
    live = out / f"{sorted(before)[0]}.tmp-{convert_module.socket.gethostname()}-{os.getpid()}"
    live.write_bytes(b"being written")
    elsewhere = out / f"{sorted(before)[0]}.tmp-another-host-{gone.pid}"
    elsewhere.write_bytes(b"being written")
    resumed = convert([str(plain)], str(out), shard_bytes=SHARD, progress=False)
    assert (resumed.shards, resumed.skipped) == (1, first.shards - 1)
    assert {p.name: p.read_bytes() for p in out.glob("*.parquet")} == before
    assert not stale.exists() and live.exists() and elsewhere.exists()
    live.unlink()
    elsewhere.unlink()
    # Worker processes take runs of consecutive shards to do, around the ones already there.
    for name in sorted(before)[1::3] + sorted(before)[2:3]:
        (out / name).unlink()
    gaps = convert([str(plain)], str(out), workers=2, shard_bytes=SHARD, progress=False)
    assert gaps.shards + gaps.skipped == first.shards and gaps.counts["games"] > 0
    assert gaps.shards == len(set(sorted(before)[1::3] + sorted(before)[2:3]))
    assert {p.name: p.read_bytes() for p in out.glob("*.parquet")} == before


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
               "--min-elo", "1500", "--time-control", "0", "400", "--quiet")
    assert done.returncode == 0, done.stderr
    assert "shards written" in done.stderr and "filtered" in done.stderr
    table = read_table(sorted((tmp_path / "out").glob("*.parquet"))[0])
    assert table.num_rows > 0
    assert pa.compute.min(table["white_elo"]).as_py() >= 1500
    assert pa.compute.min(table["black_elo"]).as_py() >= 1500
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
    for path in (tmp_path / "local").glob("*.parquet"):
        assert (tmp_path / "dask" / path.name).read_bytes() == path.read_bytes()
    assert not any(".tmp-" in name for name in os.listdir(tmp_path / "dask"))


def test_killed_run_resumes_to_the_same_shards_and_leaves_no_temporaries(inputs, tmp_path):
    """SIGKILL in the middle of a run, then the same command again: the shards are those of an
    uninterrupted run, byte for byte, and the killed writer's temporary file is gone."""
    plain, _ = inputs
    whole = convert([str(plain)], str(tmp_path / "whole"), shard_bytes=SHARD // 4,
                    progress=False)
    out = tmp_path / "out"
    # A writer that stops for good inside its third shard's temporary file, as a process killed
    # while writing does.
    script = (
        "import os, sys, time\n"
        "import quarn_data.convert as c\n"
        "real = c.write_table\n"
        "count = [0]\n"
        "def slow(table, path):\n"
        "    count[0] += 1\n"
        "    if count[0] == 3:\n"
        "        open(path, 'wb').write(b'PAR1 half')\n"
        "        print('writing', flush=True)\n"
        "        time.sleep(60)\n"
        "    real(table, path)\n"
        "c.write_table = slow\n"
        f"c.convert([{str(plain)!r}], {str(out)!r}, shard_bytes={SHARD // 4}, progress=False)\n"
    )
    child = subprocess.Popen([sys.executable, "-P", "-c", script], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "writing\n"
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait(timeout=60)
    assert any(".tmp-" in name for name in os.listdir(out))
    resumed = subprocess.run([sys.executable, "-P", "-m", "quarn_data", "convert", str(plain),
                              "--out", str(out), "--shard-mb", str(SHARD / 4 / (1 << 20)),
                              "--quiet"], capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    assert sorted(os.listdir(out)) == sorted(os.listdir(tmp_path / "whole"))
    for path in (tmp_path / "whole").iterdir():
        assert (out / path.name).read_bytes() == path.read_bytes(), path.name
    assert whole.shards == len(os.listdir(out))
