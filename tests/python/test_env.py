"""quarn_data.env against PettingZoo's chess_v6 and python-chess: observations, masks, rewards,
endings, the game state, the action encoding, and bad input."""

from __future__ import annotations

import os

import chess
import numpy as np
import pytest

import quarn_chess
from quarn_data import env as qenv

pettingzoo = pytest.importorskip("pettingzoo")
from pettingzoo.classic import chess_v6  # noqa: E402

# make soak raises this to a thousand games and more.
DIFFERENTIAL_GAMES = int(os.environ.get("QUARN_ENV_GAMES", "24"))


def _zoo_game(seed: int, scripted: list[str] | None = None) -> int:
    """Plays one game in chess_v6 and in a VectorEnv of one game side by side, comparing every
    observation, mask, reward, termination and truncation; returns the plies played."""
    ours = qenv.VectorEnv(1, seed=seed)
    obs, _ = ours.reset()
    zoo = chess_v6.env()
    zoo.reset(seed=seed)
    rng = np.random.default_rng(seed)
    actions = np.zeros(1, dtype=np.int64)
    plies = 0
    while True:
        mover = zoo.agent_selection
        zoo_obs, _, term, trunc, _ = zoo.last()
        np.testing.assert_array_equal(zoo_obs["action_mask"].astype(bool), obs["action_mask"][0])
        np.testing.assert_array_equal(zoo_obs["observation"], obs["observation"][0])
        if term or trunc:
            return plies
        legal = np.flatnonzero(obs["action_mask"][0])
        board = ours.board(0)
        if scripted is not None:
            if plies == len(scripted):
                raise AssertionError("the scripted game did not end")
            action = qenv.action_of(board, scripted[plies])
        else:
            action = int(rng.choice(legal))
        move = qenv.move_of(board, action)
        # The action is the one chess_v6 makes for the move.
        zoo.step(action)
        assert zoo.unwrapped.board.peek().uci() == move
        actions[0] = action
        obs, rewards, terminated, truncated, info = ours.step(actions)
        plies += 1
        assert rewards[0] == zoo.rewards[mover]
        assert terminated[0] == zoo.terminations[mover]
        assert truncated[0] == zoo.truncations[mover]


@pytest.mark.parametrize("seed", range(DIFFERENTIAL_GAMES))
def test_random_games_match_chess_v6_at_every_step(seed: int) -> None:
    assert _zoo_game(seed) > 0


# Scripted games, each ending one way, for both sides where the ending has a winner.
SCRIPTED = {
    "white mates": ("CHECKMATE", "e2e4 e7e5 f1c4 b8c6 d1h5 g8f6 h5f7".split()),
    "black mates": ("CHECKMATE", "f2f3 e7e5 g2g4 d8h4".split()),
    "threefold, black to claim": ("THREEFOLD_REPETITION", "g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1".split()),
    "threefold, white to claim": (
        "THREEFOLD_REPETITION",
        "e2e3 g8f6 g1f3 f6g8 f3g1 g8f6 g1f3 f6g8".split(),
    ),
}


@pytest.mark.parametrize("name", sorted(SCRIPTED))
def test_scripted_games_end_like_chess_v6(name: str) -> None:
    ending, moves = SCRIPTED[name]
    assert _zoo_game(0, scripted=moves) == len(moves)
    ours = qenv.VectorEnv(1, seed=0)
    ours.reset()
    for move in moves:
        _, rewards, terminated, _, info = ours.step([qenv.action_of(ours.board(0), move)])
    assert terminated[0] and qenv.ENDINGS[info["ending"][0]] == ending
    assert rewards[0] == (1.0 if ending == "CHECKMATE" else 0.0)


@pytest.mark.parametrize(
    ("fen", "moves", "ending"),
    [
        ("7k/5Q2/6K1/8/8/8/8/8 w - - 0 1", ["f7g7"], "CHECKMATE"),
        ("8/8/8/8/8/6k1/5q2/7K b - - 0 1", ["f2g2"], "CHECKMATE"),
        ("7k/8/6K1/8/8/8/8/5Q2 w - - 0 1", ["f1f7"], "STALEMATE"),
        ("8/8/8/3q4/8/2k5/8/K7 b - - 0 1", ["d5b3"], "STALEMATE"),
        ("8/8/8/8/8/8/1p2k3/K7 w - - 0 1", ["a1b2"], "INSUFFICIENT_MATERIAL"),
        ("8/8/8/8/8/8/1P2K3/k7 b - - 0 1", ["a1b2"], "INSUFFICIENT_MATERIAL"),
        ("8/8/4k3/8/8/2R1K3/8/8 w - - 98 80", ["c3c4"], "FIFTY_MOVES"),
        ("8/8/2r1k3/8/8/4K3/8/8 b - - 98 80", ["c6c5"], "FIFTY_MOVES"),
    ],
)
def test_endings_from_positions(fen: str, moves: list[str], ending: str) -> None:
    ours = qenv.VectorEnv.from_fens([fen], seed=0)
    pychess = chess.Board(fen)
    for i, move in enumerate(moves):
        _, rewards, terminated, _, info = ours.step([qenv.action_of(ours.board(0), move)])
        pychess.push_uci(move)
        outcome = pychess.outcome(claim_draw=True)
        last = i == len(moves) - 1
        assert bool(terminated[0]) == last
        assert (outcome is not None) == last
    assert qenv.ENDINGS[info["ending"][0]] == ending
    assert outcome is not None and outcome.termination.name == ending
    assert rewards[0] == (1.0 if ending == "CHECKMATE" else 0.0)


def test_game_state_matches_python_chess_at_every_ply() -> None:
    repeated = claims = 0
    # The last game opens with knights going back and forth until fivefold repetition.
    dance = "g1f3 g8f6 f3g1 f6g8".split() * 5
    for seed in range(7):
        ours = qenv.VectorEnv(1, seed=seed, draw_rules="automatic")
        ours.reset()
        pychess = chess.Board()
        rng = np.random.default_rng(seed)
        for ply in range(400):
            state = ours.game_state(0)
            assert state["halfmove_clock"] == pychess.halfmove_clock
            assert state["fullmove_number"] == pychess.fullmove_number
            for count in (2, 3, 5):
                assert (state["repetitions"] >= count) == pychess.is_repetition(count)
            assert state["can_claim_fifty_moves"] == pychess.can_claim_fifty_moves()
            assert state["can_claim_threefold_repetition"] == (
                pychess.can_claim_threefold_repetition()
            )
            for claim, key in ((False, "ending"), (True, "claim_ending")):
                outcome = pychess.outcome(claim_draw=claim)
                assert state[key] == (None if outcome is None else outcome.termination.name)
            repeated += state["repetitions"] >= 2
            claims += state["can_claim_threefold_repetition"]
            if state["ending"] is not None:
                break
            legal = list(pychess.legal_moves)
            # Quiet moves most of the time: pieces shuffle back and forth and positions repeat.
            quiet = [m for m in legal if not pychess.is_zeroing(m)]
            pool = quiet if quiet and rng.random() < 0.8 else legal
            move = pool[int(rng.integers(len(pool)))]
            if seed == 6:
                move = chess.Move.from_uci(dance[ply])
            action = qenv.action_of(ours.board(0), move.uci())
            ours.step([action])
            pychess.push(move)
    # The games did repeat positions and reach claimable threefold repetitions.
    assert repeated > 0 and claims > 0


def test_action_round_trips_and_masks_on_random_positions() -> None:
    rng = np.random.default_rng(7)
    for _ in range(20):
        pychess = chess.Board()
        for _ in range(int(rng.integers(0, 120))):
            legal = list(pychess.legal_moves)
            if not legal:
                break
            pychess.push(legal[int(rng.integers(len(legal)))])
        board = quarn_chess.Board(pychess.fen(en_passant="fen").rsplit(" ", 2)[0])
        legal = [m.uci() for m in pychess.legal_moves]
        actions = [qenv.action_of(board, m) for m in legal]
        assert len(set(actions)) == len(actions)
        assert [qenv.move_of(board, a) for a in actions] == legal
        mask = qenv.legal_action_mask(board)
        assert sorted(np.flatnonzero(mask).tolist()) == sorted(actions)
        if legal:
            out = np.zeros(1, dtype=np.int64)
            assert qenv.action_of_batch([board], [legal[0]], out=out) is out
            assert out[0] == actions[0]
        masks = qenv.legal_action_mask_batch([board, board])
        assert masks.shape == (2, 4672) and (masks == mask).all()


def test_pettingzoo_drop_in_passes_api_test() -> None:
    from pettingzoo.test import api_test

    api_test(qenv.pettingzoo_env(), num_cycles=100)


@pytest.mark.parametrize("seed", [3, 4, 5])
def test_pettingzoo_drop_in_matches_chess_v6(seed: int) -> None:
    ours = qenv.pettingzoo_env()
    zoo = chess_v6.env()
    ours.reset(seed=seed)
    zoo.reset(seed=seed)
    rng = np.random.default_rng(seed)
    for agent, zoo_agent in zip(ours.agent_iter(), zoo.agent_iter()):
        assert agent == zoo_agent
        a, b = ours.last(), zoo.last()
        np.testing.assert_array_equal(a[0]["observation"], b[0]["observation"])
        np.testing.assert_array_equal(a[0]["action_mask"], b[0]["action_mask"])
        assert a[1:] == b[1:]
        for other in ("player_0", "player_1"):
            np.testing.assert_array_equal(
                ours.observe(other)["action_mask"], zoo.observe(other)["action_mask"]
            )
        action = None if a[2] or a[3] else int(rng.choice(np.flatnonzero(a[0]["action_mask"])))
        ours.step(action)
        zoo.step(action)


def test_illegal_actions_lose_or_raise() -> None:
    zoo = chess_v6.env()
    zoo.reset(seed=0)
    zoo.step(0)
    ours = qenv.pettingzoo_env()
    ours.reset(seed=0)
    ours.step(0)
    assert ours.rewards == zoo.rewards
    assert ours.terminations == zoo.terminations and ours.truncations == zoo.truncations

    env = qenv.VectorEnv(3, seed=0)
    env.reset()
    _, rewards, terminated, truncated, info = env.step([0, 77, 0])
    assert rewards.tolist() == [-1, 0, -1] and terminated.tolist() == [True, False, True]
    assert truncated.tolist() == [True, False, True]
    assert qenv.ENDINGS[info["ending"][0]] == "ILLEGAL_ACTION"
    # Next-step autoreset: the finished games restart, their actions ignored.
    obs, rewards, terminated, _, _ = env.step(env.sample_legal())
    assert not terminated.any() and obs["action_mask"][0].sum() == 20

    strict = qenv.VectorEnv(2, seed=0, illegal_action="raise")
    strict.reset()
    before = strict.board(0).fen()
    with pytest.raises(ValueError, match="env 1: action 0"):
        strict.step([77, 0])
    assert strict.board(0).fen() == before


def test_bad_action_arrays_raise_before_anything_moves() -> None:
    env = qenv.VectorEnv(2, seed=0)
    env.reset()
    start = env.board(0).fen()
    with pytest.raises(TypeError, match="integer dtype"):
        env.step(np.array([77.0, 77.0]))
    with pytest.raises(ValueError, match="shape"):
        env.step(np.array([77, 77, 77]))
    with pytest.raises(ValueError, match="out of range"):
        env.step(np.array([77, 4672]))
    with pytest.raises(ValueError, match="out of range"):
        env.step(np.array([-1, 77]))
    assert env.board(0).fen() == start
    env.step(np.array([77, 77], dtype=np.int32))
    assert env.board(0).fen() != start


def test_out_arrays_are_checked_numpy_style() -> None:
    board = quarn_chess.Board()
    with pytest.raises(TypeError, match="dtype"):
        qenv.legal_action_mask_batch([board], out=np.zeros((1, 4672), dtype=np.int8))
    with pytest.raises(ValueError, match="shape"):
        qenv.legal_action_mask_batch([board], out=np.zeros((2, 4672), dtype=bool))
    with pytest.raises(ValueError, match="C-contiguous"):
        qenv.legal_action_mask_batch([board], out=np.zeros((1, 9344), dtype=bool)[:, ::2])
    readonly = np.zeros((1, 4672), dtype=bool)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        qenv.legal_action_mask_batch([board], out=readonly)
    with pytest.raises(ValueError, match="illegal"):
        qenv.action_of_batch([board], ["e2e5"])
    with pytest.raises(ValueError):
        qenv.action_of(board, "e9e4")
    with pytest.raises(ValueError):
        qenv.move_of(board, 4672)
    with pytest.raises(ValueError):
        qenv.move_of(board, 0)
    env = qenv.VectorEnv(2, seed=0)
    with pytest.raises(TypeError):
        env.sample_legal(out=np.zeros(2, dtype=np.int32))
    with pytest.raises(ValueError, match="FEN 0: invalid position"):
        qenv.VectorEnv.from_fens(["8/8/8/8/8/8/8/8 w - - 0 1"])
    with pytest.raises(ValueError, match=r"FEN 1: the game is over already \(checkmate\)"):
        qenv.VectorEnv.from_fens([chess.STARTING_FEN, "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"])
    with pytest.raises(ValueError):
        qenv.VectorEnv(1, observation="planes")  # type: ignore[arg-type]


def test_packed_observations_threads_and_sampling_agree() -> None:
    one = qenv.VectorEnv(256, seed=5, observation="packed")
    two = qenv.VectorEnv(256, seed=5, observation="packed", threads=2)
    one.reset()
    two.reset()
    for _ in range(60):
        actions = one.sample_legal()
        assert (two.sample_legal() == actions).all()
        a = one.step(actions)
        b = two.step(actions)
        assert (a[0]["observation"] == b[0]["observation"]).all()
        assert (a[0]["action_mask"] == b[0]["action_mask"]).all()
        assert (a[1] == b[1]).all() and (a[2] == b[2]).all()
    mask = one.reset()[0]["action_mask"][0]
    board = one.board(0)
    bits = np.unpackbits(mask.view(np.uint8), bitorder="little")
    assert np.flatnonzero(bits).tolist() == np.flatnonzero(qenv.legal_action_mask(board)).tolist()


def test_gymnasium_attributes_describe_the_arrays() -> None:
    from gymnasium.vector import AutoresetMode

    for kind in ("pettingzoo", "packed"):
        env = qenv.VectorEnv(4, seed=0, observation=kind)  # type: ignore[arg-type]
        obs, _ = env.reset()
        assert env.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
        assert env.observation_space.contains({k: v.copy() for k, v in obs.items()})
        assert env.action_space.contains(env.sample_legal())
        assert env.single_action_space.n == 4672


def test_packed_observation_words_describe_the_position() -> None:
    import quarn_data

    env = qenv.VectorEnv(8, seed=2, observation="packed")
    obs, _ = env.reset()
    for _ in range(120):
        for i in range(8):
            words = obs["observation"][i]
            board = env.board(i)
            state = env.game_state(i)
            assert (words[:12] == quarn_data.packed(board, flip=True)).all()
            flags = int(words[12])
            white = board.turn() == "white"
            assert bool(flags >> 4 & 1) == (not white)
            fen = board.fen().split()
            own, other = ("KQ", "kq") if white else ("kq", "KQ")
            rights = [own[0], own[1], other[0], other[1]]
            assert [bool(flags >> b & 1) for b in range(4)] == [r in fen[2] for r in rights]
            ep = flags >> 8 & 15
            assert ep == (0 if fen[3] == "-" else "abcdefgh".index(fen[3][0]) + 1)
            assert int(words[13]) == state["halfmove_clock"]
            assert int(words[14]) == state["fullmove_number"]
            assert int(words[15]) == state["repetitions"]
        obs = env.step(env.sample_legal())[0]


def test_max_plies_truncates_and_the_game_restarts() -> None:
    env = qenv.VectorEnv(4, seed=0, max_plies=10)
    env.reset()
    for ply in range(1, 11):
        _, rewards, terminated, truncated, info = env.step(env.sample_legal())
        assert not terminated.any()
        assert truncated.all() == (ply == 10)
    assert (info["ending"] == 0).all() and (rewards == 0).all()
    env.step(env.sample_legal())
    assert all(env.game_state(i)["plies"] == 0 for i in range(4))
    assert env.board(0).fen() == quarn_chess.Board().fen()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_forked_child_steps_a_threaded_env_alone() -> None:
    import signal

    env = qenv.VectorEnv(256, seed=0, threads=2)
    env.reset()
    env.step(env.sample_legal())
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        signal.alarm(20)  # a hang ends the child with SIGALRM, failing the test
        for _ in range(5):
            env.step(env.sample_legal())
        del env
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    for _ in range(5):
        env.step(env.sample_legal())
