"""PGN reading against python-chess's chess.pgn.read_game, training arrays against python-chess
boards, sources (compressed, truncated, file objects), strict reading and threads."""

import bz2
import gzip
import io
import random
import threading
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pytest

import quarn_data
from quarn_data import GameError, PgnError, PgnSourceError, pgn_to_arrays, read_games

DATA = Path(__file__).resolve().parents[1] / "data"
SAMPLES = ["classics.pgn", "random_games.pgn", "hostile.pgn"]


def reference_games(text):
    """python-chess's reading of every game of a text."""
    handle = io.StringIO(text)
    games = []
    while (game := chess.pgn.read_game(handle)) is not None:
        games.append(game)
    return games


def random_pgn(count, seed):
    """Random legal games written by python-chess, a few with check marks, NAGs, comments and a
    variation."""
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        board = chess.Board()
        game = chess.pgn.Game()
        game.headers["WhiteElo"] = str(rng.randint(1000, 2800))
        node = game
        for _ in range(rng.randint(0, 250)):
            moves = list(board.legal_moves)
            if not moves:
                break
            move = rng.choice(moves)
            if rng.random() < 0.02 and node is not game:
                node.parent.add_variation(rng.choice(list(node.parent.board().legal_moves)))
            node = node.add_main_variation(move)
            if rng.random() < 0.05:
                node.comment = "a {comment} ( with ) [%eval 0.3]".replace("{", "").replace("}", "")
            board.push(move)
        outcome = board.outcome(claim_draw=True)
        game.headers["Result"] = outcome.result() if outcome else "*"
        games.append(str(game))
    return "\n\n".join(games) + "\n"


ROSTER_DEFAULTS = {"Event": "?", "Site": "?", "Date": "????.??.??", "Round": "?", "White": "?",
                   "Black": "?", "Result": "*"}


def same_headers(mine, theirs):
    """python-chess fills the seven-tag roster with defaults; we report only what the file says."""
    filled = dict(ROSTER_DEFAULTS)
    filled.update(mine)
    return filled == dict(theirs)


def assert_same_as_python_chess(text, ours):
    reference = reference_games(text)
    assert len(ours) == len(reference)
    for mine, theirs in zip(ours, reference):
        where = f"game {mine.index}: {mine.headers}"
        assert same_headers(mine.headers, theirs.headers), where
        assert mine.result == theirs.headers.get("Result", "*"), where
        board = theirs.board()
        expected = []
        for move in theirs.mainline_moves():
            expected.append(move.uci())
            board.push(move)
        assert mine.moves == expected, where
        # Both readers refuse the same games (python-chess's illegal, ambiguous and invalid SAN).
        assert (mine.error is not None) == bool(theirs.errors), (where, mine.error, theirs.errors)
        if not theirs.errors:
            final = chess.Board(mine.fen) if mine.fen else chess.Board()
            for uci in mine.moves:
                final.push_uci(uci)
            assert final.fen() == board.fen(), where


@pytest.mark.parametrize("name", SAMPLES)
def test_committed_files_read_as_python_chess_reads_them(name):
    text = (DATA / name).read_text(encoding="utf-8")
    games = list(read_games(DATA / name))
    if name == "hostile.pgn":
        # Two refusals python-chess does not make: a FEN with no kings (it reads the game with an
        # error but keeps the header) and an unterminated variation (it ends the game silently);
        # and the Atomic game, which it plays under Atomic rules and we skip.
        compared = [g for g in games if g.headers.get("Event") not in
                    ("bad FEN", "unterminated variation", "other variant")]
        reference = [g for g in reference_games(text) if g.headers.get("Event") not in
                     ("bad FEN", "unterminated variation", "other variant")]
        assert len(compared) == len(reference)
        assert all(same_headers(a.headers, b.headers) for a, b in zip(compared, reference))
        for mine, theirs in zip(compared, reference):
            assert mine.moves == [m.uci() for m in theirs.mainline_moves()]
            assert (mine.error is not None) == bool(theirs.errors), mine
        kinds = {g.headers["Event"]: g.error.kind if g.error else None for g in games}
        assert kinds == {
            "good before": None, "illegal move": "illegal_move", "ambiguous move": "ambiguous_move",
            "invalid SAN": "invalid_san", "castling without right": "illegal_move",
            "bad FEN": "bad_fen", "from a position": None,
            "unterminated variation": "unterminated_variation", "good after": None,
            "other variant": None, "last, good": None,
        }
        return
    assert_same_as_python_chess(text, games)
    assert all(g.error is None for g in games)


def test_random_games_and_every_chunking_read_alike():
    text = random_pgn(150, seed=7)
    data = text.encode()
    games = list(read_games(io.BytesIO(data)))
    assert_same_as_python_chess(text, games)
    for chunk_size in (1, 13, 4096):
        again = list(read_games(io.BytesIO(data), chunk_size=chunk_size))
        assert [(g.offset, g.moves, g.headers) for g in again] == [
            (g.offset, g.moves, g.headers) for g in games]


def test_header_strings_shared_between_games_keep_each_games_values():
    """Tag names and values that repeat from game to game come out as shared strings, and the
    dicts of games with the same names are copies: every game must still hold its own values in
    its own order, whatever the order of its tags, their number (more names than are kept), the
    length of the values and bytes that are no UTF-8."""
    rng = random.Random(5)
    names = ["Event", "Site", "Result", "WhiteElo"] + [f"Extra{i}" for i in range(80)]
    # (bytes in the file, the str read from them)
    values = [(b"?", "?"), (b"1-0", "1-0"), (b"Casual game", "Casual game"),
              (b"x" * 64, "x" * 64), (b"x" * 65, "x" * 65), (b"caf\xe9", "caf\ufffd"), (b"", ""),
              (b'Caf\xc3\xa9 \\\\ \\"q\\"', 'Caf\u00e9 \\ "q"')]
    data, expected = b"", []
    for _ in range(300):
        pool = names[:6] if rng.random() < 0.7 else names
        if not expected or rng.random() < 0.5:
            chosen = rng.sample(pool, rng.randint(0, min(12, len(pool))))
        picked = {name: rng.choice(values) for name in chosen}
        data += b"".join(b"[%s \"%s\"]\n" % (name.encode(), raw) for name, (raw, _) in
                         picked.items()) + b"\n1. e4 *\n\n"
        expected.append({name: text for name, (_, text) in picked.items()})
    games = list(read_games(io.BytesIO(data)))
    # In the file's order too: a game with the names of the last one starts from a copy.
    assert [list(game.headers.items()) for game in games] == [list(h.items()) for h in expected]
    assert all(game.moves == ["e2e4"] and game.error is None for game in games)
    # A caller that changes the dicts it gets changes nothing in the games after them.
    seen = []
    for game in read_games(io.BytesIO(data), chunk_size=97):
        seen.append(list(game.headers.items()))
        game.headers["Mutated"] = "yes"
        game.headers.pop(next(iter(game.headers)))
    assert seen == [list(h.items()) for h in expected]
    # python-chess keeps escapes as written; the rest it reads as we do.
    reference = reference_games(data.decode("utf-8", "replace"))
    assert len(reference) == len(games)
    assert all(same_headers(game.headers, theirs.headers)
               for game, theirs in zip(games, reference)
               if not any('"' in value for value in game.headers.values()))


def test_errors_name_game_and_offset_and_spare_the_neighbours():
    text = (b'[Event "a"]\n\n1. e4 e5 1-0\n\n[Event "b"]\n\n1. e4 e5 2. Ke3 1-0\n\n'
            b'[Event "c"]\n\n1. d4 *\n')
    games = list(read_games(io.BytesIO(text)))
    assert [g.error for g in games[::2]] == [None, None]
    error = games[1].error
    assert isinstance(error, GameError)
    assert (error.kind, error.game, error.offset) == ("illegal_move", 1, text.index(b"Ke3"))
    assert "'Ke3'" in error.message
    assert games[1].moves == ["e2e4", "e7e5"]

    with pytest.raises(PgnError) as raised:
        list(read_games(io.BytesIO(text), strict=True))
    assert raised.value.error == error
    with pytest.raises(PgnError):
        pgn_to_arrays(io.BytesIO(text), strict=True)

    arrays = pgn_to_arrays(io.BytesIO(text), finished_only=False)
    assert arrays.counts == {"games": 3, "good": 2, "bad": 1, "filtered": 0, "variant": 0,
                             "unfinished": 0, "positions": 3}
    assert arrays.errors == [error]
    assert list(arrays["game"]) == [0, 0, 2]


@pytest.mark.parametrize("planes", [False, True])
def test_rows_match_python_chess_positions(planes):
    path = DATA / "random_games.pgn"
    arrays = pgn_to_arrays(path, planes=planes)
    games = reference_games(path.read_text(encoding="utf-8"))
    rows = 0
    for index, game in enumerate(games):
        board = game.board()
        result = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}[game.headers["Result"]]
        for ply, node in enumerate(game.mainline()):
            move = node.move
            r = rows
            assert arrays["game"][r] == index and arrays["ply"][r] == ply
            masks = [board.pieces_mask(p, c) for c in (chess.WHITE, chess.BLACK)
                     for p in chess.PIECE_TYPES]
            if planes:
                expected = np.array([[(m >> s) & 1 for s in range(64)] for m in masks], bool)
                assert np.array_equal(arrays["planes"][r], expected)
            else:
                assert list(arrays["packed"][r]) == masks
            assert arrays["turn"][r] == board.turn
            rights = board.castling_rights
            assert arrays["castling"][r] == (bool(rights & chess.BB_H1)
                                             | bool(rights & chess.BB_A1) << 1
                                             | bool(rights & chess.BB_H8) << 2
                                             | bool(rights & chess.BB_A8) << 3)
            ep = board.ep_square
            assert arrays["ep_file"][r] == (-1 if ep is None else chess.square_file(ep))
            assert arrays["halfmove"][r] == board.halfmove_clock
            assert arrays["move"][r] == move.from_square * 64 + move.to_square
            assert arrays["promotion"][r] == (move.promotion or 0)
            assert arrays["result"][r] == result
            assert arrays["white_elo"][r] == int(game.headers["WhiteElo"])
            evaluation = node.eval()
            if evaluation is None:
                assert np.isnan(arrays["eval"][r]) and arrays["mate"][r] == 0
            elif evaluation.is_mate():
                assert arrays["mate"][r] == evaluation.white().mate()
            else:
                assert arrays["eval"][r] == pytest.approx(evaluation.white().score(), abs=0.5)
            clock = node.clock()
            assert (np.isnan(arrays["clock"][r]) if clock is None
                    else arrays["clock"][r] == pytest.approx(clock))
            board.push(move)
            rows += 1
    assert rows == len(arrays["move"]) == arrays.counts["positions"]


def test_filters_run_on_tags():
    path = DATA / "random_games.pgn"
    games = reference_games(path.read_text(encoding="utf-8"))
    everything = pgn_to_arrays(path)

    def kept(arrays):
        return sorted(set(arrays["game"].tolist()))

    strong = pgn_to_arrays(path, min_elo=2000)
    # Games without moves give no rows.
    assert kept(strong) == [
        i for i, g in enumerate(games)
        if min(int(g.headers["WhiteElo"]), int(g.headers["BlackElo"])) >= 2000
        and g.next() is not None]
    blitz = pgn_to_arrays(path, time_control=(120, 400))
    for i in kept(blitz):
        base, _, increment = games[i].headers["TimeControl"].partition("+")
        assert 120 <= int(base) + 40 * int(increment) <= 400
    rated = pgn_to_arrays(path, events=["Rated Blitz game"], terminations=["Normal"])
    assert all(games[i].headers["Event"] == "Rated Blitz game"
               and games[i].headers["Termination"] == "Normal" for i in kept(rated))
    for arrays in (strong, blitz, rated):
        counts = arrays.counts
        assert counts["games"] == len(games)
        assert counts["good"] + counts["filtered"] == everything.counts["good"]
    assert pgn_to_arrays(path, events=[]).counts["good"] == 0


def compressed_copies(tmp_path, data):
    plain = tmp_path / "g.pgn"
    plain.write_bytes(data)
    gz = tmp_path / "g.pgn.gz"
    gz.write_bytes(gzip.compress(data))
    bz = tmp_path / "g.pgn.bz2"
    bz.write_bytes(bz2.compress(data))
    zst = tmp_path / "g.pgn.zst"
    import zstandard

    zst.write_bytes(zstandard.ZstdCompressor().compress(data))
    return plain, gz, bz, zst


def test_sources_compressed_truncated_and_file_objects(tmp_path):
    data = (DATA / "classics.pgn").read_bytes()
    expected = [g.moves for g in read_games(io.BytesIO(data))]
    for path in compressed_copies(tmp_path, data):
        assert [g.moves for g in read_games(path)] == expected, path
        assert [g.moves for g in read_games(str(path))] == expected, path
        assert pgn_to_arrays(path).counts["good"] == 3
        # Cut in the middle of the third game.
        cut = tmp_path / ("cut" + "".join(path.suffixes))
        raw = path.read_bytes()
        cut.write_bytes(raw[: len(raw) * 9 // 10] if path.suffix != ".pgn" else raw[:-40])
        games = []
        if path.suffix == ".pgn":
            games = list(read_games(cut))
        else:
            with pytest.raises(PgnSourceError):
                for game in read_games(cut):
                    games.append(game)
            arrays = pgn_to_arrays(cut)
            assert arrays.errors and arrays.errors[-1].kind == "truncated"
            assert arrays.counts["bad"] >= 1
        # Whatever was decoded: the complete games come intact, the last one is reported.
        assert all(g.moves == expected[g.index] for g in games if g.error is None)
        assert not games or games[-1].error is not None or len(games) < 3

    with open(tmp_path / "g.pgn", "rb") as file:
        assert [g.moves for g in read_games(file)] == expected

    # File objects with read() only, or whose readinto() is not implemented, in small chunks.
    class ReadOnly:
        def __init__(self, data):
            self.data = data

        def read(self, size=-1):
            chunk, self.data = self.data[:size], self.data[size:]
            return chunk

    class RawReadOnly(ReadOnly, io.RawIOBase):
        def readable(self):
            return True

    for kind in (ReadOnly, RawReadOnly):
        assert [g.moves for g in read_games(kind(data), chunk_size=97)] == expected, kind
        assert pgn_to_arrays(kind(data), chunk_size=97).counts["good"] == 3, kind
    with open(tmp_path / "g.pgn", encoding="utf-8") as text_file:
        with pytest.raises(TypeError, match="binary"):
            list(read_games(text_file))
    with pytest.raises(TypeError):
        list(read_games(42))
    with pytest.raises(FileNotFoundError):
        list(read_games(tmp_path / "missing.pgn"))


def test_missing_zstandard_says_how_to_install(tmp_path, monkeypatch):
    path = tmp_path / "g.pgn.zst"
    path.write_bytes(b"")
    monkeypatch.setitem(__import__("sys").modules, "zstandard", None)
    with pytest.raises(ImportError, match=r"quarn-chess\[data\]"):
        list(read_games(path))


def test_hostile_bytes_never_crash():
    rng = random.Random(3)
    base = (DATA / "hostile.pgn").read_bytes() + (DATA / "classics.pgn").read_bytes()
    for _ in range(300):
        data = bytearray(base)
        for _ in range(rng.randint(1, 20)):
            at = rng.randrange(len(data))
            choice = rng.random()
            if choice < 0.4:
                data[at] = rng.randrange(256)
            elif choice < 0.7:
                del data[at: at + rng.randint(1, 30)]
            else:
                data[at:at] = rng.choice([b"{", b"(", b")", b"[", b'"', b"\n\n", b"\x00", b"\\"])
        games = list(read_games(io.BytesIO(bytes(data)), chunk_size=rng.randint(1, 64)))
        # Unfinished games are replayed too, so both readers meet the same errors.
        arrays = pgn_to_arrays(io.BytesIO(bytes(data)), finished_only=False)
        counts = arrays.counts
        assert counts["games"] == len(games)
        assert counts["bad"] == sum(1 for g in games if g.error is not None)
        for game in games:
            if game.error is not None:
                assert game.error.game == game.index
                assert 0 <= game.error.offset <= len(data)


def test_threads_read_in_parallel_with_identical_results():
    data = (DATA / "random_games.pgn").read_bytes()
    expected = pgn_to_arrays(io.BytesIO(data))
    results = [None] * 4

    def work(slot):
        results[slot] = pgn_to_arrays(io.BytesIO(data), chunk_size=1 << 14)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert result.counts == expected.counts
        for name, column in expected.items():
            assert np.array_equal(result[name], column, equal_nan=column.dtype.kind == "f")


def test_reader_objects_refuse_misuse():
    reader = quarn_data._pgn.ArrayReader()
    with pytest.raises(TypeError):
        reader.feed("text, not bytes")
    reader.feed(b"1. e4 e5 1-0\n")
    columns, counts, errors = reader.finish()
    assert counts["positions"] == 2 and errors == []
    with pytest.raises(ValueError, match="finished"):
        reader.feed(b"1. d4 *")
    with pytest.raises(ValueError, match="min_elo"):
        quarn_data._pgn.ArrayReader(min_elo=-5)
    with pytest.raises(TypeError):
        quarn_data._pgn.ArrayReader(events=[1, 2])
    with pytest.raises(TypeError):
        quarn_data._pgn.ArrayReader(bogus=1)
    # The columns outlive the reader that built them.
    del reader
    assert np.frombuffer(columns["move"], np.uint16).tolist() == [12 * 64 + 28, 52 * 64 + 36]


def test_game_reader_hands_out_games_when_taken_and_in_order():
    reader = quarn_data._pgn.GameReader()
    batch = reader.feed(b"1. e4 e5 1-0\n\n1. d4 d5 0-1\n\n1. c4 c5 *\n\n1. Nf3")
    first = next(batch)
    assert first[0] == 0 and first[3] == ["e2e4", "e7e5"]
    # Games not taken before the next chunk come first, then the new ones, none twice.
    rest = [game[3] for game in reader.feed(b" Nf6 1-0\n\n1. g3")]
    assert rest == [["d2d4", "d7d5"], ["c2c4", "c7c5"], ["g1f3", "g8f6"]]
    last = list(reader.finish())
    assert [(game[0], game[3], game[6][0]) for game in last] == [(4, ["g2g3"], "truncated")]
    assert list(reader) == [] and list(reader.finish()) == []
