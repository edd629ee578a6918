"""The long PGN run: random games written as PGN, read back by quarn_data and by python-chess.

    python tools/soak_pgn.py [--games N] [--seed S] [--workers W]

Games of random legal moves are played with quarn_chess and written with quarn_data.san, with
the decorations of real files mixed in (comments with [%eval]/[%clk], NAGs, glyphs, check marks,
variations, "0-0", missing "=", CRLF line ends). quarn_data.read_games must give back exactly the
moves played, pgn_to_arrays one row per move, and a game table (written to Parquet and read
back) the same games as read_games; python-chess's read_game (in W processes) must read the
same headers, moves and results. Exits 1 on the first disagreement.
"""

from __future__ import annotations

import argparse
import io
import os
import random
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import quarn_chess
import quarn_data

RESULTS = ["1-0", "0-1", "1/2-1/2", "*"]


def decorate(san: str, rng: random.Random) -> str:
    if san.startswith("O-O") and rng.random() < 0.2:
        san = san.replace("O", "0")
    if "=" in san and rng.random() < 0.2:
        san = san.replace("=", "")
    if rng.random() < 0.03:
        san += rng.choice(["!", "?", "!?", "?!", "!!", "??"])
    return san


def write_games(count: int, seed: int) -> tuple[str, list[list[str]]]:
    rng = random.Random(seed)
    generator = quarn_chess.MoveGenerator()
    parts: list[str] = []
    played: list[list[str]] = []
    for index in range(count):
        board = quarn_chess.Board()
        moves: list[str] = []
        tokens: list[str] = []
        for ply in range(rng.randint(0, 200)):
            legal = generator(board)
            if not legal:
                break
            move = rng.choice(legal)
            san = quarn_data.san(board, move)
            if ply % 2 == 0:
                tokens.append(f"{ply // 2 + 1}.")
            elif rng.random() < 0.05:
                tokens.append(f"{ply // 2 + 1}...")
            tokens.append(decorate(san, rng))
            if rng.random() < 0.1:
                tokens.append(f"{{ [%eval {rng.uniform(-9, 9):.2f}] [%clk 0:0{rng.randint(0, 9)}:"
                              f"{rng.randint(10, 59)}] }}")
            if rng.random() < 0.02:
                tokens.append(f"${rng.randint(1, 200)}")
            if rng.random() < 0.01:
                # A side line python-chess can replay too: another move of the same position.
                alternative = quarn_data.san(board, rng.choice(legal))
                tokens.append(f"( {alternative} {{ side ( line }} )")
            board.push(move)
            moves.append(move)
        result = rng.choice(RESULTS)
        tokens.append(result)
        lines, line = [], ""
        for token in tokens:
            if len(line) + len(token) > 79:
                lines.append(line)
                line = ""
            line = f"{line} {token}" if line else token
        lines.append(line)
        headers = (f'[Event "soak {index}"]\n[Site "?"]\n[White "w{rng.randint(1, 99)}"]\n'
                   f'[Black "b \\"{rng.randint(1, 99)}\\""]\n[Result "{result}"]\n'
                   f'[WhiteElo "{rng.randint(900, 2800)}"]\n')
        newline = "\r\n" if rng.random() < 0.1 else "\n"
        text = headers + "\n" + "\n".join(lines) + "\n\n"
        parts.append(text.replace("\n", newline))
        played.append(moves)
    return "".join(parts), played


def reference(text: str) -> list[tuple[dict[str, str], list[str], str]]:
    import chess.pgn

    handle = io.StringIO(text, newline="")
    out = []
    while (game := chess.pgn.read_game(handle)) is not None:
        out.append((dict(game.headers), [m.uci() for m in game.mainline_moves()],
                    game.headers.get("Result", "*")))
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch", type=int, default=5_000)
    args = parser.parse_args()

    began = time.perf_counter()
    checked = 0
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        for batch_start in range(0, args.games, args.batch):
            count = min(args.batch, args.games - batch_start)
            text, played = write_games(count, args.seed + batch_start)
            data = text.encode()
            games = list(quarn_data.read_games(io.BytesIO(data), chunk_size=65_537))
            if [g.moves for g in games] != played or any(g.error for g in games):
                bad = next(i for i, g in enumerate(games) if g.moves != played[i] or g.error)
                print(f"FAIL: game {batch_start + bad} read back wrong: {games[bad]}")
                return 1
            arrays = quarn_data.pgn_to_arrays(io.BytesIO(data), finished_only=False)
            if arrays.counts["positions"] != sum(map(len, played)):
                print(f"FAIL: batch at {batch_start}: {arrays.counts}")
                return 1
            table = quarn_data.pgn_to_table(io.BytesIO(data), finished_only=False)
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "batch.parquet")
                quarn_data.write_table(table, path)
                back = list(quarn_data.read_games(path))
            for ours, kept in zip(games, back, strict=True):
                if (ours.index, ours.offset, ours.headers, ours.moves, ours.result, ours.fen) != (
                        kept.index, kept.offset, kept.headers, kept.moves, kept.result, kept.fen):
                    print(f"FAIL: game {ours.index} of batch {batch_start} differs in its game "
                          f"table: {kept} vs {ours}")
                    return 1
            # python-chess reads the batch in pieces, in parallel.
            pieces = text.split("[Event ")
            pieces = ["[Event " + p for p in pieces if p]
            step = max(1, len(pieces) // (4 * args.workers))
            chunks = ["".join(pieces[i:i + step]) for i in range(0, len(pieces), step)]
            theirs = [game for result in pool.map(reference, chunks) for game in result]
            if len(theirs) != len(games):
                print(f"FAIL: python-chess read {len(theirs)} games, we read {len(games)}")
                return 1
            for ours, (headers, moves, result) in zip(games, theirs):
                filled = {"Event": "?", "Site": "?", "Date": "????.??.??", "Round": "?",
                          "White": "?", "Black": "?", "Result": "*"}
                # python-chess keeps escapes in tag values as written; we resolve them.
                filled.update({k: v.replace("\\", "\\\\").replace('"', '\\"')
                               for k, v in ours.headers.items()})
                if filled != headers or ours.moves != moves or ours.result != result:
                    print(f"FAIL: game {ours.index} of batch {batch_start} differs from "
                          f"python-chess: {ours} vs {headers} {moves} {result}")
                    return 1
            checked += count
            print(f"{checked} games agree ({time.perf_counter() - began:.0f} s)", flush=True)
    print(f"soak: {checked} games read back exactly and as python-chess reads them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
