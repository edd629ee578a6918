"""One training loop over game tables: shuffled position batches into a small NumPy model.

    python examples/train_positions.py TABLES_DIR [--epochs 2] [--batch-size 4096]

TABLES_DIR holds the ``.parquet`` game tables that ``python -m quarn_data convert`` writes. The
model is a logistic regression from the 768 board planes to "white wins", fitted by plain
gradient descent: a stand-in for a network, so that the example needs nothing but NumPy. It
prints, for each epoch, the positions seen, the loss and the loader's speed.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt

import quarn_data


def train(paths: list[Path], epochs: int, batch_size: int) -> list[float]:
    """Fits the model for `epochs` epochs and returns the mean loss of each."""
    loader = quarn_data.PositionLoader(
        paths, batch_size=batch_size, shuffle=True, seed=0, planes=True, flip=False
    )
    weights: npt.NDArray[np.float32] = np.zeros(12 * 64, dtype=np.float32)
    bias = 0.0
    losses: list[float] = []
    for epoch in range(epochs):
        loader.set_epoch(epoch)
        started = time.perf_counter()
        seen = 0
        total = 0.0
        for batch in loader:
            x = batch["planes"].reshape(len(batch["planes"]), -1).astype(np.float32)
            y = (batch["result"] == 1).astype(np.float32)
            p = 1.0 / (1.0 + np.exp(-(x @ weights + bias)))
            eps = 1e-7
            total += float(-np.sum(y * np.log(p + eps) + (1 - y) * np.log(1 - p + eps)))
            gradient = p - y
            weights -= 0.01 * (x.T @ gradient) / len(y)
            bias -= 0.01 * float(gradient.mean())
            seen += len(y)
        seconds = time.perf_counter() - started
        losses.append(total / max(seen, 1))
        print(
            f"epoch {epoch}: {seen:,} positions, loss {losses[-1]:.4f}, "
            f"{seen / seconds:,.0f} positions/s"
        )
    return losses


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tables", type=Path, help="a folder of .parquet game tables")
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=4096)
    args = parser.parse_args(argv)
    paths = sorted(args.tables.glob("*.parquet"))
    if not paths:
        parser.error(f"no .parquet game tables in {args.tables}")
    train(paths, args.epochs, args.batch_size)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
