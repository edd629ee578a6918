// Token replay and game-table decoding: legality against the move generator, rows, faults.
#include "test_support.h"
#include "token_replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace quarn_chess;
using quarn_chess::test_support::generator;
using quarn_chess::test_support::standard_positions;

namespace {

// The info bits the replay keeps (side, castling, en passant).
constexpr std::uint64_t STATE_BITS = INFO_WHITE_TO_MOVE | INFO_CASTLING_MASK | INFO_EP_MASK;

std::uint16_t token(std::string_view uci) {
    const auto square
        = [](std::string_view s) { return static_cast<unsigned>((s[1] - '1') * 8 + (s[0] - 'a')); };
    unsigned promotion = 0;
    if (uci.size() == 5)
        promotion = static_cast<unsigned>(std::string_view("..nbrq").find(uci[4]));
    return static_cast<std::uint16_t>(
        square(uci.substr(0, 2)) | square(uci.substr(2, 2)) << 6 | promotion << 12);
}

// The move column's value of a move: from * 64 + to.
std::uint16_t move_value(std::string_view uci) {
    const std::uint16_t t = token(uci);
    return static_cast<std::uint16_t>((t & 63) * 64 + ((t >> 6) & 63));
}

// A batch over hand-made Arrow-like columns of moves (and optional FENs).
struct Columns {
    std::vector<std::int32_t> move_offsets { 0 };
    std::vector<std::uint16_t> tokens;
    std::vector<std::int32_t> fen_offsets { 0 };
    std::string fens;

    void add(const std::vector<std::string>& moves, std::string_view fen = {}) {
        for (const std::string& m : moves)
            tokens.push_back(token(m));
        move_offsets.push_back(static_cast<std::int32_t>(tokens.size()));
        fens += fen;
        fen_offsets.push_back(static_cast<std::int32_t>(fens.size()));
    }
    GameBatch batch() const {
        GameBatch b;
        b.rows = static_cast<std::int64_t>(move_offsets.size()) - 1;
        b.moves.offsets = move_offsets.data();
        b.moves.items.values = tokens.data();
        b.moves_items = static_cast<std::int64_t>(tokens.size());
        b.fen.offsets = fen_offsets.data();
        b.fen.items.values = fens.data();
        b.fen_items = static_cast<std::int64_t>(fens.size());
        b.first_game = 100;
        return b;
    }
};

} // namespace

// Along random games from the standard start and the perft positions, every token of an own
// piece (every target, every promotion code) is accepted exactly when it names a legal move of
// the generator's list, and the position after each move is push_move's.
TEST(TokenReplay, AcceptsExactlyTheLegalMovesAlongRandomGames) {
    std::mt19937 rng(17);
    for (const std::string& fen : standard_positions()) {
        for (int game = 0; game < 4; ++game) {
            TokenReplay replay(generator());
            ASSERT_FALSE(replay.reset(fen + " 0 1").has_value()) << fen;
            Board board = Board::from_fen(fen).value();
            for (int ply = 0; ply < 80; ++ply) {
                MoveList legal;
                generator().moves(board, legal);
                std::set<std::uint16_t> tokens;
                for (const ChessMove m : legal)
                    tokens.insert(token_of(m));
                const bool white = board.info & 1;
                Bitboard own = board.side_mask(white ? WHITE_OFFSET : BLACK_OFFSET);
                while (own) {
                    const unsigned from = pop_lsb(own);
                    for (unsigned to = 0; to < 64; ++to)
                        for (const unsigned promotion : { 0u, 1u, 2u, 3u, 4u, 5u, 6u, 15u }) {
                            const auto t
                                = static_cast<std::uint16_t>(from | to << 6 | promotion << 12);
                            TokenReplay probe = replay;
                            const TokenStatus status = probe.play(t);
                            ASSERT_EQ(status == TokenStatus::OK, tokens.count(t) == 1)
                                << board.to_fen() << " token " << t;
                            if (promotion == 1 || promotion > 5) {
                                ASSERT_EQ(status, TokenStatus::MALFORMED);
                            }
                        }
                }
                if (legal.empty())
                    break;
                const ChessMove m = legal[rng() % legal.size()];
                ASSERT_EQ(replay.play(token_of(m)), TokenStatus::OK);
                ASSERT_FALSE(board.push_move(m).has_value());
                ASSERT_EQ(replay.pieces(), board.pieces) << board.to_fen();
                ASSERT_EQ(replay.info(), board.info & STATE_BITS) << board.to_fen();
            }
        }
    }
}

TEST(TokenReplay, KeepsTheHalfMoveClockAndRefusesEmptyAndEnemySquares) {
    TokenReplay replay(generator());
    ASSERT_FALSE(replay.reset("4k3/8/8/8/8/8/4P3/R3K3 w Q - 7 30").has_value());
    EXPECT_EQ(replay.halfmove_clock(), 7u);
    EXPECT_EQ(replay.play(token("e1c1")), TokenStatus::OK); // castling keeps counting
    EXPECT_EQ(replay.halfmove_clock(), 8u);
    EXPECT_EQ(replay.play(token("a1a2")), TokenStatus::ILLEGAL); // empty square
    EXPECT_EQ(replay.play(token("e2e4")), TokenStatus::ILLEGAL); // not black's pawn
    EXPECT_EQ(replay.play(token("e8e7")), TokenStatus::OK);
    EXPECT_EQ(replay.play(token("e2e4")), TokenStatus::OK);
    EXPECT_EQ(replay.halfmove_clock(), 0u);
    EXPECT_TRUE(replay.reset("8/8/8/8/8/8/8/8 w - - 0 1").has_value());
}

TEST(GameDecoding, WritesTheRowsOfEachGame) {
    Columns c;
    c.add({ "e2e4", "e7e5", "g1f3" });
    c.add({ "a7a8q" }, "7k/P7/8/8/8/8/8/K7 w - - 3 40");
    const GameBatch batch = c.batch();
    std::vector<std::int64_t> plies(2);
    ASSERT_FALSE(check_batch(batch, plies.data()).has_value());
    EXPECT_EQ(plies, (std::vector<std::int64_t> { 3, 1 }));
    TokenReplay replay(generator());
    std::vector<PositionRecord> rows(3);
    ASSERT_FALSE(decode_game(replay, batch, 0, rows.data()).has_value());
    EXPECT_EQ(rows[0].pieces, Board::from_fen(START_FEN).value().pieces);
    EXPECT_EQ(rows[1].ep_file, 4); // after e2e4
    EXPECT_EQ(rows[2].state & 1, 1);
    EXPECT_EQ(rows[2].move, move_value("g1f3"));
    EXPECT_EQ(rows[2].ply, 2);
    EXPECT_EQ(rows[2].game, 100);
    EXPECT_TRUE(std::isnan(rows[2].eval));
    EXPECT_EQ(rows[0].white_elo, -1);
    ASSERT_FALSE(decode_game(replay, batch, 1, rows.data()).has_value());
    EXPECT_EQ(rows[0].halfmove, 3);
    EXPECT_EQ(rows[0].promotion, 5);
    EXPECT_EQ(rows[0].move, move_value("a7a8"));
}

TEST(GameDecoding, NamesTheGamePlyAndTokenOfAFault) {
    Columns c;
    c.add({ "e2e4", "e7e5", "e1e3" });
    c.add({ "e2e4" }, "not a fen");
    const GameBatch batch = c.batch();
    TokenReplay replay(generator());
    std::vector<PositionRecord> rows(3);
    const std::optional<GameFault> illegal = decode_game(replay, batch, 0, rows.data());
    ASSERT_TRUE(illegal.has_value());
    EXPECT_EQ(illegal->game, 100);
    EXPECT_NE(illegal->message.find("game 100, ply 2: token"), std::string::npos)
        << illegal->message;
    EXPECT_NE(illegal->message.find("e1e3"), std::string::npos);
    const std::optional<GameFault> fen = decode_game(replay, batch, 1, rows.data());
    ASSERT_TRUE(fen.has_value());
    EXPECT_NE(fen->message.find("game 101: bad FEN 'not a fen'"), std::string::npos)
        << fen->message;
}

TEST(GameDecoding, RefusesOffsetsOutsideTheirItems) {
    Columns c;
    c.add({ "e2e4" });
    c.move_offsets[1] = 5; // beyond the one token
    std::vector<std::int64_t> plies(1);
    EXPECT_TRUE(check_batch(c.batch(), plies.data()).has_value());
    c.move_offsets = { 1, 0 }; // decreasing
    EXPECT_TRUE(check_batch(c.batch(), plies.data()).has_value());
}

TEST(GameDecoding, FlipsRowsForBlackToMove) {
    Columns c;
    c.add({ "e2e4", "e7e5" });
    TokenReplay replay(generator());
    std::vector<PositionRecord> rows(2);
    ASSERT_FALSE(decode_game(replay, c.batch(), 0, rows.data()).has_value());
    std::uint64_t packed[2][PIECE_COUNT];
    std::uint8_t castling[2];
    std::uint16_t move[2];
    PositionColumnsOut out;
    out.packed = &packed[0][0];
    out.castling = castling;
    out.move = move;
    write_row(rows[0], true, out, 0);
    write_row(rows[1], true, out, 1);
    EXPECT_EQ(move[0], move_value("e2e4")); // white to move: unchanged
    EXPECT_EQ(move[1], move_value("e2e4")); // black's e7e5 seen from black's side
    EXPECT_EQ(castling[1], 0xF);
    // Black's position after 1. e4, mirrored: black's pieces on white's squares.
    EXPECT_EQ(packed[1][PAWN], 0xFF00u);
    EXPECT_EQ(packed[1][BLACK_OFFSET + PAWN], 0x00EF001000000000u); // white's, e4 as e5
}
