"""Batched random self-play with quarn_data.env: games, plies and steps a second, and how games end.

    python examples/selfplay_rl.py --envs 1024 --steps 2000 --seed 0

A VectorEnv steps --envs games at once in native code; each step every game makes one move drawn
uniformly from its legal moves (sample_legal, also native). Finished games restart by themselves
(next-step autoreset), so the loop never stops to reset. This is the skeleton of an
AlphaZero-style or policy-gradient loop: put your policy where sample_legal is, reading
obs["observation"] (bool (N, 8, 8, 111), PettingZoo's chess_v6 planes) and masking its logits with
obs["action_mask"] (bool (N, 4672)).
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from collections import Counter
from typing import Protocol

try:
    import numpy as np
except ModuleNotFoundError:
    sys.exit("selfplay_rl.py needs NumPy, which is not installed: pip install numpy")

from quarn_data.env import ENDINGS, VectorEnv


class Progress(Protocol):
    """What the loop needs of a progress bar (tqdm has it)."""

    def update(self, n: int = 1) -> object: ...
    def set_postfix_str(self, s: str = "", refresh: bool = True) -> object: ...
    def close(self) -> object: ...


class NoProgress:
    """Stands in for tqdm when it is not installed: draws nothing."""

    def update(self, n: int = 1) -> None:
        pass

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(total: int) -> Progress:
    """tqdm when it is installed, else nothing."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return NoProgress()
    bar: Progress = tqdm(total=total, unit="step", file=sys.stderr)
    return bar


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--envs", type=int, default=1024, help="games stepped at once (1024)")
    parser.add_argument("--steps", type=int, default=2000, help="steps of the whole batch (2000)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the move choices (0)")
    parser.add_argument("--threads", type=int, default=1, help="threads per step (1)")
    parser.add_argument(
        "--observation",
        choices=["pettingzoo", "packed"],
        default="pettingzoo",
        help="observation layout (pettingzoo)",
    )
    args = parser.parse_args(argv)
    if args.envs < 1 or args.steps < 0:
        parser.error("--envs must be positive and --steps not negative")

    env = VectorEnv(args.envs, seed=args.seed, threads=args.threads, observation=args.observation)
    env.reset(seed=args.seed)
    actions = np.empty(args.envs, dtype=np.int64)
    endings: Counter[str] = Counter()
    wins = Counter[str]()
    games = plies = 0
    restarting = np.zeros(args.envs, dtype=bool)
    bar = progress_bar(args.steps)
    started = time.perf_counter()
    for step in range(args.steps):
        env.sample_legal(out=actions)
        obs, rewards, terminated, truncated, info = env.step(actions)
        # A game that ended in the last step restarts in this one and makes no move.
        plies += args.envs - int(np.count_nonzero(restarting))
        restarting = terminated | truncated
        finished = np.flatnonzero(restarting)
        games += len(finished)
        for i in finished:
            name = ENDINGS[info["ending"][i]] or "TRUNCATED"
            endings[name] += 1
            if name == "CHECKMATE":
                # The observation is the mated side's: is it black?
                if args.observation == "pettingzoo":
                    mated_black = bool(obs["observation"][i, 0, 0, 4])
                else:
                    mated_black = bool(int(obs["observation"][i, 12]) >> 4 & 1)
                wins["white" if mated_black else "black"] += 1
        bar.update()
        if step % 50 == 0:
            bar.set_postfix_str(f"{games} games")
    bar.close()
    elapsed = time.perf_counter() - started
    steps = args.steps * args.envs
    print(f"{games} games, {plies} plies, {steps} env-steps in {elapsed:.2f} s")
    print(
        f"{games / elapsed:,.0f} games/s, {plies / elapsed:,.0f} plies/s, "
        f"{steps / elapsed:,.0f} steps/s"
    )
    for name, count in endings.most_common():
        print(f"  {name:<22} {count}")
    if wins:
        print(f"  checkmates won by white {wins['white']}, by black {wins['black']}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
