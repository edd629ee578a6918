"""Self-play stepping speed: quarn_data.env against PettingZoo's chess_v6, OpenSpiel and pgx.

    python bench/env_bench.py [--seconds 3] [--envs 1024] [--json bench/results/env.json]

Every job plays random legal actions and counts env-steps a second (one move in one game):
  - VectorEnv, N games, "pettingzoo" observations and masks, actions from sample_legal;
  - the same with "packed" observations (uint64 words and mask bits), and with threads=2;
  - PettingZoo chess_v6, one game, the AEC loop (last, a random legal action from the mask, step);
  - the PettingZoo drop-in, quarn_data.env.pettingzoo_env(), the same loop;
  - OpenSpiel's chess, one game: apply_action, legal_actions and observation_tensor per step;
  - pgx's chess, jit + vmap over N games on this CPU, random legal actions drawn in JAX.
A peer that is not installed is skipped with a message. One measurement per job, after warm-up.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np

from quarn_data.env import VectorEnv, pettingzoo_env


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}"


def rate(run: Callable[[float], int], seconds: float) -> float:
    """Steps a second of run(seconds), which plays for about that long and returns its steps."""
    started = time.perf_counter()
    steps = run(seconds)
    return steps / (time.perf_counter() - started)


def vector_env(envs: int, observation: str, threads: int) -> Callable[[float], int]:
    def run(seconds: float) -> int:
        env = VectorEnv(envs, seed=0, observation=observation, threads=threads)  # type: ignore[arg-type]
        env.reset()
        actions = np.empty(envs, dtype=np.int64)
        for _ in range(20):
            env.step(env.sample_legal(out=actions))
        steps = 0
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            for _ in range(10):
                env.sample_legal(out=actions)
                env.step(actions)
            steps += 10 * envs
        return steps

    return run


def aec_loop(make: Callable[[], Any]) -> Callable[[float], int]:
    def run(seconds: float) -> int:
        env = make()
        rng = np.random.default_rng(0)
        steps = 0
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            env.reset(seed=int(rng.integers(1 << 30)))
            for _agent in env.agent_iter():
                observation, _, terminated, truncated, _ = env.last()
                if terminated or truncated:
                    env.step(None)
                    continue
                legal = np.flatnonzero(observation["action_mask"])
                env.step(int(legal[rng.integers(len(legal))]))
                steps += 1
                if steps % 256 == 0 and time.perf_counter() >= end:
                    break
        return steps

    return run


def chess_v6_env() -> Any:
    from pettingzoo.classic import chess_v6

    return chess_v6.env()


def open_spiel(seconds: float) -> int:
    import pyspiel

    game = pyspiel.load_game("chess")
    rng = np.random.default_rng(0)
    state = game.new_initial_state()
    steps = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(100):
            if state.is_terminal():
                state = game.new_initial_state()
            legal = state.legal_actions()
            state.apply_action(legal[rng.integers(len(legal))])
            if not state.is_terminal():
                state.observation_tensor()
            steps += 1
    return steps


def pgx_chess(envs: int) -> Callable[[float], int]:
    def run(seconds: float) -> int:
        import jax
        import jax.numpy as jnp
        import pgx

        env = pgx.make("chess")
        init = jax.jit(jax.vmap(env.init))
        step = jax.jit(jax.vmap(env.step))

        @jax.jit
        def act(state: Any, key: Any) -> Any:
            logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
            return jax.random.categorical(key, logits, axis=-1)

        key = jax.random.PRNGKey(0)
        key, sub = jax.random.split(key)
        state = init(jax.random.split(sub, envs))
        # Compiling is not part of the measurement.
        for _ in range(3):
            key, sub = jax.random.split(key)
            state = step(state, act(state, sub))
        jax.block_until_ready(state)
        steps = 0
        started = time.perf_counter()
        while time.perf_counter() - started < seconds:
            key, sub = jax.random.split(key)
            state = step(state, act(state, sub))
            steps += envs
        jax.block_until_ready(state)
        return steps

    return run


def measure_or_skip(name: str, run: Callable[[float], int], seconds: float) -> float | None:
    try:
        return rate(run, seconds)
    except ImportError as error:
        print(f"{name}: skipped, not installed ({error.name})")
        return None


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="per job (3)")
    parser.add_argument("--envs", type=int, default=1024, help="games per batch (1024)")
    parser.add_argument("--json", default=str(Path(__file__).parent / "results" / "env.json"))
    args = parser.parse_args()
    seconds, envs = args.seconds, args.envs

    zoo = rate(vector_env(envs, "pettingzoo", 1), seconds)
    packed = rate(vector_env(envs, "packed", 1), seconds)
    zoo2 = rate(vector_env(envs, "pettingzoo", 2), seconds)
    packed2 = rate(vector_env(envs, "packed", 2), seconds)
    drop_in = rate(aec_loop(pettingzoo_env), seconds)
    chess_v6 = measure_or_skip("PettingZoo chess_v6", aec_loop(chess_v6_env), seconds)
    spiel = measure_or_skip("OpenSpiel", open_spiel, seconds)
    pgx_rate = measure_or_skip("pgx", pgx_chess(envs), seconds)

    def ratio(ours: float, theirs: float | None) -> float | None:
        return None if theirs is None else ours / theirs

    rows: list[dict[str, Any]] = [
        {"job": f"VectorEnv N={envs}, pettingzoo observations + masks", "value": zoo,
         "peer": "PettingZoo chess_v6", "peer_value": chess_v6, "ratio": ratio(zoo, chess_v6),
         "target": ">= 300,000 env-steps/s (~300x chess_v6)"},
        {"job": f"VectorEnv N={envs}, pettingzoo observations + masks", "value": zoo,
         "peer": "OpenSpiel chess", "peer_value": spiel, "ratio": ratio(zoo, spiel),
         "target": ">= 10x OpenSpiel"},
        {"job": f"VectorEnv N={envs}, pettingzoo observations + masks", "value": zoo,
         "peer": "pgx chess (CPU)", "peer_value": pgx_rate, "ratio": ratio(zoo, pgx_rate),
         "target": ">= 50x pgx"},
        {"job": f"VectorEnv N={envs}, packed observations + mask bits", "value": packed,
         "peer": None, "peer_value": None, "ratio": None, "target": ">= 2,000,000 env-steps/s"},
        {"job": f"VectorEnv N={envs}, pettingzoo, threads=2", "value": zoo2,
         "peer": "threads=1", "peer_value": zoo, "ratio": zoo2 / zoo,
         "target": ">= 1.8x one thread"},
        {"job": f"VectorEnv N={envs}, packed, threads=2", "value": packed2,
         "peer": "threads=1", "peer_value": packed, "ratio": packed2 / packed,
         "target": ">= 1.8x one thread"},
        {"job": "PettingZoo drop-in, one game, AEC loop", "value": drop_in,
         "peer": "PettingZoo chess_v6", "peer_value": chess_v6, "ratio": ratio(drop_in, chess_v6),
         "target": ">= 20x chess_v6"},
    ]
    for row in rows:
        row["unit"] = "env-steps/s"

    print(f"\nself-play stepping, random legal actions ({machine()})\n")
    print(f"| job | env-steps/s | peer | peer env-steps/s | ratio | target |")
    print("|---|---:|---|---:|---:|---|")
    for row in rows:
        peer_value = "-" if row["peer_value"] is None else f"{row['peer_value']:,.0f}"
        ratio_text = "-" if row["ratio"] is None else f"{row['ratio']:,.1f}x"
        print(f"| {row['job']} | {row['value']:,.0f} | {row['peer'] or '-'} | {peer_value} "
              f"| {ratio_text} | {row['target']} |")

    result = {
        "area": "env",
        "machine": machine(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
        "rows": rows,
    }
    path = Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(result, indent=2) + "\n")
    print(f"\nwritten: {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
