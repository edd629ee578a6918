// The action encoding: indices chess_v6 uses, round trips over the perft positions, refusals.
#include "actions.h"
#include "position_queries.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

using namespace quarn_chess;
using test_support::read;

namespace {

std::uint16_t action(std::string_view fen, std::string_view uci) {
    const Board board = read(fen);
    const std::optional<std::uint16_t> a = action_of(board, ChessMove::from_str(uci).value());
    EXPECT_TRUE(a.has_value()) << uci;
    return a.value_or(0);
}

// Every legal move of every position `depth` plies below `board` has an action of its own, and
// decoding it gives the move back.
void check_round_trips(Board& board, unsigned depth) {
    const MoveGenerator& generator = shared_generator();
    MoveList legal;
    generator.moves(board, legal);
    std::set<std::uint16_t> seen;
    for (const ChessMove move : legal) {
        const std::optional<std::uint16_t> a = action_of(board, move);
        ASSERT_TRUE(a.has_value()) << board.to_fen() << " " << move.to_string();
        EXPECT_EQ(generated_action(board, move), *a);
        EXPECT_TRUE(seen.insert(*a).second) << board.to_fen() << " " << move.to_string();
        const std::optional<ChessMove> decoded = decode_action(board, *a);
        ASSERT_TRUE(decoded.has_value());
        const std::optional<ChessMove> found = find_legal_move(generator, board, *decoded);
        ASSERT_TRUE(found.has_value()) << board.to_fen() << " " << move.to_string();
        EXPECT_EQ(*found, move) << board.to_fen();
        if (depth > 1) {
            ASSERT_FALSE(board.push_move(move).has_value());
            check_round_trips(board, depth - 1);
            board.pop_move();
        }
    }
}

} // namespace

TEST(Actions, UseTheIndicesOfChessV6) {
    const std::string_view start = START_FEN;
    EXPECT_EQ(action(start, "a2a3"), 77);
    EXPECT_EQ(action(start, "a2a4"), 85);
    EXPECT_EQ(action(start, "b1a3"), 643);
    EXPECT_EQ(action(start, "b1c3"), 645);
    EXPECT_EQ(action(start, "e2e4"), 2421);
    // Seen from black: ranks mirrored, files kept.
    EXPECT_EQ(action("8/8/8/8/3q4/8/K7/7k b - -", "d4c5"), 2044);
    EXPECT_EQ(action("8/8/8/8/3q4/8/K7/7k b - -", "d4h8"), 2073);
    EXPECT_EQ(action("8/8/8/8/3q4/8/K7/7k b - -", "h1g2"), 4599);
    // Queen promotions take the queen-like plane, under-promotions their own.
    EXPECT_EQ(action("1n1n4/2P5/8/8/8/8/8/K6k w - -", "c7c8q"), 1610);
    EXPECT_EQ(action("1n1n4/2P5/8/8/8/8/8/K6k w - -", "c7b8n"), 1670);
    EXPECT_EQ(action("1n1n4/2P5/8/8/8/8/8/K6k w - -", "c7d8r"), 1678);
    EXPECT_EQ(action("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "e1g1"),
        action("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "e1f1") + 8);
}

TEST(Actions, RoundTripEveryLegalMoveOfThePerftPositions) {
    for (const test_support::PerftCase& c : test_support::perft_cases()) {
        Board board = read(c.fen);
        check_round_trips(board, 2);
    }
}

TEST(Actions, DecodingRefusesWhatLeavesTheBoard) {
    const Board board = read(START_FEN);
    EXPECT_FALSE(decode_action(board, ACTION_COUNT).has_value());
    // a1 (square 0) moving one step towards the a-file's west.
    EXPECT_FALSE(decode_action(board, 1).has_value());
    // h8 seen from white, one step up.
    EXPECT_FALSE(decode_action(board, (7 * 8 + 7) * ACTION_PLANES + 4).has_value());
    // A queen-like plane onto the last rank is a queen promotion only for a pawn.
    const Board promote = read("8/P7/8/8/8/8/8/K6k w - -");
    EXPECT_EQ(decode_action(promote, 6 * ACTION_PLANES + 4)->special(), ChessMove::PROMOTE_QUEEN);
    const Board rook = read("8/R7/8/8/8/8/8/K6k w - -");
    EXPECT_EQ(decode_action(rook, 6 * ACTION_PLANES + 4)->special(), 0);
    EXPECT_FALSE(action_of(board, ChessMove::packed(0, 0)).has_value());
    EXPECT_FALSE(action_of(board, ChessMove::packed(0, 63, ChessMove::PROMOTE_KNIGHT)).has_value());
}
