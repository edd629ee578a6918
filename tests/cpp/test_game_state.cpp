// The full game state: counters, repetitions, claims and every ending, and the positions refused.
#include "game_state.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

using namespace quarn_chess;

namespace {

void play(GameState& state, const std::vector<std::string_view>& moves) {
    for (const std::string_view text : moves) {
        const ChessMove wanted = ChessMove::from_str(text).value();
        bool found = false;
        for (std::uint32_t i = 0; i < state.move_count; ++i)
            if (state.moves[i].from() == wanted.from() && state.moves[i].to() == wanted.to()) {
                state.play(state.moves[i]);
                found = true;
                break;
            }
        ASSERT_TRUE(found) << text;
    }
}

GameState from(std::string_view fen) {
    GameState state;
    const std::optional<Error> error = state.reset(fen);
    EXPECT_FALSE(error.has_value()) << fen << ": " << (error ? error->message : "");
    return state;
}

const std::vector<std::string_view> KNIGHTS = { "g1f3", "g8f6", "f3g1", "f6g8" };

} // namespace

TEST(GameState, CountsMovesLikeFen) {
    GameState state;
    state.reset();
    EXPECT_EQ(state.move_count, 20u);
    play(state, { "g1f3", "g8f6", "e2e4" });
    EXPECT_EQ(state.halfmove_clock, 0u);
    EXPECT_EQ(state.fullmove_number, 2u);
    play(state, { "b8c6" });
    EXPECT_EQ(state.halfmove_clock, 1u);
    EXPECT_EQ(state.fullmove_number, 3u);
    EXPECT_EQ(state.plies, 4u);
    GameState counted = from("8/8/4k3/8/8/2R1K3/8/8 w - - 37 80");
    EXPECT_EQ(counted.halfmove_clock, 37u);
    EXPECT_EQ(counted.fullmove_number, 80u);
}

TEST(GameState, ThreefoldIsClaimableOneMoveEarlyAndFivefoldEndsTheGame) {
    GameState state;
    state.reset();
    play(state, KNIGHTS);
    play(state, { "g1f3", "g8f6" });
    EXPECT_EQ(state.ending(DrawRules::CLAIM), Ending::NONE);
    // Black can now go back to the start position a third time.
    play(state, { "f3g1" });
    EXPECT_TRUE(state.can_claim_threefold_repetition());
    EXPECT_EQ(state.ending(DrawRules::CLAIM), Ending::THREEFOLD_REPETITION);
    EXPECT_EQ(state.ending(DrawRules::AUTOMATIC), Ending::NONE);
    play(state, { "f6g8" });
    EXPECT_EQ(state.repetitions, 3u);
    play(state, KNIGHTS);
    EXPECT_EQ(state.repetitions, 4u);
    EXPECT_EQ(state.ending(DrawRules::AUTOMATIC), Ending::NONE);
    play(state, KNIGHTS);
    EXPECT_EQ(state.repetitions, 5u);
    EXPECT_EQ(state.ending(DrawRules::AUTOMATIC), Ending::FIVEFOLD_REPETITION);
}

TEST(GameState, AnEnPassantRightCountsOnlyWhenACaptureIsLegal) {
    GameState state;
    state.reset();
    // After 1. e4 no black pawn can take en passant: the position after 3. Ng1 is the same one.
    play(state, { "e2e4", "g8f6", "g1f3", "f6g8", "f3g1" });
    EXPECT_EQ(state.repetitions, 2u);
    GameState capture = from("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1");
    play(capture, { "e2e4", "e8d8", "e1d1", "d8e8", "d1e1" });
    EXPECT_EQ(capture.repetitions, 1u);
}

TEST(GameState, MoveRulesClaimAtOneHundredAndEndAtOneHundredFifty) {
    GameState quiet = from("8/8/4k3/8/8/2R1K3/8/8 w - - 99 80");
    EXPECT_TRUE(quiet.can_claim_fifty_moves());
    EXPECT_EQ(quiet.ending(DrawRules::CLAIM), Ending::FIFTY_MOVES);
    EXPECT_EQ(quiet.ending(DrawRules::AUTOMATIC), Ending::NONE);
    GameState early = from("8/8/4k3/8/8/2R1K3/8/8 w - - 98 80");
    EXPECT_FALSE(early.can_claim_fifty_moves());
    GameState late = from("8/8/4k3/8/8/2R1K3/8/8 w - - 150 80");
    EXPECT_EQ(late.ending(DrawRules::AUTOMATIC), Ending::SEVENTYFIVE_MOVES);
    // Mate comes first.
    GameState mate = from("7k/6Q1/6K1/8/8/8/8/8 b - - 150 80");
    EXPECT_EQ(mate.ending(DrawRules::CLAIM), Ending::CHECKMATE);
    EXPECT_EQ(mate.winner(), 1);
}

TEST(GameState, PositionEndings) {
    EXPECT_EQ(from("7k/8/6K1/8/8/8/8/5Q2 w - - 0 1").ending(DrawRules::CLAIM), Ending::NONE);
    EXPECT_EQ(from("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1").ending(DrawRules::CLAIM), Ending::STALEMATE);
    EXPECT_EQ(from("8/8/8/8/8/2k5/8/K1n5 w - - 0 1").ending(DrawRules::AUTOMATIC),
        Ending::INSUFFICIENT_MATERIAL);
    GameState mate = from("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3");
    EXPECT_EQ(mate.ending(DrawRules::AUTOMATIC), Ending::CHECKMATE);
    EXPECT_EQ(mate.winner(), 0);
}

TEST(GameState, RefusesPositionsPlayCannotReach) {
    GameState state;
    for (const std::string_view fen : {
             "8/8/8/8/8/8/8/8 w - - 0 1", // no kings
             "kk6/8/8/8/8/8/8/K7 w - - 0 1", // two black kings
             "k6P/8/8/8/8/8/8/K7 w - - 0 1", // a pawn on the last rank
             "k6R/8/8/8/8/8/8/K7 w - - 0 1", // the side not to move in check
             "k7/8/8/8/8/8/8/K7 w - - x 1", // a bad counter
             "k7/8/3n4/2P5/8/8/8/K7 w - d6 0 1", // an en-passant square taken by a knight
             "k7/8/8/2P5/8/8/8/K7 w - d6 0 1", // an en-passant square without its pawn
             "k7/8/8/8/8/8/8/K7 x - - 0 1", // a bad side
             "k7/8/8/8/8/8/8/K6! w - - 0 1", // a bad piece
             "", // nothing
         }) {
        EXPECT_TRUE(state.reset(fen).has_value()) << fen;
        // The state is left at the start position.
        EXPECT_EQ(state.move_count, 20u) << fen;
    }
}

TEST(GameState, DropsCastlingRightsWithoutTheirPieces) {
    GameState state = from("r3k3/8/8/8/8/8/8/4K2R w KQkq - 0 1");
    EXPECT_EQ(state.board.info & INFO_CASTLING_MASK,
        (std::uint64_t { 1 } << INFO_WHITE_KING_SIDE)
            | (std::uint64_t { 1 } << INFO_BLACK_QUEEN_SIDE));
}
