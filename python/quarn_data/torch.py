"""PyTorch datasets over game tables (this module imports torch; ``import quarn_data`` does not).

:class:`PositionDataset` is an ``IterableDataset`` of ready batches: give it to a ``DataLoader``
with ``batch_size=None``. The games are split over the ranks of a distributed job and over the
DataLoader's worker processes without overlap, and the NumPy batches of
:class:`~quarn_data.PositionLoader` become tensors with ``torch.from_numpy`` (no copy).
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Any, Union

import torch
from torch.utils.data import IterableDataset, get_worker_info

from quarn_data.loader import PositionLoader, split_part

__all__ = ["PositionDataset"]

Path = Union[str, "os.PathLike[str]"]


def _distributed() -> tuple[int, int]:
    """(rank, world size) of an initialised torch.distributed job, else (0, 1)."""
    dist = getattr(torch, "distributed", None)
    if dist is not None and dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    return 0, 1


class PositionDataset(IterableDataset):  # type: ignore[misc]
    """Shuffled batches of positions from game-table files, as dicts of tensors.

    Parameters
    ----------
    paths : path or sequence of paths
        Game-table files or folders of them.
    rank, world_size : int, optional
        This process's place in a distributed job; by default taken from ``torch.distributed``
        when it is initialised, else 0 and 1.
    **options
        Everything else :class:`~quarn_data.PositionLoader` takes (``batch_size``, ``shuffle``,
        ``seed``, ``planes``, ``flip``, ``columns``, ``drop_last``, ``threads``, ``window``,
        ``strict``).

    Notes
    -----
    The split: with W ranks and K DataLoader workers, worker k of rank r reads part
    ``r * K + k`` of ``W * K`` contiguous, equal ranges of games (``split_part``); every game
    is read by exactly one worker of one rank. Each worker shuffles its own part within its own
    window. Call :meth:`set_epoch` before each epoch (as with ``DistributedSampler``) for a new
    order; workers made for the epoch (``persistent_workers=False``) take it with them.

    Batches: dicts of tensors that share memory with fresh NumPy arrays: ``packed`` uint64
    ``(B, 12)`` or ``planes`` bool ``(B, 12, 64)``, then the position columns
    (``torch.uint16`` / ``torch.uint64`` columns need torch 2.3 or later).
    """

    def __init__(self, paths: Path | Sequence[Path], *, rank: int | None = None,
                 world_size: int | None = None, **options: Any) -> None:
        super().__init__()
        if rank is None or world_size is None:
            found_rank, found_size = _distributed()
            rank = found_rank if rank is None else rank
            world_size = found_size if world_size is None else world_size
        # Made once here, so that bad arguments and files fail in the main process.
        self._check = PositionLoader(paths, rank=rank, world_size=world_size, **options)
        self.paths = paths
        self.rank = rank
        self.world_size = world_size
        self.options = options
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        """The epoch the next iteration runs (its order follows seed and epoch)."""
        self._check.set_epoch(epoch)
        self.epoch = epoch

    def loader(self) -> PositionLoader:
        """The PositionLoader of the calling worker (or of the process without workers)."""
        info = get_worker_info()
        workers, worker = (1, 0) if info is None else (info.num_workers, info.id)
        part, parts = split_part(self.rank, self.world_size, worker, workers)
        loader = PositionLoader(self.paths, rank=part, world_size=parts, **self.options)
        loader.set_epoch(self.epoch)
        return loader

    def batch_count(self, num_workers: int = 0) -> int:
        """The batches this rank's DataLoader yields in an epoch with ``num_workers`` workers
        (each worker's part counted as :meth:`~quarn_data.PositionLoader.batch_count` does).
        Take the smallest over the ranks to stop every rank after the same number of steps."""
        workers = max(1, num_workers)
        total = 0
        for worker in range(workers):
            part, parts = split_part(self.rank, self.world_size, worker, workers)
            total += PositionLoader(self.paths, rank=part, world_size=parts,
                                    **self.options).batch_count()
        return total

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        for batch in self.loader():
            yield {name: torch.from_numpy(array) for name, array in batch.items()}
