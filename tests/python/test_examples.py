"""The programs in examples/, run as a user runs them (small arguments), so that they can't rot."""

import importlib.util
import random
import subprocess
import sys
from pathlib import Path

import pytest

from quarn_chess import Board, MoveGenerator

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
from conftest import KIWIPETE, START


def run_example(name, *arguments, stdin="", blocked=()):
    """Runs examples/<name> in a new interpreter and returns the finished process. `blocked`
    names modules whose import fails, as if they were not installed."""
    path = EXAMPLES / name
    command = [sys.executable, "-P", str(path), *arguments]
    if blocked:
        launcher = (
            "import runpy, sys\n"
            f"sys.modules.update(dict.fromkeys({list(blocked)!r}))\n"
            f"sys.argv = {[str(path), *arguments]!r}\n"
            f"runpy.run_path({str(path)!r}, run_name='__main__')\n"
        )
        command = [sys.executable, "-P", "-c", launcher]
    return subprocess.run(
        command, input=stdin, capture_output=True, text=True, timeout=300, encoding="utf-8"
    )


def load_example(name):
    """examples/<name> imported as a module, for its functions."""
    module_spec = importlib.util.spec_from_file_location(name.removesuffix(".py"), EXAMPLES / name)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


# --- perft.py ------------------------------------------------------------------------------------


def test_perft_counts_the_start_position():
    result = run_example("perft.py", "--depth", "3")
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[2:]]
    assert [(row[0], row[1]) for row in rows] == [("1", "20"), ("2", "400"), ("3", "8,902")]


def test_perft_divide_splits_kiwipete_by_root_move():
    result = run_example("perft.py", "--fen", KIWIPETE, "--depth", "2", "--divide")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"position: {KIWIPETE}"
    split = dict(line.split(": ") for line in lines[1:-1])
    assert len(split) == 48
    assert split["e1g1"] == "43" and split["e2a6"] == "36"
    assert sum(int(count) for count in split.values()) == 2039
    assert lines[-1].startswith("moves 48  nodes 2,039  ")


# --- selfplay_dataset.py -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    np = pytest.importorskip("numpy")
    out = tmp_path_factory.mktemp("selfplay") / "games.npz"
    result = run_example(
        "selfplay_dataset.py", "--games", "4", "--max-plies", "60", "--seed", "11", "--out", out
    )
    assert result.returncode == 0, result.stderr
    with np.load(out) as data:
        return result, {key: data[key] for key in data.files}


def test_selfplay_writes_planes_side_to_move_and_fen(dataset):
    result, data = dataset
    planes, white, fens, games = data["planes"], data["white_to_move"], data["fen"], data["game"]
    count = len(fens)
    assert planes.shape == (count, 12, 64) and planes.dtype == bool
    assert white.shape == (count,) and white.dtype == bool
    assert games.shape == (count,) and sorted(set(games.tolist())) == [0, 1, 2, 3]
    assert f"{count:,} positions from 4 games in " in result.stdout
    assert "positions/s" in result.stdout
    for index in range(count):
        fen = str(fens[index])
        assert planes[index].tolist() == Board.bitboard_from_fen(fen)
        assert bool(white[index]) == (fen.split()[1] == "w")
    # Every game starts at the start position and is a chain of legal moves of at most 60 plies.
    generator = MoveGenerator()
    for game in range(4):
        chain = [str(fen) for fen in fens[games == game]]
        assert chain[0] == START and 2 <= len(chain) <= 61
        for before, after in zip(chain, chain[1:]):
            board = Board(before)
            reached = set()
            for move in generator(board):
                board.push(move)
                reached.add(board.fen())
                board.pop()
            assert after in reached


def test_selfplay_is_reproducible_from_its_seed(dataset, tmp_path):
    np = pytest.importorskip("numpy")
    _, first = dataset
    for seed, same in [("11", True), ("12", False)]:
        out = tmp_path / f"seed{seed}.npz"
        arguments = ["--games", "4", "--max-plies", "60", "--seed", seed, "--out", out]
        result = run_example("selfplay_dataset.py", *arguments)
        assert result.returncode == 0, result.stderr
        with np.load(out) as again:
            assert (again["fen"].tolist() == first["fen"].tolist()) is same


def test_selfplay_without_tqdm_draws_its_own_progress_bar(tmp_path):
    pytest.importorskip("numpy")
    out = tmp_path / "games.npz"
    arguments = ["--games", "3", "--max-plies", "10", "--out", str(out)]
    result = run_example("selfplay_dataset.py", *arguments, blocked=["tqdm"])
    assert result.returncode == 0, result.stderr
    assert "[" + "#" * 30 + "] 100% 3/3 games" in result.stderr
    assert out.exists()


def test_selfplay_without_numpy_says_so():
    result = run_example("selfplay_dataset.py", "--games", "1", blocked=["numpy"])
    assert result.returncode == 1
    assert "needs NumPy, which is not installed: pip install numpy" in result.stderr


# --- play.py -------------------------------------------------------------------------------------

FIRST_BOARD = """\
  a b c d e f g h
8 ♜ ♞ ♝ ♛ ♚ ♝ ♞ ♜ 8
7 ♟ ♟ ♟ ♟ ♟ ♟ ♟ ♟ 7
6 · · · · · · · · 6
5 · · · · · · · · 5
4 · · · · · · · · 4
3 · · · · · · · · 3
2 ♙ ♙ ♙ ♙ ♙ ♙ ♙ ♙ 2
1 ♖ ♘ ♗ ♕ ♔ ♗ ♘ ♖ 1
  a b c d e f g h"""


def test_play_draws_the_board_and_rejects_illegal_moves():
    session = "e2e4\ne2e5\nhello\nmoves\nd2d4\nquit\n"
    result = run_example("play.py", "--seed", "5", stdin=session)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert FIRST_BOARD in out
    assert "illegal move: e2e5 (type 'moves' to list the legal ones)" in out
    assert "'hello' is not a move" in out
    assert "legal moves: a2a3 a2a4 " in out
    assert out.count("computer plays ") == 2
    assert out.rstrip().endswith("bye")
    # The same seed plays the same game.
    assert run_example("play.py", "--seed", "5", stdin=session).stdout == out


@pytest.mark.parametrize(
    "fen, session, color, expected",
    [
        ("6k1/5ppp/8/8/8/8/8/R5K1 w - -", "a1a8\n", "white", "checkmate: white wins"),
        ("7k/8/6Q1/8/8/8/8/K7 w - -", "g6f7\n", "white", "stalemate: draw"),
        ("k7/4P3/8/8/8/8/8/K7 w - -", "e7e8\nquit\n", "white", "add the piece letter, e.g. e7e8q"),
        ("4k3/8/8/8/8/8/8/r3K3 w - -", "quit\n", "white", "check!"),
        ("kq6/8/8/8/8/8/8/7K b - -", "b8g3\n", "black", "stalemate: draw"),
        ("8/8/8/8/8/8/8/k1K5 w - -", "", "white", "insufficient material: draw"),
        ("4k3/8/8/8/8/8/8/3NKN2 w - -", "Nc3\nquit\n", "white", "computer plays "),
        ("4k3/8/8/8/8/8/8/R3K2R w KQ -", "O-O\nquit\n", "white", "computer plays "),
        ("4k3/8/8/8/8/8/8/3NKN2 w - -", "Ne3\nquit\n", "white", "ambiguous san: 'Ne3'"),
        ("4k3/8/8/8/8/8/8/3NKN2 w - -", "Nh8\nquit\n", "white", "illegal san: 'Nh8'"),
        (START, "", "black", "computer plays "),
    ],
)
def test_play_announces_what_happens(fen, session, color, expected):
    result = run_example("play.py", "--fen", fen, "--color", color, "--seed", "1", stdin=session)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


# --- selfplay_rl.py ------------------------------------------------------------------------------


@pytest.mark.parametrize("observation", ["pettingzoo", "packed"])
def test_selfplay_rl_reports_rates_and_endings(observation):
    result = run_example(
        "selfplay_rl.py", "--envs", "32", "--steps", "300", "--observation", observation
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    games, plies, steps = (int(lines[0].split()[i].replace(",", "")) for i in (0, 2, 4))
    assert steps == 32 * 300 and 0 < plies <= steps and games > 0
    assert "steps/s" in lines[1]
    counts = {line.split()[0]: int(line.split()[1]) for line in lines[2:] if line.startswith("  ")
              and not line.startswith("  checkmates")}
    assert sum(counts.values()) == games
    assert set(counts) <= {
        "CHECKMATE", "STALEMATE", "INSUFFICIENT_MATERIAL", "FIFTY_MOVES", "THREEFOLD_REPETITION",
        "SEVENTYFIVE_MOVES", "FIVEFOLD_REPETITION",
    }


# --- train_positions.py --------------------------------------------------------------------------


def test_train_positions_sees_every_position_each_epoch_and_learns(tmp_path):
    import quarn_data

    pgn = EXAMPLES.parent / "tests" / "data" / "random_games.pgn"
    quarn_data.write_table(quarn_data.pgn_to_table(pgn), tmp_path / "games-000000.parquet")
    positions = quarn_data.pgn_to_arrays(pgn).counts["positions"]
    result = run_example("train_positions.py", str(tmp_path), "--epochs", "2")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [int(line.split()[2].replace(",", "")) for line in lines] == [positions, positions]
    losses = [float(line.split("loss ")[1].split(",")[0]) for line in lines]
    assert losses[1] < losses[0]


def test_train_positions_names_an_empty_folder(tmp_path):
    result = run_example("train_positions.py", str(tmp_path))
    assert result.returncode == 2 and "no .parquet game tables" in result.stderr
