"""positions(), PositionLoader and GameLoader: rows equal to pgn_to_arrays and python-chess's
replay, the loaders' once-per-epoch order and splits, and bad input."""

from __future__ import annotations

import gc
import importlib.util
import io
import random
import subprocess
import sys
import threading
import time
import warnings
from collections import Counter
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402
from conftest import DATA_DIR, PERFT_FENS  # noqa: E402
from game_tables import SCHEMA, game_table, write  # noqa: E402

import quarn_data as qd  # noqa: E402
from quarn_data.loader import BadGameWarning, split_part  # noqa: E402
from quarn_data.tables import GameTableError  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
COLLECTIONS = sorted(DATA_DIR.glob("*.pgn"))


def lichess_like(games: int, seed: int) -> bytes:
    module_spec = importlib.util.spec_from_file_location(
        "lichess_like", ROOT / "bench" / "lichess_like.py"
    )
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    rng = random.Random(seed)
    return "".join(module.game_text(i, rng) for i in range(games)).encode()


def random_pgn(games: int, seed: int) -> bytes:
    """Random legal games from the perft positions (FEN tags), promotions and castling often."""
    rng = random.Random(seed)
    out = io.StringIO()
    for index in range(games):
        fen = PERFT_FENS[index % len(PERFT_FENS)]
        board = chess.Board(fen + ("" if len(fen.split()) == 6 else f" {rng.randint(0, 40)} 1"))
        for _ in range(rng.randint(1, 120)):
            moves = list(board.legal_moves)
            if not moves:
                break
            promotions = [m for m in moves if m.promotion]
            board.push(rng.choice(promotions if promotions and rng.random() < 0.7 else moves))
        game = chess.pgn.Game.from_board(board)
        if board.outcome() is None:
            game.headers["Result"] = rng.choice(["1-0", "0-1", "1/2-1/2"])
        game.headers["WhiteElo"] = str(rng.randint(1000, 2500))
        print(game, file=out, end="\n\n")
    return out.getvalue().encode()


def assert_rows_equal(expected, actual, names=None):
    for name in names or expected:
        a, b = np.asarray(expected[name]), np.asarray(actual[name])
        assert a.dtype == b.dtype, name
        assert np.array_equal(a, b, equal_nan=a.dtype.kind == "f"), name


@pytest.fixture(scope="module")
def lichess() -> bytes:
    return lichess_like(120, 5)


@pytest.fixture(scope="module")
def generated() -> bytes:
    return random_pgn(60, 11)


# --- positions ---------------------------------------------------------------------------------


@pytest.mark.parametrize("source", [*COLLECTIONS, "generated", "lichess"],
                         ids=lambda s: getattr(s, "name", s))
def test_positions_equal_pgn_to_arrays_column_for_column(source, request):
    pgn = request.getfixturevalue(source) if isinstance(source, str) else source
    table = game_table(pgn)
    reference = qd.pgn_to_arrays(io.BytesIO(pgn) if isinstance(pgn, bytes) else pgn)
    rows = qd.positions(table)
    assert list(rows) == list(reference)
    assert_rows_equal(reference, rows)
    planes = qd.positions(table, planes=True)
    assert planes["planes"].shape == (len(rows["game"]), 12, 64)
    assert np.array_equal(np.packbits(planes["planes"], axis=2, bitorder="little")
                          .view(np.uint64)[:, :, 0], rows["packed"])


def test_positions_read_chunked_and_sliced_tables_as_whole_ones(lichess):
    table = game_table(lichess)
    whole = qd.positions(table)
    chunked = pa.concat_tables([table.slice(0, 7), table.slice(7, 50), table.slice(57)])
    assert chunked.column("moves").num_chunks == 3
    assert_rows_equal(whole, qd.positions(chunked))
    start = int(np.flatnonzero(whole["game"] == table.column("game")[10].as_py())[0])
    assert_rows_equal({k: v[start:] for k, v in whole.items()}, qd.positions(table.slice(10)))
    assert_rows_equal(whole, qd.positions(table.to_batches(max_chunksize=1000)[0]))
    # Only the moves are needed; every label then takes its null value.
    bare = qd.positions(table.select(["moves"]))
    assert_rows_equal(whole, bare, ["packed", "move", "ply", "halfmove"])
    assert (bare["result"] == 0).all() and (bare["white_elo"] == -1).all()
    assert np.isnan(bare["eval"]).all() and np.isnan(bare["clock"]).all()


def test_positions_equal_python_chess_replay_on_a_sample(generated):
    table = game_table(generated)
    rows = qd.positions(table)
    games = {g.index: g for g in qd.read_games(io.BytesIO(generated))}
    rng = np.random.default_rng(3)
    colours = [(p, c) for c in (chess.WHITE, chess.BLACK) for p in chess.PIECE_TYPES]
    for row in rng.choice(len(rows["game"]), size=200, replace=False):
        game = games[int(rows["game"][row])]
        board = chess.Board(game.fen) if game.fen else chess.Board()
        for uci in game.moves[:int(rows["ply"][row])]:
            board.push_uci(uci)
        masks = [board.pieces_mask(p, c) for p, c in colours]
        assert rows["packed"][row].tolist() == masks
        assert rows["turn"][row] == int(board.turn)
        rights = [board.has_kingside_castling_rights(chess.WHITE),
                  board.has_queenside_castling_rights(chess.WHITE),
                  board.has_kingside_castling_rights(chess.BLACK),
                  board.has_queenside_castling_rights(chess.BLACK)]
        assert rows["castling"][row] == sum(int(r) << i for i, r in enumerate(rights))
        ep = -1 if board.ep_square is None else chess.square_file(board.ep_square)
        assert rows["ep_file"][row] == ep
        assert rows["halfmove"][row] == board.halfmove_clock
        move = chess.Move.from_uci(game.moves[int(rows["ply"][row])])
        assert rows["move"][row] == move.from_square * 64 + move.to_square
        assert rows["promotion"][row] == (move.promotion or 0)


def test_flip_matches_the_board_encoders(generated):
    table = game_table(generated)
    plain = qd.positions(table)
    flipped = qd.positions(table, flip=True)
    games = {g.index: g for g in qd.read_games(io.BytesIO(generated))}
    for row in range(0, len(plain["game"]), 37):
        game = games[int(plain["game"][row])]
        board = chess.Board(game.fen) if game.fen else chess.Board()
        for uci in game.moves[:int(plain["ply"][row])]:
            board.push_uci(uci)
        ours = qd_board(board)
        assert flipped["packed"][row].tolist() == qd.packed(ours, flip=True).tolist()
        scalars = qd.scalars(ours, flip=True)
        assert flipped["castling"][row] == sum(int(scalars[1 + i]) << i for i in range(4))
        assert flipped["turn"][row] == plain["turn"][row]
        move = int(plain["move"][row])
        mirrored = move if plain["turn"][row] else move ^ (56 * 64 + 56)
        assert flipped["move"][row] == mirrored


def qd_board(board: chess.Board):
    from quarn_chess import Board

    return Board(board.fen())


def test_bad_tokens_and_fens_are_refused_naming_the_game():
    good = {"moves": [[12 + 64 * 28, 52 + 64 * 36]], "game": [7]}  # e2e4 e7e5
    table = pa.table(good, schema=pa.schema([SCHEMA.field("moves"), SCHEMA.field("game")]))
    assert len(qd.positions(table)["game"]) == 2
    cases = [
        ([[12 + 64 * 28, 12 + 64 * 28]], None, "game 7, ply 1: token"),  # e2e4 twice
        ([[12 + 64 * 28 + 4096]], None, "malformed"),  # promotion code 1
        ([[12 + 64 * 20 + 4096 * 5]], None, "not a legal move"),  # e2e3 promoting
        ([[4 + 64 * 6]], None, "not a legal move"),  # castling through pieces
        ([[12 + 64 * 28]], "8/8/8/8/8/8/8/8 w - - 0 1", "game 7: bad FEN"),
    ]
    for moves, fen, text in cases:
        bad = pa.table({"moves": moves, "fen": [fen], "game": [7]},
                       schema=pa.schema([SCHEMA.field(n) for n in ("moves", "fen", "game")]))
        with pytest.raises(GameTableError, match=text):
            qd.positions(bad)


def test_out_of_bounds_offsets_and_wrong_types_are_refused():
    # pyarrow validates what it builds; hand-made buffers reach the native side unchecked.
    from quarn_data import _loader

    values = np.array([12 + 64 * 28], np.uint16)
    for offsets in ([0, 5], [1, 0], [-1, 0]):
        module_spec = (1, 0, (None, 0, np.array(offsets, np.int32), None, 0, values),
                *[None] * 8)
        with pytest.raises(ValueError, match="out of bounds"):
            _loader.plies(module_spec)
    short = (2, 0, (None, 0, np.array([0, 1], np.int32), None, 0, values), *[None] * 8)
    with pytest.raises(ValueError, match="offsets buffer is too short"):
        _loader.plies(short)
    bitmap = (1, 0, (np.zeros(0, np.uint8), 0, np.array([0, 1], np.int32), None, 0, values),
              *[None] * 8)
    with pytest.raises(ValueError, match="validity bitmap is too short"):
        _loader.plies(bitmap)
    good = (1, 0, (None, 0, np.array([0, 1], np.int32), None, 0, values), *[None] * 8)
    assert _loader.plies(good) == (1, 1)
    out = tuple([np.zeros((1, 12), np.uint64), *[None] * 15])
    _loader.decode(good, out, 0, False)
    with pytest.raises(ValueError, match="room for fewer than 2 rows"):
        _loader.decode(good, out, 1, False)
    with pytest.raises(ValueError, match="exactly one of packed and planes"):
        _loader.decode(good, tuple([None] * 16), 0, False)
    with pytest.raises(GameTableError, match="moves"):
        qd.positions(pa.table({"moves": pa.array([["e2e4"]])}))
    with pytest.raises(GameTableError, match="no moves column"):
        qd.positions(pa.table({"game": [1]}))
    with pytest.raises(TypeError, match="pyarrow Table"):
        qd.positions({"moves": [[1]]})


# --- PositionLoader ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def shards(tmp_path_factory, lichess, generated):
    """Three game-table files of several row groups each, and their positions."""
    folder = tmp_path_factory.mktemp("shards")
    tables = [game_table(lichess).slice(0, 70), game_table(lichess).slice(70),
              game_table(generated)]
    paths = [write(t, folder / f"part-{i}.parquet", row_group_size=16)
             for i, t in enumerate(tables)]
    rows = [qd.positions(t) for t in tables]
    for i, r in enumerate(rows):
        r["file"] = np.full(len(r["game"]), i)
    every = {k: np.concatenate([r[k] for r in rows]) for k in rows[0]}
    return paths, every


def keys(batch, file_of_game=None):
    """One hashable row per position: game, ply and the pieces."""
    return list(zip(batch["game"].tolist(), batch["ply"].tolist(),
                    map(bytes, batch["packed"])))


def epoch_rows(loader):
    batches = list(loader)
    return batches, [k for b in batches for k in keys(b)]


def test_each_position_once_per_epoch_in_an_order_fixed_by_seed_and_epoch(shards):
    paths, every = shards
    loader = qd.PositionLoader(paths, batch_size=100, window=500, seed=3)
    batches, first = epoch_rows(loader)
    assert Counter(first) == Counter(keys(every))
    assert all(len(b["game"]) == 100 for b in batches[:-1])
    assert list(batches[0]) == ["packed", *qd.loader.POSITION_COLUMNS]
    assert loader.epoch == 1
    _, second = epoch_rows(loader)
    assert second != first and Counter(second) == Counter(first)
    loader.set_epoch(0)
    assert epoch_rows(loader)[1] == first
    again = qd.PositionLoader(paths, batch_size=100, window=500, seed=3, threads=2)
    assert epoch_rows(again)[1] == first
    other = qd.PositionLoader(paths, batch_size=100, window=500, seed=4)
    assert epoch_rows(other)[1] != first
    # The window mixes games: a batch holds positions of many games.
    assert len(set(batches[0]["game"].tolist())) > 10


def test_unshuffled_loader_gives_table_order_and_rows_equal_positions(shards):
    paths, every = shards
    loader = qd.PositionLoader(paths, batch_size=64, shuffle=False, window=100)
    batches = list(loader)
    rows = {k: np.concatenate([b[k] for b in batches]) for k in batches[0]}
    assert_rows_equal({k: every[k] for k in rows}, rows)
    planes = list(qd.PositionLoader(paths, batch_size=64, shuffle=False, planes=True,
                                    columns=["game"], flip=True))
    assert set(planes[0]) == {"planes", "game"}
    flipped = qd.positions(game_table_from(paths), planes=True, flip=True)
    assert np.array_equal(np.concatenate([b["planes"] for b in planes]), flipped["planes"])


def game_table_from(paths):
    return pa.concat_tables([pq.read_table(p) for p in paths])


@pytest.mark.parametrize("world_size", [2, 3])
def test_ranks_and_workers_split_disjoint_and_complete(shards, world_size):
    paths, every = shards
    parts = []
    for rank in range(world_size):
        loader = qd.PositionLoader(paths, batch_size=50, window=300, rank=rank,
                                   world_size=world_size)
        parts.append(Counter(epoch_rows(loader)[1]))
    assert sum(parts, Counter()) == Counter(keys(every))
    loaders = [qd.PositionLoader(paths, rank=r, world_size=world_size, batch_size=50)
               for r in range(world_size)]
    games = [loader.games for loader in loaders]
    assert max(games) - min(games) <= 1
    assert [loader.positions() for loader in loaders] == [sum(p.values()) for p in parts]
    assert [loader.batch_count() for loader in loaders] == [
        -(-sum(p.values()) // 50) for p in parts]
    # A worker of a rank reads part rank * workers + worker of world_size * workers.
    assert [split_part(r, 2, w, 3) for r in range(2) for w in range(3)] == [
        (p, 6) for p in range(6)]


def test_drop_last_drops_only_the_short_last_batch(shards):
    paths, every = shards
    kept = list(qd.PositionLoader(paths, batch_size=128, window=400, drop_last=False))
    dropped = list(qd.PositionLoader(paths, batch_size=128, window=400, drop_last=True))
    total = len(every["game"])
    assert sum(len(b["game"]) for b in kept) == total
    assert [len(b["game"]) for b in dropped] == [128] * (total // 128)
    assert len(kept[-1]["game"]) == total % 128
    counts = [qd.PositionLoader(paths, batch_size=128, drop_last=d).batch_count()
              for d in (False, True)]
    assert counts == [len(kept), len(dropped)]


def test_a_bad_game_is_reported_and_skipped_or_raises_when_strict(tmp_path, shards):
    paths, every = shards
    table = pq.read_table(paths[2])
    moves = table.column("moves").to_pylist()
    moves[3] = moves[3][:5] + [0] + moves[3][6:]  # a1a1 at ply 5
    bad = write(table.set_column(table.schema.get_field_index("moves"), "moves",
                                 pa.array(moves, pa.list_(pa.uint16()))),
                tmp_path / "bad.parquet", row_group_size=16)
    loader = qd.PositionLoader([bad], batch_size=256, window=1000)
    with pytest.warns(BadGameWarning, match="bad.parquet, row group 0: game 3, ply 5"):
        rows = epoch_rows(loader)[1]
    assert [(e.row_group, e.row, e.game) for e in loader.errors] == [(0, 3, 3)]
    clean = qd.positions(pq.read_table(paths[2]))
    expected = [k for k in keys(clean) if k[0] != 3]
    assert Counter(rows) == Counter(expected)
    strict = qd.PositionLoader([bad], batch_size=256, strict=True)
    with pytest.raises(GameTableError, match="bad.parquet, row group 0: game 3, ply 5"):
        list(strict)


def test_bad_arguments_and_files_give_clear_errors(tmp_path, shards):
    paths, _ = shards
    with pytest.raises(ValueError, match="paths is empty"):
        qd.PositionLoader([])
    for name, value in [("batch_size", 0), ("window", 0), ("threads", 0)]:
        with pytest.raises(ValueError, match=f"{name} must be at least 1"):
            qd.PositionLoader(paths, **{name: value})
    with pytest.raises(ValueError, match="rank must be below world_size"):
        qd.PositionLoader(paths, rank=2, world_size=2)
    with pytest.raises(TypeError, match="batch_size must be an int"):
        qd.PositionLoader(paths, batch_size=1.5)
    with pytest.raises(ValueError, match="unknown columns"):
        qd.PositionLoader(paths, columns=["pieces"])
    with pytest.raises(TypeError, match="paths"):
        qd.PositionLoader(3)
    truncated = tmp_path / "truncated.parquet"
    truncated.write_bytes(Path(paths[0]).read_bytes()[:-100])
    with pytest.raises(GameTableError, match="truncated.parquet"):
        qd.PositionLoader([truncated])
    other = tmp_path / "other.parquet"
    pq.write_table(pa.table({"moves": [[1]]}).replace_schema_metadata(
        {b"quarn_data.game_table.version": b"99"}), other)
    with pytest.raises(GameTableError, match="version '99'"):
        qd.PositionLoader([other])
    with pytest.raises(GameTableError, match="missing.parquet"):
        qd.PositionLoader([tmp_path / "missing.parquet"])
    # A page damaged inside a row group: the error names the file and the row group.
    damaged = tmp_path / "damaged.parquet"
    data = bytearray(Path(paths[0]).read_bytes())
    meta = pq.ParquetFile(paths[0]).metadata
    column = meta.row_group(1).column(0)
    start = column.data_page_offset
    data[start + 20:start + 60] = b"\xff" * 40
    damaged.write_bytes(bytes(data))
    loader = qd.PositionLoader([damaged], shuffle=False)
    with pytest.raises(GameTableError, match=r"damaged.parquet, row group 1"):
        list(loader)


def test_a_directory_stands_for_its_files_and_an_abandoned_iterator_stops(shards):
    paths, every = shards
    folder = Path(paths[0]).parent
    before = threading.active_count()
    loader = qd.PositionLoader(folder, batch_size=10, window=50)
    iterator = iter(loader)
    first = next(iterator)
    assert len(first["game"]) == 10
    del iterator
    gc.collect()
    deadline = time.monotonic() + 10
    while threading.active_count() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert threading.active_count() == before
    assert sum(len(b["game"]) for b in loader) == len(every["game"])


# --- GameLoader --------------------------------------------------------------------------------


def test_game_loader_pads_tokens_and_covers_every_game_once(shards):
    paths, _ = shards
    tables = game_table_from(paths)
    stored = {(g, tuple(m)) for g, m in zip(tables.column("game").to_pylist(),
                                             tables.column("moves").to_pylist())}
    seen = []
    for rank in range(2):
        loader = qd.GameLoader(paths, batch_size=32, max_plies=100, rank=rank, world_size=2,
                               window=64, pad=0)
        for batch in loader:
            assert batch["tokens"].dtype == np.uint16 and batch["tokens"].shape[1] == 100
            for row in range(len(batch["lengths"])):
                n = batch["lengths"][row]
                assert n == min(batch["plies"][row], 100)
                assert not batch["tokens"][row, n:].any()
                seen.append((int(batch["game"][row]), tuple(batch["tokens"][row, :n].tolist()),
                             int(batch["plies"][row])))
    assert len(seen) == tables.num_rows
    for game, tokens, plies in seen:
        assert any(g == game and m[:len(tokens)] == tokens and len(m) == plies
                   for g, m in stored)
    first = next(iter(qd.GameLoader(paths, batch_size=8, seed=1)))
    assert set(first) == {"tokens", "lengths", "plies", "result", "white_elo", "black_elo",
                          "game", "standard_start"}
    assert first["result"].dtype == np.int8 and first["white_elo"].dtype == np.int16


# --- imports ---------------------------------------------------------------------------------


def test_importing_quarn_data_imports_neither_torch_nor_pyarrow():
    code = ("import sys, quarn_data; "
            "print('torch' in sys.modules, 'pyarrow' in sys.modules)")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out == ["False", "False"]


def test_warnings_are_not_errors_for_clean_files(shards):
    paths, _ = shards
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        list(qd.PositionLoader(paths, batch_size=4096))
