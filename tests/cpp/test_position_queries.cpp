// Check, mate, stalemate, insufficient material and outcome, odd boards included.
#include "position_queries.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace quarn_chess;
using test_support::read;

namespace {

std::optional<Outcome> outcome_of(std::string_view fen) {
    Board board = read(fen);
    const Board before = board;
    const std::optional<Outcome> result = outcome(shared_generator(), board);
    EXPECT_EQ(board, before);
    return result;
}

} // namespace

TEST(PositionQueries, TellMateFromStalemate) {
    const MoveGenerator& gen = shared_generator();
    Board mate = read("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -");
    EXPECT_TRUE(is_check(gen, mate));
    EXPECT_TRUE(is_checkmate(gen, mate));
    EXPECT_FALSE(is_stalemate(gen, mate));
    EXPECT_EQ(legal_move_count(gen, mate), 0u);
    EXPECT_EQ(outcome_of(mate.to_fen()), (Outcome { Termination::CHECKMATE, 0 }));

    Board stalemate = read("7k/5Q2/6K1/8/8/8/8/8 b - -");
    EXPECT_FALSE(is_check(gen, stalemate));
    EXPECT_TRUE(is_stalemate(gen, stalemate));
    EXPECT_EQ(outcome_of(stalemate.to_fen()), (Outcome { Termination::STALEMATE, -1 }));

    EXPECT_EQ(outcome_of("6rk/5Q2/8/8/8/8/8/K7 w - -"), std::nullopt);
    EXPECT_EQ(outcome_of("k7/1Q6/2K5/8/8/8/8/8 b - -"), (Outcome { Termination::CHECKMATE, 1 }));
    EXPECT_EQ(outcome_of(START_FEN), std::nullopt);
}

TEST(PositionQueries, InsufficientMaterialFollowsPythonChess) {
    const struct {
        std::string_view fen;
        bool insufficient;
    } cases[] = {
        { "4k3/8/8/8/8/8/8/4K3 w - -", true },
        { "4k3/8/8/8/8/8/8/4KN2 w - -", true },
        { "4k3/8/8/8/8/8/8/4KB2 w - -", true },
        { "4kb2/8/8/8/8/8/8/4KB2 w - -", false }, // bishops on both colours
        { "4k1b1/8/8/8/8/8/8/4KB2 w - -", true }, // both on light squares
        { "4k3/8/8/8/8/8/8/3NKN2 w - -", false }, // two knights
        { "4kq2/8/8/8/8/8/8/4KN2 w - -", false }, // the knight cannot mate, the queen can
        { "4kr2/8/8/8/8/8/8/4KN2 w - -", false },
        { "4kn2/8/8/8/8/8/8/4KN2 w - -", false },
        { "4k3/8/8/8/8/8/8/4KB1N w - -", false },
        { "4k3/p7/8/8/8/8/8/4K3 w - -", false },
        { "8/8/8/8/8/8/8/8 w - -", true },
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_insufficient_material(read(c.fen)), c.insufficient) << c.fen;
    EXPECT_EQ(outcome_of("4k3/8/8/8/8/8/8/4K3 w - -"),
        (Outcome { Termination::INSUFFICIENT_MATERIAL, -1 }));
}

TEST(PositionQueries, AnswerOddBoards) {
    const MoveGenerator& gen = shared_generator();
    // No king: never in check; the moves left decide.
    Board kingless = read("8/8/8/8/8/8/4r3/8 w - -");
    EXPECT_FALSE(is_check(gen, kingless));
    EXPECT_EQ(outcome_of("8/8/8/8/8/8/4r3/8 w - -"), (Outcome { Termination::STALEMATE, -1 }));
    // Two kings: the lowest one is the one that counts, as for legality.
    Board two_kings = read("4r2k/8/8/8/8/8/8/K3K3 w - -");
    EXPECT_FALSE(is_check(gen, two_kings));
    Board attacked_low = read("r6k/8/8/8/8/8/8/K3K3 w - -");
    EXPECT_TRUE(is_check(gen, attacked_low));
    // Overlapping pieces from a lenient text: answered without a fault, board restored.
    for (const std::string_view fen :
        { "4k3/8/8/8/8/8/8/4K3 w - -", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -" }) {
        Board board = read(fen);
        board.pieces[BISHOP] |= board.pieces[KING];
        board.pieces[BLACK_OFFSET + QUEEN] |= board.pieces[KING];
        const Board before = board;
        (void)outcome(gen, board);
        (void)is_checkmate(gen, board);
        EXPECT_EQ(board, before);
    }
}

TEST(PositionQueries, FindLegalMoveMatchesPromotionCode) {
    Board board = read("4k3/P7/8/8/8/8/8/4K3 w - -");
    EXPECT_EQ(find_legal_move(shared_generator(), board, ChessMove::packed(48, 56, 7)),
        ChessMove::packed(48, 56, 7));
    EXPECT_EQ(find_legal_move(shared_generator(), board, ChessMove::packed(48, 56)), std::nullopt);
    EXPECT_EQ(
        find_legal_move(shared_generator(), board, ChessMove::packed(4, 12, 7)), std::nullopt);
    EXPECT_EQ(find_legal_move(shared_generator(), board, ChessMove::packed(4, 12, 0)),
        ChessMove::packed(4, 12));
}
