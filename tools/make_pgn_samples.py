"""Writes the PGN samples under tests/data (run again to regenerate them; output is fixed).

    tests/data/classics.pgn       famous 19th-century games (public domain), typed from their
                                  well-known scores, with comments, NAGs and variations
    tests/data/random_games.pgn   games of random legal moves played by python-chess, with
                                  Lichess-style headers and [%eval]/[%clk] comments
    tests/data/hostile.pgn        hand-written bad games between good ones

python-chess (the `chess` package) writes the random games and checks the classics.
"""

from __future__ import annotations

import io
import random
import sys
from pathlib import Path

import chess
import chess.pgn

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"

CLASSICS = r"""[Event "Casual game"]
[Site "Paris FRA"]
[Date "1858.??.??"]
[Round "?"]
[White "Paul Morphy"]
[Black "Duke Karl / Count Isouard"]
[Result "1-0"]

1. e4 e5 2. Nf3 d6 3. d4 Bg4 {This is a weak move already.} 4. dxe5 Bxf3 5. Qxf3 dxe5
6. Bc4 Nf6 7. Qb3 Qe7 8. Nc3 c6 9. Bg5 b5 10. Nxb5! cxb5 11. Bxb5+ Nbd7 12. O-O-O Rd8
13. Rxd7 Rxd7 14. Rd1 Qe6 15. Bxd7+ Nxd7 (15... Qxd7 16. Qb8+ Ke7 17. Qxe5+) 16. Qb8+!!
Nxb8 17. Rd8# 1-0

[Event "London casual game"]
[Site "London ENG"]
[Date "1851.06.21"]
[Round "?"]
[White "Adolf Anderssen"]
[Black "Lionel Kieseritzky"]
[Result "1-0"]
[ECO "C33"]

1.e4 e5 2.f4 exf4 3.Bc4 Qh4+ 4.Kf1 b5 5.Bxb5 Nf6 6.Nf3 Qh6 7.d3 Nh5 8.Nh4 Qg5 9.Nf5 c6
10.g4 Nf6 11.Rg1 $3 cxb5 12.h4 Qg6 13.h5 Qg5 14.Qf3 Ng8 15.Bxf4 Qf6 16.Nc3 Bc5 17.Nd5 Qxb2
18.Bd6 $3 Bxg1 (18...Qxa1+ 19.Ke2 Qb2 20.Kd2 Bxg1 21.e5) 19.e5 Qxa1+ 20.Ke2 Na6 21.Nxg7+
Kd8 22.Qf6+ Nxf6 23.Be7# 1-0

[Event "Berlin casual game"]
[Site "Berlin GER"]
[Date "1852.??.??"]
[Round "?"]
[White "Adolf Anderssen"]
[Black "Jean Dufresne"]
[Result "1-0"]

; The Evergreen Game.
1. e4 e5 2. Nf3 Nc6 3. Bc4 Bc5 4. b4 Bxb4 5. c3 Ba5 6. d4 exd4 7. O-O d3 8. Qb3 Qf6
9. e5 Qg6 10. Re1 Nge7 11. Ba3 b5 12. Qxb5 Rb8 13. Qa4 Bb6 14. Nbd2 Bb7 15. Ne4 Qf5
16. Bxd3 Qh5 17. Nf6+ gxf6 18. exf6 Rg8 19. Rad1 $1 Qxf3 20. Rxe7+ Nxe7 21. Qxd7+ Kxd7
22. Bf5+ Ke8 23. Bd7+ Kf8 24. Bxe7# 1-0
"""

HOSTILE = (
    '[Event "good before"]\n[Result "1-0"]\n\n1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n\n'
    '[Event "illegal move"]\n[Result "*"]\n\n1. e4 e5 2. Ke3 Nc6 *\n\n'
    '[Event "ambiguous move"]\n[Result "*"]\n\n'
    "1. Nf3 Nf6 2. Nc3 Nc6 3. Nb5 d6 4. Nd4 *\n\n"
    '[Event "invalid SAN"]\n[Result "*"]\n\n1. e4 Qq9 2. d4 *\n\n'
    '[Event "castling without right"]\n[Result "*"]\n\n'
    "1. e4 e5 2. Nf3 Nf6 3. Bc4 Bc5 4. Ke2 Ke7 5. Ke1 Ke8 6. O-O *\n\n"
    '[Event "bad FEN"]\n[SetUp "1"]\n[FEN "8/8/8/8/8/8/8/8 w - - 0 1"]\n[Result "*"]\n\n1. e4 *\n\n'
    '[Event "from a position"]\n[SetUp "1"]\n[FEN "4k3/1P6/8/8/8/8/8/4K3 w - - 3 60"]\n'
    '[Result "1/2-1/2"]\n\n60. b8=Q+ Kd7 61. Qb5+ Kd6 1/2-1/2\n\n'
    '[Event "unterminated variation"]\n[Result "*"]\n\n1. e4 (1. d4 d5\n\n'
    '[Event "good after"]\n[Result "0-1"]\n\n1. f3 e5 2. g4 Qh4# 0-1\n\n'
    '[Event "other variant"]\n[Variant "Atomic"]\n[Result "1-0"]\n\n1. e4 d5 2. exd5 1-0\n\n'
    '[Event "last, good"]\n[Result "1/2-1/2"]\n\n1. d4 d5 2. c4 c6 1/2-1/2\n'
)


def random_games(count: int, seed: int) -> str:
    rng = random.Random(seed)
    out = io.StringIO()
    for index in range(count):
        board = chess.Board()
        if rng.random() < 0.05:
            # Start a few games from a position reached by random moves.
            for _ in range(rng.randint(2, 30)):
                moves = list(board.legal_moves)
                if not moves:
                    break
                board.push(rng.choice(moves))
            if board.is_game_over():
                board = chess.Board()
            board = chess.Board(board.fen())
        game = chess.pgn.Game.from_board(board)
        headers = game.headers
        headers["Event"] = rng.choice(["Rated Blitz game", "Rated Rapid game", "Casual game"])
        headers["Site"] = f"https://example.org/{index:06d}"
        headers["White"] = f"player{rng.randint(1, 500)}"
        headers["Black"] = f"player{rng.randint(1, 500)}"
        headers["WhiteElo"] = str(rng.randint(800, 2900))
        headers["BlackElo"] = str(rng.randint(800, 2900))
        headers["TimeControl"] = rng.choice(["60+0", "180+2", "300+0", "600+5", "-"])
        headers["Termination"] = rng.choice(["Normal", "Time forfeit"])
        node = game
        clock = 300.0
        for _ in range(rng.randint(0, 160)):
            moves = list(board.legal_moves)
            if not moves:
                break
            move = rng.choice(moves)
            node = node.add_variation(move)
            board.push(move)
            clock = max(0.0, clock - rng.randint(0, 9))
            if rng.random() < 0.6:
                parts = []
                if rng.random() < 0.8:
                    if rng.random() < 0.05:
                        parts.append(f"[%eval #{rng.choice([-1, 1]) * rng.randint(1, 9)}]")
                    else:
                        parts.append(f"[%eval {rng.uniform(-8, 8):.2f}]")
                hours, rest = divmod(int(clock), 3600)
                parts.append(f"[%clk {hours}:{rest // 60:02d}:{rest % 60:02d}]")
                node.comment = " ".join(parts)
            if rng.random() < 0.02:
                node.nags.add(rng.choice([1, 2, 3, 4, 5, 6]))
        outcome = board.outcome(claim_draw=True)
        headers["Result"] = outcome.result() if outcome else rng.choice(["1-0", "0-1", "1/2-1/2"])
        print(game, file=out, end="\n\n")
    return out.getvalue()


def check(text: str, name: str) -> None:
    handle = io.StringIO(text)
    while (game := chess.pgn.read_game(handle)) is not None:
        if game.errors and name != "hostile":
            sys.exit(f"{name}: {game.headers.get('Event')}: {game.errors}")


def main() -> None:
    DATA.mkdir(parents=True, exist_ok=True)
    samples = {
        "classics": CLASSICS,
        "random_games": random_games(400, seed=20261208),
        "hostile": HOSTILE,
    }
    for name, text in samples.items():
        check(text, name)
        (DATA / f"{name}.pgn").write_text(text, encoding="utf-8", newline="\n")
        print(f"wrote tests/data/{name}.pgn ({len(text.encode())} bytes)")


if __name__ == "__main__":
    main()
