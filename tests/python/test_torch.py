"""quarn_data.torch.PositionDataset: the split over ranks and DataLoader workers, and tensors
that share the batches' memory. Runs against real PyTorch (make test-torch) and, where torch is
absent, the split logic runs against a stand-in torch module."""

from __future__ import annotations

import importlib
import sys
import types
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
from game_tables import game_table, write  # noqa: E402

import quarn_data as qd  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "data"

try:
    import torch  # noqa: F401

    HAVE_TORCH = True
except ImportError:
    HAVE_TORCH = False


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("torch-shards")
    table = game_table(DATA / "random_games.pgn")
    paths = [write(table.slice(0, 200), folder / "a.parquet", row_group_size=40),
             write(table.slice(200), folder / "b.parquet", row_group_size=40)]
    rows = qd.positions(pa.concat_tables([table.slice(0, 200), table.slice(200)]))
    return paths, Counter(zip(rows["game"].tolist(), rows["ply"].tolist()))


def stand_in_torch(worker):
    """A torch module with just what quarn_data.torch touches; `worker` is the (id, count) that
    get_worker_info reports, or None outside a worker."""
    fake = types.ModuleType("torch")
    data = types.ModuleType("torch.utils.data")

    class IterableDataset:
        pass

    def get_worker_info():
        if worker is None:
            return None
        return types.SimpleNamespace(id=worker[0], num_workers=worker[1])

    data.IterableDataset = IterableDataset
    data.get_worker_info = get_worker_info
    fake.utils = types.SimpleNamespace(data=data)
    fake.from_numpy = lambda array: array
    fake.Tensor = np.ndarray
    return fake, data


def with_stand_in(monkeypatch, worker):
    fake, data = stand_in_torch(worker)
    monkeypatch.setitem(sys.modules, "torch", fake)
    monkeypatch.setitem(sys.modules, "torch.utils", fake.utils)
    monkeypatch.setitem(sys.modules, "torch.utils.data", data)
    # Recorded as absent, so that the stand-in's module leaves with the test.
    monkeypatch.setitem(sys.modules, "quarn_data.torch", None)
    monkeypatch.setattr(qd, "torch", None, raising=False)
    del sys.modules["quarn_data.torch"]
    return importlib.import_module("quarn_data.torch")


def rows_of(batches):
    return Counter((g, p) for b in batches
                   for g, p in zip(np.asarray(b["game"]).tolist(), np.asarray(b["ply"]).tolist()))


def test_workers_and_ranks_read_disjoint_parts_that_cover_everything(monkeypatch, files):
    paths, expected = files
    seen = []
    for rank in range(2):
        for worker in range(3):
            module = with_stand_in(monkeypatch, (worker, 3))
            dataset = module.PositionDataset(paths, rank=rank, world_size=2, batch_size=64,
                                             window=500, seed=2)
            dataset.set_epoch(1)
            seen.append(rows_of(dataset))
    for i, a in enumerate(seen):
        for b in seen[i + 1:]:
            assert not (a & b)
    assert sum(seen, Counter()) == expected
    rank_batches = module.PositionDataset(paths, rank=0, world_size=2, batch_size=64,
                                          window=500).batch_count(num_workers=3)
    assert rank_batches == sum(-(-sum(c.values()) // 64) for c in seen[:3])
    module = with_stand_in(monkeypatch, None)
    alone = module.PositionDataset(paths, batch_size=64, window=500, seed=2)
    assert rows_of(alone) == expected


def test_bad_arguments_fail_in_the_main_process(monkeypatch, files):
    paths, _ = files
    module = with_stand_in(monkeypatch, None)
    with pytest.raises(ValueError, match="rank must be below world_size"):
        module.PositionDataset(paths, rank=3, world_size=2)


@pytest.mark.skipif(not HAVE_TORCH, reason="torch is not installed (make test-torch)")
def test_real_dataloader_workers_hand_over_tensors_sharing_the_batches(files):
    import torch
    from torch.utils.data import DataLoader

    from quarn_data.torch import PositionDataset

    paths, expected = files
    dataset = PositionDataset(paths, batch_size=128, window=1000)
    loader = DataLoader(dataset, batch_size=None, num_workers=2)
    batches = list(loader)
    assert rows_of(batches) == expected
    assert batches[0]["packed"].dtype == torch.uint64
    assert batches[0]["packed"].shape[1:] == (12,)
    inline = next(iter(dataset))
    numpy_batch = next(iter(dataset.loader()))
    assert inline["game"].numpy().tolist() == numpy_batch["game"].tolist()
    tensor = torch.from_numpy(numpy_batch["game"])
    tensor[0] = -5
    assert numpy_batch["game"][0] == -5
