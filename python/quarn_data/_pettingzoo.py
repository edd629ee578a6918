"""The PettingZoo AEC drop-in for ``chess_v6`` (imported by ``quarn_data.env.pettingzoo_env``)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from pettingzoo import AECEnv  # type: ignore[import-untyped]

from quarn_data import _env

_AGENTS = ["player_0", "player_1"]
_ILLEGAL_ACTION = 8
_RENDER_MODES = ["ansi"]


class ChessEnv(AECEnv):  # type: ignore[misc]
    """One chess game with ``chess_v6``'s agents, spaces, rewards and rules, stepped natively."""

    metadata = {
        "render_modes": _RENDER_MODES,
        "name": "chess_v6",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, render_mode: str | None = None) -> None:
        super().__init__()
        if render_mode is not None and render_mode not in _RENDER_MODES:
            raise ValueError(f"render_mode must be one of {_RENDER_MODES}, not {render_mode!r}")
        self.render_mode = render_mode
        self.possible_agents = list(_AGENTS)
        self.agents = list(_AGENTS)
        self._observation_space = spaces.Dict(
            {
                "observation": spaces.Box(low=0, high=1, shape=(8, 8, 111), dtype=bool),
                "action_mask": spaces.Box(low=0, high=1, shape=(4672,), dtype=np.int8),
            }
        )
        self._action_space = spaces.Discrete(4672)
        self.observation_spaces = {agent: self._observation_space for agent in _AGENTS}
        self.action_spaces = {agent: self._action_space for agent in _AGENTS}
        self._engine = _env.Engine(1, 0, "pettingzoo", "claim", 0, 1)
        self._action = np.zeros(1, dtype=np.int64)
        self._mover = 0
        self.rewards = {agent: 0.0 for agent in _AGENTS}
        self._cumulative_rewards = {agent: 0.0 for agent in _AGENTS}
        self.terminations = {agent: False for agent in _AGENTS}
        self.truncations = {agent: False for agent in _AGENTS}
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in _AGENTS}
        self.agent_selection = _AGENTS[0]

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def observe(self, agent: str) -> dict[str, npt.NDArray[Any]]:
        white = agent == _AGENTS[0]
        observation, mask = self._engine.observe(0, white)
        if agent != self.agent_selection:
            # chess_v6 gives the legal actions of the position to the selected agent only (after
            # the game ends, also when that agent is not the side to move).
            mask[:] = False
        return {"observation": observation, "action_mask": mask.view(np.int8)}

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        self._engine.reset(seed)
        self._mover = 0
        self.agents = list(_AGENTS)
        self.rewards = {agent: 0.0 for agent in _AGENTS}
        self._cumulative_rewards = {agent: 0.0 for agent in _AGENTS}
        self.terminations = {agent: False for agent in _AGENTS}
        self.truncations = {agent: False for agent in _AGENTS}
        self.infos = {agent: {} for agent in _AGENTS}
        self.agent_selection = _AGENTS[0]

    def step(self, action: int | None) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        if action is None or not 0 <= int(action) < 4672:
            raise ValueError(f"action must be in range(4672) for {agent}, not {action!r}")
        self._cumulative_rewards[agent] = 0.0
        self._action[0] = int(action)
        engine = self._engine
        engine.step(self._action, False)
        other = _AGENTS[1 - self._mover]
        if engine.ending[0] == _ILLEGAL_ACTION:
            self.rewards = {agent: -1.0, other: 0.0}
            self.terminations = {a: True for a in _AGENTS}
            self.truncations = {a: True for a in _AGENTS}
        else:
            reward = float(engine.reward[0])
            self.rewards = {agent: reward, other: -reward}
            done = bool(engine.terminated[0])
            self.terminations = {a: done for a in _AGENTS}
            if done:
                # What chess_v6 reports once a game is over.
                self.infos = {a: {"legal_moves": []} for a in _AGENTS}
            self._mover = 1 - self._mover
        self._accumulate_rewards()
        self.agent_selection = other

    def render(self) -> str | None:
        if self.render_mode == "ansi":
            return self._engine.board(0).fen()
        return None

    def close(self) -> None:
        pass
