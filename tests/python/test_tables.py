"""Game tables: the same games, moves, headers and annotations as the PGN they come from (against
read_games, pgn_to_arrays and python-chess), Parquet round trips, and bad tables."""

import io
import json
import random
import subprocess
import sys
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarn_data
from quarn_data import (
    GameTableError,
    PgnError,
    pgn_to_arrays,
    pgn_to_table,
    read_games,
    read_table,
    table_report,
    write_table,
)
from quarn_data.tables import REPORT_KEY, VERSION_KEY, game_table_schema

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"


@pytest.fixture(scope="module")
def lichess_like(tmp_path_factory):
    """Lichess-shaped PGN (seventeen tags, eval and clock on every move) from bench/."""
    path = tmp_path_factory.mktemp("lichess") / "lichess.pgn"
    subprocess.run([sys.executable, str(ROOT / "bench" / "lichess_like.py"), str(path),
                    "--games", "60", "--seed", "7"], check=True)
    return path


EDGE_CASES = (
    # Duplicate tags (the later wins), Elo texts the Elo columns cannot hold, an empty FEN tag,
    # tags of our own, quotes inside values, a Result tag that disagrees with the marker.
    '[Event "one"]\n[Event "two"]\n[WhiteElo "?"]\n[BlackElo "01500"]\n[FEN ""]\n'
    '[MyTag "x"]\n[White ""Deep Thought""]\n[Black "a \\"b\\" c"]\n[Result "1-0"]\n\n'
    "1. e4 e5 0-1\n\n"
    '[FEN "4k3/P7/8/8/8/8/8/4K3 w - - 0 1"]\n[SetUp "1"]\n[WhiteElo "2800"]\n'
    '[TimeControl "-"]\n\n1. a8=Q+ Kd7 1/2-1/2\n\n'
    '[Variant "Atomic"]\n\n1. e4 *\n\n'
    '[Result "*"]\n\n1. d4 *\n\n'
    "1. e4 {no tags at all} e5 { [%eval #4] [%clk 0:00:01.25] } 1-0\n"
)


def sources(lichess_like):
    return [DATA / "classics.pgn", DATA / "random_games.pgn", DATA / "hostile.pgn", lichess_like,
            io.BytesIO(EDGE_CASES.encode())]


def as_bytes(source):
    return source.getvalue() if isinstance(source, io.BytesIO) else Path(source).read_bytes()


@pytest.mark.parametrize("finished_only", [True, False])
def test_tables_give_back_the_games_of_the_pgn(lichess_like, tmp_path, finished_only):
    """read_games over a table (in memory and written to Parquet) yields the games read_games
    yields over the PGN, for every game the table keeps: moves, headers, result, fen, index and
    offset; the counts are pgn_to_arrays'."""
    for source in sources(lichess_like):
        data = as_bytes(source)
        table = pgn_to_table(io.BytesIO(data), finished_only=finished_only)
        table.validate(full=True)
        arrays = pgn_to_arrays(io.BytesIO(data), finished_only=finished_only)
        assert table_report(table).counts == arrays.counts
        assert table_report(table).errors == arrays.errors
        assert table.num_rows == arrays.counts["good"]
        kept = set(table["game"].to_pylist())
        expected = [g for g in read_games(io.BytesIO(data)) if g.index in kept]
        assert all(g.error is None for g in expected)
        write_table(table, tmp_path / "t.parquet")
        for back in (list(read_games(table)), list(read_games(tmp_path / "t.parquet"))):
            assert len(back) == len(expected)
            for mine, theirs in zip(back, expected):
                assert (mine.index, mine.offset, mine.moves, mine.result, mine.fen) == (
                    theirs.index, theirs.offset, theirs.moves, theirs.result, theirs.fen)
                assert mine.headers == theirs.headers, theirs.index
                assert mine.error is None


def test_tokens_and_annotations_match_the_training_arrays(lichess_like):
    """Row by row, the tokens are pgn_to_arrays' moves and promotions and the annotations its
    eval (rounded centipawns), mate and clock (milliseconds)."""
    for source in sources(lichess_like):
        data = as_bytes(source)
        table = pgn_to_table(io.BytesIO(data))
        arrays = pgn_to_arrays(io.BytesIO(data))
        tokens = table["moves"].combine_chunks().values.to_numpy()
        # pgn_to_arrays' move is from * 64 + to; a token is from + 64 * to.
        move = arrays["move"].astype(np.int64)
        expected = move // 64 + 64 * (move % 64) + 4096 * arrays["promotion"].astype(np.int64)
        assert np.array_equal(tokens, expected)
        lengths = [len(m) for m in table["moves"].to_pylist()]
        assert np.array_equal(np.repeat(table["game"].to_numpy(), lengths), arrays["game"])
        evals, mates, clocks = [], [], []
        for n, e, m, c in zip(lengths, table["eval"].to_pylist(), table["mate"].to_pylist(),
                              table["clock"].to_pylist()):
            assert e is None or len(e) == n
            assert (e is None) == (m is None)
            evals += e or [None] * n
            mates += m or [None] * n
            clocks += c or [None] * n
        expected_eval = [None if np.isnan(v) else int(np.round(v)) for v in arrays["eval"]]
        assert evals == expected_eval
        assert [m or 0 for m in mates] == arrays["mate"].tolist()
        expected_clock = [None if np.isnan(v) else int(round(float(v) * 1000))
                          for v in arrays["clock"]]
        assert clocks == expected_clock
        results = table["result"].to_numpy(zero_copy_only=False)
        assert np.array_equal(np.repeat(results, lengths), arrays["result"])
        white = table["white_elo"].fill_null(-1).to_numpy()
        assert np.array_equal(np.repeat(white, lengths), arrays["white_elo"])


def test_tokens_replay_as_python_chess_plays_the_games():
    """A sample of random games: the tokens decode to the moves python-chess reads."""
    text = (DATA / "random_games.pgn").read_text()
    table = pgn_to_table(io.BytesIO(text.encode()))
    handle = io.StringIO(text)
    reference = []
    while (game := chess.pgn.read_game(handle)) is not None:
        reference.append(game)
    rows = random.Random(3).sample(range(table.num_rows), 40)
    for row in rows:
        game = reference[table["game"][row].as_py()]
        moves = [chess.Move(t % 64, t // 64 % 64, t // 4096 or None)
                 for t in table["moves"][row].as_py()]
        assert moves == list(game.mainline_moves())


def test_edge_case_headers_and_columns():
    table = pgn_to_table(io.BytesIO(EDGE_CASES.encode()), finished_only=False)
    rows = table.to_pylist()
    assert [r["game"] for r in rows] == [0, 1, 3, 4]
    first = rows[0]
    assert first["event"] == "two" and first["white"] == '"Deep Thought"'
    assert first["black"] == 'a "b" c' and first["result_tag"] == "1-0" and first["result"] == 1
    assert first["white_elo"] is None and first["black_elo"] == 1500 and first["fen"] is None
    assert dict(first["headers"]) == {"MyTag": "x", "WhiteElo": "?", "BlackElo": "01500",
                                      "FEN": ""}
    second = rows[1]
    assert second["fen"] == "4k3/P7/8/8/8/8/8/4K3 w - - 0 1" and second["result"] == 0
    assert second["moves"][0] == 48 + 64 * 56 + 4096 * 5
    assert second["time_control"] == "-" and second["time_base"] is None
    assert dict(second["headers"]) == {"SetUp": "1"}
    assert rows[2]["result"] is None and rows[2]["result_tag"] == "*"
    last = rows[3]
    assert last["eval"] == [None, None] and last["mate"] == [None, 4]
    assert last["clock"] == [None, 1250] and last["source"] == ""
    assert pgn_to_table(DATA / "classics.pgn")["source"][0].as_py() == "classics.pgn"
    assert pgn_to_table(DATA / "classics.pgn", name="x", offset=100)["offset"][0].as_py() == 100


def test_quoted_tag_values_read_as_python_chess_reads_them():
    """Tag lines with unescaped quotes, against python-chess: the value between the first and
    the last quote; lines python-chess drops stay refused here. (Values with only escaped quotes
    have their escapes resolved here, where python-chess keeps the backslashes.)"""
    lines = ['[White ""Deep Thought""]', '[White "a" b"]', '[White "a\\"b"c"]',
             '[White "a" "b"]', '[White """]']
    for line in lines:
        text = f'{line}\n[Black "b"]\n\n1. e4 e5 *\n'
        theirs = chess.pgn.read_game(io.StringIO(text))
        (mine,) = read_games(io.BytesIO(text.encode()))
        assert mine.error is None and mine.headers["White"] == theirs.headers["White"], line
        assert mine.moves == ["e2e4", "e7e5"]
    for line in ['[White "abc]', "[White abc]", '[White "a"b" ]']:
        (mine,) = read_games(io.BytesIO(f"{line}\n\n1. e4 *\n".encode()))
        assert mine.error is not None and mine.error.kind == "broken_tag", line


def test_filters_strict_and_failing_sources(tmp_path):
    path = DATA / "random_games.pgn"
    for options in ({"min_elo": 1800}, {"time_control": (0, 400)}, {"events": ["none"]}):
        table = pgn_to_table(path, **options)
        arrays = pgn_to_arrays(path, **options)
        assert table_report(table).counts == arrays.counts
        with_moves = [g for g, m in zip(table["game"].to_pylist(), table["moves"].to_pylist())
                      if m]
        assert with_moves == sorted(set(arrays["game"].tolist()))
    with pytest.raises(PgnError) as failure:
        pgn_to_table(DATA / "hostile.pgn", strict=True)
    assert failure.value.error == pgn_to_arrays(DATA / "hostile.pgn").errors[0]
    import zstandard

    raw = zstandard.ZstdCompressor().compress(path.read_bytes())
    (tmp_path / "cut.pgn.zst").write_bytes(raw[: len(raw) // 2])
    table = pgn_to_table(tmp_path / "cut.pgn.zst")
    report = table_report(table)
    assert report.errors[-1].kind == "truncated" and table.num_rows > 0
    assert report.counts == pgn_to_arrays(tmp_path / "cut.pgn.zst").counts


def test_parquet_round_trip_keeps_table_version_and_report(tmp_path):
    table = pgn_to_table(DATA / "hostile.pgn")
    write_table(table, tmp_path / "a.parquet")
    back = read_table(tmp_path / "a.parquet")
    assert back.equals(table)
    assert back.schema.metadata[VERSION_KEY] == b"1"
    assert table_report(back).errors == table_report(table).errors
    assert read_table([tmp_path / "a.parquet"] * 2).num_rows == 2 * table.num_rows
    assert read_table(tmp_path / "a.parquet", columns=["moves"]).column_names == ["moves"]
    # Other tools read the file with its types.
    plain = pq.read_table(tmp_path / "a.parquet")
    assert plain.schema.field("moves").type == pa.list_(pa.field("element", pa.uint16()))
    assert plain.schema.field("headers").type == pa.map_(pa.string(), pa.string())


def test_bad_tables_give_errors_naming_the_file(tmp_path):
    table = pgn_to_table(DATA / "random_games.pgn")
    good = tmp_path / "good.parquet"
    write_table(table, good)
    raw = good.read_bytes()
    cases = {
        "truncated.parquet": raw[: len(raw) // 2],
        "corrupt.parquet": raw[:4] + bytes(200) + raw[204:],
        "empty.parquet": b"",
        "text.parquet": b"not parquet at all",
    }
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
    pq.write_table(pa.table({"a": [1, 2]}), tmp_path / "other.parquet")
    pq.write_table(pa.table({"moves": [1]}).replace_schema_metadata({VERSION_KEY: b"1"}),
                   tmp_path / "wrong_type.parquet")
    pq.write_table(table.replace_schema_metadata({VERSION_KEY: b"99"}), tmp_path / "v99.parquet")
    pq.write_table(table.drop_columns(["clock"]).replace_schema_metadata({VERSION_KEY: b"1"}),
                   tmp_path / "no_clock.parquet")
    expected = {"truncated.parquet": "cannot be read", "corrupt.parquet": "cannot be read",
                "empty.parquet": "cannot be read", "text.parquet": "cannot be read",
                "other.parquet": "not a game table", "wrong_type.parquet": "column 'moves'",
                "v99.parquet": "'99' is not known", "no_clock.parquet": "no column 'clock'",
                "missing.parquet": "cannot be read"}
    for name, text in expected.items():
        path = tmp_path / name
        for call in (lambda: read_table(path), lambda: list(read_games(path)),
                     lambda: read_table([good, path])):
            with pytest.raises(GameTableError) as failure:
                call()
            assert name in str(failure.value) and text in str(failure.value), failure.value
    with pytest.raises(GameTableError, match="no game table paths"):
        read_table([])
    with pytest.raises(GameTableError, match="not a game table"):
        list(read_games(pa.table({"a": [1]})))
    with pytest.raises(GameTableError):
        write_table(pa.table({"a": [1]}), tmp_path / "x.parquet")
    with pytest.raises(GameTableError, match="no report"):
        table_report(pa.table({"a": [1]}))
    # Tokens no game can hold: an unknown promotion code, a value past every token.
    for token in (4096 * 1 + 5, 4096 * 7):
        edited = table.set_column(0, "moves", pa.array(
            [[token]] * table.num_rows, type=game_table_schema().field("moves").type))
        with pytest.raises(GameTableError, match="token"):
            list(read_games(edited))


def test_schema_documented_in_the_module_docstring():
    doc = quarn_data.tables.__doc__
    for field in game_table_schema():
        assert field.name in doc, field.name
    for tag in quarn_data.tables.TAG_COLUMNS:
        assert tag in doc, tag
    assert json.loads(pgn_to_table(DATA / "classics.pgn").schema.metadata[REPORT_KEY])


def test_tag_bytes_that_are_not_utf8_read_as_read_games_decodes_them():
    """Tag values of arbitrary bytes: the table holds what read_games gives over the PGN (bytes
    that are not UTF-8 replaced as Python's "replace" decoding does)."""
    rng = random.Random(5)
    pieces = [bytes([b]) for b in range(0x20, 0x100) if b not in b'"\\']
    pieces += [c.encode() for c in "é€😀ß"] + [c.encode()[:-1] for c in "é€😀"]
    pieces += [b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xe0\x80"]
    text = b""
    for _ in range(300):
        value = b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 10)))
        text += b'[White "' + value + b'"]\n[Custom "' + value + b'"]\n\n1. e4 *\n\n'
    table = pgn_to_table(io.BytesIO(text), finished_only=False)
    table.validate(full=True)
    expected = list(read_games(io.BytesIO(text)))
    assert [g.headers for g in read_games(table)] == [g.headers for g in expected]


def test_sliced_and_concatenated_tables_give_their_own_games():
    table = pgn_to_table(DATA / "random_games.pgn")
    games = list(read_games(table))
    joined = pa.concat_tables([table.slice(0, 150), table.slice(150)])
    assert [g.moves for g in read_games(joined)] == [g.moves for g in games]
    part = list(read_games(table.slice(200, 5)))
    assert [(g.index, g.moves, g.headers) for g in part] == [
        (g.index, g.moves, g.headers) for g in games[200:205]]
