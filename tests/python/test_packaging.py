"""The wheel: built from this tree, installed into a fresh venv, imported there, and its stub
picked up by mypy. Deselect with -m "not packaging" (the first build takes a while)."""

import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

pytestmark = [
    pytest.mark.packaging,
    pytest.mark.skipif(
        bool(os.environ.get("QUARN_SANITIZED")),
        reason="an ordinary wheel is not built under the sanitizers",
    ),
]

ROOT = Path(__file__).resolve().parents[2]
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"


def run(*command, **options):
    """Runs a command, failing the test with its output when it fails."""
    result = subprocess.run(
        [str(part) for part in command], capture_output=True, text=True, timeout=900, **options
    )
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"
    return result


def cmake_environment():
    """The environment for a build: CMAKE_EXECUTABLE points at a working cmake, as in the Makefile
    (a pyenv shim on PATH may exist and fail)."""
    environment = dict(os.environ)
    if "CMAKE_EXECUTABLE" not in environment:
        found = subprocess.run(
            [str(ROOT / "tools" / "find_cmake.sh")], capture_output=True, text=True
        )
        if found.returncode == 0:
            environment["CMAKE_EXECUTABLE"] = found.stdout.strip()
    return environment


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """A wheel built from the source tree. The build directory persists under build/, so a
    second run only relinks; with scikit-build-core importable the build needs no network."""
    out = tmp_path_factory.mktemp("dist")
    isolation = []
    try:
        import scikit_build_core  # noqa: F401
    except ImportError:
        pass
    else:
        isolation = ["--no-build-isolation"]
    build_dir = ROOT / "build" / f"wheel-{TAG}"
    run(
        sys.executable, "-m", "pip", "wheel", "--no-deps", "--quiet", *isolation,
        "--wheel-dir", out, f"--config-settings=build-dir={build_dir}", ROOT,
        cwd=ROOT, env=cmake_environment(),
    )
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def fresh_python(wheel, tmp_path_factory):
    """The interpreter of a new venv that has nothing but the wheel installed."""
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", "--without-pip", venv)
    python = venv / "bin" / "python"
    pip = [sys.executable, "-m", "pip", "--python", python]
    run(*pip, "install", "--quiet", "--no-deps", "--no-index", wheel)
    return python


def test_wheel_carries_module_stub_and_metadata(wheel):
    assert re.fullmatch(rf"quarn_chess-0\.1\.0-{TAG}-{TAG}-linux_\w+\.whl", wheel.name)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = sorted(archive.namelist())
        stub = archive.read("quarn_chess-stubs/__init__.pyi")
        metadata = archive.read("quarn_chess-0.1.0.dist-info/METADATA").decode()
    assert names == sorted(
        [
            f"quarn_chess{suffix}",
            "quarn_chess-stubs/__init__.pyi",
            "quarn_data/__init__.py",
            "quarn_data/__main__.py",
            f"quarn_data/_env{suffix}",
            "quarn_data/_env.pyi",
            f"quarn_data/_native{suffix}",
            "quarn_data/_native.pyi",
            "quarn_data/_pettingzoo.py",
            f"quarn_data/_pgn{suffix}",
            "quarn_data/_pgn.pyi",
            "quarn_data/convert.py",
            "quarn_data/env.py",
            "quarn_data/pgn.py",
            "quarn_data/py.typed",
            "quarn_data/tables.py",
            "quarn_chess-0.1.0.dist-info/METADATA",
            "quarn_chess-0.1.0.dist-info/WHEEL",
            "quarn_chess-0.1.0.dist-info/RECORD",
            "quarn_chess-0.1.0.dist-info/licenses/LICENSE",
        ]
    )
    assert stub == (ROOT / "src" / "python" / "quarn_chess.pyi").read_bytes()
    for line in [
        "Name: quarn-chess",
        "Requires-Python: >=3.12",
        "License-Expression: MIT",
        "Classifier: Typing :: Typed",
        "Provides-Extra: data",
        'Requires-Dist: numpy; extra == "data"',
    ]:
        assert line in metadata.splitlines()


def test_installed_wheel_imports_in_a_fresh_venv(fresh_python, tmp_path):
    script = textwrap.dedent(
        """
        import quarn_chess
        board = quarn_chess.Board()
        moves = quarn_chess.MoveGenerator()(board)
        print(quarn_chess.__file__, quarn_chess.__all__, len(moves), board.fen())
        """
    )
    # -P and a neutral working directory: only the installed module can be found.
    result = run(fresh_python, "-P", "-c", script, cwd=tmp_path)
    location, rest = result.stdout.split(" ", 1)
    assert Path(location).is_relative_to(fresh_python.parent.parent)
    assert rest.split(" ", 2) == ["['Board',", "'MoveGenerator']", f"20 {START}\n"]


def test_quarn_data_without_numpy_names_the_extra(fresh_python, tmp_path):
    # The fresh venv has no NumPy: the import says how to get it.
    result = subprocess.run(
        [fresh_python, "-P", "-c", "import quarn_data"], capture_output=True, text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 1
    assert "pip install 'quarn-chess[data]'" in result.stderr


def test_mypy_reads_the_installed_stub(fresh_python, tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "program.py"
    program.write_text(
        textwrap.dedent(
            """
            from quarn_chess import Board, MoveGenerator

            board = Board("8/8/8/8/8/8/8/K6k w - -")
            moves: list[str] = MoveGenerator()(board)
            planes: list[list[bool]] = Board.bitboard_from_fen(board.fen())
            board.push(moves[0])
            wrong: int = board.fen()
            """
        )
    )
    # The venv has no mypy: the outer one checks against the venv's site-packages.
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental"]
    result = subprocess.run(
        [*mypy, "--python-executable", str(fresh_python), str(program)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Exactly the one planted error: the stub was found and its types are the ones checked.
    assert len(errors) == 1, result.stdout + result.stderr
    assert "program.py:8: error: Incompatible types in assignment" in errors[0]
    assert '(expression has type "str", variable has type "int")' in errors[0]


def test_wheel_and_extras_install_into_a_new_venv_with_an_empty_pip_cache(wheel, tmp_path):
    """What a new user's machine does: a venv with nothing in it, pip's cache off, and the wheel
    installed with its extras the ordinary way, so every requirement that PyPI ships only as an
    sdist (python-chess) is built in pip's isolated environment from what the index provides."""
    import tomllib

    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"][
        "optional-dependencies"
    ]
    # The benchmark peers are measured, not used; everything a user installs is here.
    wanted = sorted(name for name in extras if name != "bench")
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    environment = cmake_environment()
    environment.update(PIP_NO_CACHE_DIR="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    environment.pop("PIP_NO_BUILD_ISOLATION", None)
    run(python, "-m", "pip", "install", "--quiet", f"{wheel}[{','.join(wanted)}]", env=environment)
    script = (
        "import chess, quarn_chess, quarn_data; board = quarn_chess.Board(); "
        "print(board.fen(), quarn_data.legal_move_count(board), quarn_data.planes(board).sum())"
    )
    result = run(python, "-P", "-c", script, cwd=tmp_path)
    assert result.stdout == START + " 20 32\n"
    # PGN reading and the command line come with the data extra.
    games = ROOT / "tests" / "data" / "classics.pgn"
    script = f"import quarn_data; print([len(g.moves) for g in quarn_data.read_games({str(games)!r})])"
    assert run(python, "-P", "-c", script, cwd=tmp_path).stdout == "[33, 45, 47]\n"
    converted = run(python, "-P", "-m", "quarn_data", "convert", games, "--out", tmp_path / "shards",
                    cwd=tmp_path)
    assert "3 kept" in converted.stderr and (tmp_path / "shards" / "classics-000000.npz").exists()
