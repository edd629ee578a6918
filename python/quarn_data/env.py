"""Self-play environments: batched chess games with AlphaZero's actions and a PettingZoo drop-in.

Actions follow AlphaZero's 8 x 8 x 73 = 4,672 encoding with exactly the indices of PettingZoo's
``chess_v6``, seen from the side to move (ranks mirrored for black, files kept):
``action = (file * 8 + rank) * 73 + plane`` for the from-square, where planes 0..55 are queen-like
moves (``(distance - 1) * 8 + direction``, the directions ordered by (file step, rank step):
(-1,-1) (-1,0) (-1,+1) (0,-1) (0,+1) (+1,-1) (+1,0) (+1,+1)), planes 56..63 knight jumps (ordered
the same way: (-2,-1) (-2,+1) (-1,-2) (-1,+2) (+1,-2) (+1,+2) (+2,-1) (+2,+1)) and planes
64..72 under-promotions (``64 + (file step + 1) * 3 + piece``, knight, bishop, rook). A pawn
reaching the last rank by a queen-like plane promotes to a queen; castling is the king's
two-square move.

:class:`VectorEnv` steps a batch of independent games in native code with the interpreter lock
released; :func:`pettingzoo_env` is a drop-in for ``pettingzoo.classic.chess_v6.env()``.
Nothing here imports PettingZoo or Gymnasium until :func:`pettingzoo_env` is called.
"""

from __future__ import annotations

import secrets
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quarn_chess import Board
from quarn_data import _env

__all__ = [
    "ACTION_COUNT",
    "ENDINGS",
    "VectorEnv",
    "action_of",
    "action_of_batch",
    "legal_action_mask",
    "legal_action_mask_batch",
    "move_of",
    "pettingzoo_env",
]

#: The number of actions, 8 * 8 * 73.
ACTION_COUNT: int = _env.ACTION_COUNT

#: The names of the codes in ``info["ending"]``: index 0 means the game goes on.
ENDINGS: tuple[str | None, ...] = (
    None,
    "CHECKMATE",
    "INSUFFICIENT_MATERIAL",
    "STALEMATE",
    "SEVENTYFIVE_MOVES",
    "FIVEFOLD_REPETITION",
    "FIFTY_MOVES",
    "THREEFOLD_REPETITION",
    "ILLEGAL_ACTION",
)


def action_of(board: Board, move: str) -> int:
    """The action index of a legal move.

    Parameters
    ----------
    board : quarn_chess.Board
        The position; the action is seen from its side to move.
    move : str
        The move as UCI text, e.g. ``"e2e4"`` or ``"e7e8n"``.

    Returns
    -------
    int
        The index in ``range(4672)``.

    Raises
    ------
    ValueError
        The text is no move, or the move is not legal on ``board``.
    """
    return _env.action_of(board, move)


def move_of(board: Board, action: int) -> str:
    """The legal move an action names on ``board``, as UCI text.

    Parameters
    ----------
    board : quarn_chess.Board
        The position.
    action : int
        An index in ``range(4672)``.

    Returns
    -------
    str
        The move, e.g. ``"e7e8q"`` (a pawn reaching the last rank by a queen-like plane).

    Raises
    ------
    ValueError
        The action is out of range or names no legal move.
    """
    return _env.move_of(board, action)


def legal_action_mask(board: Board) -> npt.NDArray[np.bool_]:
    """The actions of the legal moves of ``board``.

    Parameters
    ----------
    board : quarn_chess.Board
        The position; actions are seen from its side to move.

    Returns
    -------
    numpy.ndarray of bool, shape (4672,)
        A new array, True exactly at the action of every legal move.
    """
    return _env.legal_action_mask(board)


def legal_action_mask_batch(
    boards: Sequence[Board], out: npt.NDArray[np.bool_] | None = None
) -> npt.NDArray[np.bool_]:
    """The masks of many boards at once, with the interpreter lock released.

    Parameters
    ----------
    boards : sequence of quarn_chess.Board
        N positions.
    out : numpy.ndarray of bool, shape (N, 4672), optional
        Receives the masks. It is checked the way NumPy checks outputs (dtype: ``TypeError``;
        shape, C-contiguity, writability: ``ValueError``) before anything is written.

    Returns
    -------
    numpy.ndarray of bool, shape (N, 4672)
        ``out``, or a new array: row i is ``legal_action_mask(boards[i])``.
    """
    return _env.legal_action_mask_batch(boards, out)


def action_of_batch(
    boards: Sequence[Board], moves: Sequence[str], out: npt.NDArray[np.int64] | None = None
) -> npt.NDArray[np.int64]:
    """The actions of one legal move per board.

    Parameters
    ----------
    boards : sequence of quarn_chess.Board
        N positions.
    moves : sequence of str
        N moves as UCI text, ``moves[i]`` legal on ``boards[i]``.
    out : numpy.ndarray of int64, shape (N,), optional
        Receives the actions; checked like NumPy outputs before anything is written.

    Returns
    -------
    numpy.ndarray of int64, shape (N,)
        ``out``, or a new array.

    Raises
    ------
    ValueError
        A move is no move text or is illegal on its board (the message names its index); nothing
        is written then.
    """
    return _env.action_of_batch(boards, moves, out)


class VectorEnv:
    """A batch of independent chess games stepped together in native code.

    Parameters
    ----------
    num_envs : int
        The number of games, N.
    seed : int, optional
        Seeds the generators of :meth:`sample_legal` (one per game); ``None`` picks a random seed.
    observation : {"pettingzoo", "packed"}
        ``"pettingzoo"``: ``obs["observation"]`` is bool (N, 8, 8, 111), exactly as ``chess_v6``
        builds it for the side to move, and ``obs["action_mask"]`` bool (N, 4672).
        ``"packed"``: ``obs["observation"]`` is uint64 (N, 16) -- words 0..11 the bitboards seen
        from the side to move (its P N B R Q K first, ranks mirrored for black), 12 flags (bit 0
        own king-side right, 1 own queen-side, 2 the opponent's king-side, 3 its queen-side,
        4 black to move, bits 8..11 the en-passant file + 1), 13 the half-move clock, 14 the
        full-move number, 15 the repetitions of the position -- and ``obs["action_mask"]`` is
        uint64 (N, 73), bit ``a % 64`` of word ``a // 64`` set for each legal action ``a``.
    draw_rules : {"claim", "automatic"}
        ``"claim"`` (``chess_v6``'s rule, python-chess's ``outcome(claim_draw=True)``): a game
        also ends as soon as the side to move could claim a draw by the fifty-move rule or
        threefold repetition. ``"automatic"``: only the seventy-five-move rule and fivefold
        repetition end it.
    max_plies : int, optional
        A game is truncated after this many half-moves.
    threads : int
        The games are split over this many threads in each call.
    illegal_action : {"lose", "raise"}
        ``"lose"`` (PettingZoo's rule): an illegal action ends the game, reward -1 for its
        player, ``terminated`` and ``truncated`` both True. ``"raise"``: ``step`` raises
        ``ValueError`` naming the env index and the action, before any game moves.

    Notes
    -----
    ``reset`` and ``step`` return the same arrays every time, overwritten in place by the next
    call (copy what you keep). Rewards are for the player who made the step's move: +1 when it
    mates, -1 for an illegal action, 0 otherwise (the opponent's is the negative).

    Finished games restart with Gymnasium's next-step autoreset: the step that ends a game returns
    its final observation with ``terminated`` / ``truncated`` set; on the next ``step`` that game's
    action is ignored, it restarts, and the step returns its first observation with reward 0.
    ``info["ending"]`` (int8 (N,)) tells how each game ended in the last step, indexing
    :data:`ENDINGS`.
    """

    def __init__(
        self,
        num_envs: int,
        *,
        seed: int | None = None,
        observation: Literal["pettingzoo", "packed"] = "pettingzoo",
        draw_rules: Literal["claim", "automatic"] = "claim",
        max_plies: int | None = None,
        threads: int = 1,
        illegal_action: Literal["lose", "raise"] = "lose",
    ) -> None:
        if illegal_action not in ("lose", "raise"):
            raise ValueError(f"illegal_action must be 'lose' or 'raise', not {illegal_action!r}")
        if seed is None:
            seed = secrets.randbits(63)
        self._engine = _env.Engine(
            num_envs, seed, observation, draw_rules, 0 if max_plies is None else max_plies, threads
        )
        self.num_envs: int = num_envs
        self.observation_kind = observation
        self._raise = illegal_action == "raise"
        self._obs: dict[str, npt.NDArray[Any]] = {
            "observation": self._engine.observation,
            "action_mask": self._engine.action_mask,
        }
        self._info: dict[str, npt.NDArray[Any]] = {"ending": self._engine.ending}
        self._actions = np.zeros(num_envs, dtype=np.int64)

    @classmethod
    def from_fens(cls, fens: Sequence[str], **kwargs: Any) -> VectorEnv:
        """One game per FEN, each starting (and restarting) from its position.

        The keyword arguments are those of :class:`VectorEnv`. A FEN that cannot be read, or a
        position play cannot reach in the ways the rules rely on (not one king per side, a pawn on
        the first or last rank, the side not to move in check, an en-passant square no double
        step explains), or one whose game is over already, raises ``ValueError`` naming it.
        """
        env = cls(len(fens), **kwargs)
        env._engine.set_start_positions(list(fens))
        env._engine.reset()
        return env

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[Any]]]:
        """Restarts every game; ``seed`` reseeds :meth:`sample_legal`. Returns ``(obs, info)``."""
        self._engine.reset(seed)
        return self._obs, self._info

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[
        dict[str, npt.NDArray[Any]],
        npt.NDArray[np.float32],
        npt.NDArray[np.bool_],
        npt.NDArray[np.bool_],
        dict[str, npt.NDArray[Any]],
    ]:
        """One move in every game.

        Parameters
        ----------
        actions : array_like of int, shape (N,)
            One action per game (ignored for a game that restarts in this step).

        Returns
        -------
        tuple
            ``(obs, rewards, terminated, truncated, info)``: rewards float32 (N,), terminated and
            truncated bool (N,).

        Raises
        ------
        TypeError
            ``actions`` is not of an integer dtype.
        ValueError
            Wrong shape, an action outside ``range(4672)``, or (with ``illegal_action="raise"``)
            an illegal action; nothing moves then.
        """
        array = np.asarray(actions)
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions must have an integer dtype, not {array.dtype}")
        if array.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), not {array.shape}")
        if array.dtype != np.int64 or not array.flags.c_contiguous:
            if array.dtype.kind == "u" and array.size and int(array.max()) >= ACTION_COUNT:
                bad = int(np.argmax(array >= ACTION_COUNT))
                raise ValueError(
                    f"env {bad}: action {int(array[bad])} is out of range (0 to {ACTION_COUNT - 1})"
                )
            np.copyto(self._actions, array, casting="unsafe")
            array = self._actions
        self._engine.step(array, self._raise)
        engine = self._engine
        return self._obs, engine.reward, engine.terminated, engine.truncated, self._info

    def sample_legal(
        self, seed: int | None = None, out: npt.NDArray[np.int64] | None = None
    ) -> npt.NDArray[np.int64]:
        """A uniformly drawn legal action for every game, int64 (N,), drawn natively.

        ``seed`` reseeds the per-game generators first; ``out`` receives the actions when given.
        Games about to restart get 0 (their action is ignored).
        """
        if out is None:
            out = np.empty(self.num_envs, dtype=np.int64)
        self._engine.sample_legal(out, seed)
        return out

    def board(self, index: int) -> Board:
        """A ``quarn_chess.Board`` copy of game ``index``."""
        return self._engine.board(index)

    def game_state(self, index: int) -> dict[str, Any]:
        """The counters of game ``index`` and how the rules judge it now.

        Returns a dict with ``halfmove_clock``, ``fullmove_number``, ``plies`` (since its start),
        ``repetitions`` (of the current position), ``ending`` (under automatic rules) and
        ``claim_ending`` (with claims), both names from :data:`ENDINGS`, and
        ``can_claim_fifty_moves`` / ``can_claim_threefold_repetition``.
        """
        clock, number, plies, repetitions, automatic, claim, fifty, threefold = (
            self._engine.game_state(index)
        )
        return {
            "halfmove_clock": clock,
            "fullmove_number": number,
            "plies": plies,
            "repetitions": repetitions,
            "ending": ENDINGS[automatic],
            "claim_ending": ENDINGS[claim],
            "can_claim_fifty_moves": fifty,
            "can_claim_threefold_repetition": threefold,
        }

    def close(self) -> None:
        """Nothing to release; present for Gymnasium's interface."""

    # Gymnasium's vector-environment attributes, made on first use (they import Gymnasium).

    @property
    def metadata(self) -> dict[str, Any]:
        """``{"autoreset_mode": gymnasium.vector.AutoresetMode.NEXT_STEP}``."""
        from gymnasium.vector import AutoresetMode

        return {"autoreset_mode": AutoresetMode.NEXT_STEP}

    @property
    def single_action_space(self) -> Any:
        """``gymnasium.spaces.Discrete(4672)``."""
        from gymnasium import spaces

        return spaces.Discrete(ACTION_COUNT)

    @property
    def action_space(self) -> Any:
        """``gymnasium.spaces.MultiDiscrete`` of N times 4,672."""
        from gymnasium import spaces

        return spaces.MultiDiscrete(np.full(self.num_envs, ACTION_COUNT, dtype=np.int64))

    @property
    def single_observation_space(self) -> Any:
        """A ``gymnasium.spaces.Dict`` with the ``observation`` and ``action_mask`` of one game."""
        from gymnasium import spaces

        # Gymnasium's annotations take only float dtypes for Box.
        box: Any = spaces.Box
        if self.observation_kind == "pettingzoo":
            observation = box(0, 1, (8, 8, 111), dtype=np.bool_)
            mask = box(0, 1, (ACTION_COUNT,), dtype=np.bool_)
        else:
            top = np.iinfo(np.uint64).max
            observation = box(0, top, (16,), dtype=np.uint64)
            mask = box(0, top, ((ACTION_COUNT + 63) // 64,), dtype=np.uint64)
        return spaces.Dict({"observation": observation, "action_mask": mask})

    @property
    def observation_space(self) -> Any:
        """The single observation space batched N times."""
        from gymnasium.vector.utils import batch_space

        return batch_space(self.single_observation_space, self.num_envs)


def pettingzoo_env(render_mode: str | None = None) -> Any:
    """A drop-in for ``pettingzoo.classic.chess_v6.env()`` backed by the native engine.

    The agents, spaces, observation dicts, rewards, terminations, truncations and the handling of
    an illegal action (the game ends, -1 for its player) are those of ``chess_v6``. Needs
    PettingZoo (``pip install 'pettingzoo[classic]'``). The result is a
    ``pettingzoo.AECEnv`` (typed ``Any`` here, as PettingZoo ships no type information).
    """
    from quarn_data._pettingzoo import ChessEnv

    return ChessEnv(render_mode=render_mode)
