// Pseudo-legal order, the legality filter, odd positions, and perft counts from the shared table.
#include "board.h"
#include "move_generator.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace quarn_chess;
using test_support::generator;
using test_support::KIWIPETE;
using test_support::perft_cases;
using test_support::PerftCase;
using test_support::POSITION_5;
using test_support::read;

namespace {

using Texts = std::vector<std::string>;

Texts texts(const MoveList& list) {
    Texts out;
    for (const ChessMove m : list)
        out.push_back(m.to_string());
    return out;
}

// Legal moves of a position; the board must come back exactly as it was.
Texts legal(std::string_view fen) {
    Board board = read(fen);
    const Board before = board;
    MoveList list;
    generator().moves(board, list);
    EXPECT_EQ(board, before) << fen;
    return texts(list);
}

Texts pseudo(std::string_view fen) {
    MoveList list;
    generator().pseudo_moves(read(fen), list);
    return texts(list);
}

bool contains(const Texts& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

Texts starting_with(const Texts& list, std::string_view from) {
    Texts out;
    for (const std::string& t : list)
        if (t.starts_with(from))
            out.push_back(t);
    return out;
}

} // namespace

TEST(MoveGenerator, StartPositionOrder) {
    const Texts expected = { "b1c3", "b1a3", "g1h3", "g1f3", "a2a3", "a2a4", "b2b3", "b2b4", "c2c3",
        "c2c4", "d2d3", "d2d4", "e2e3", "e2e4", "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4" };
    EXPECT_EQ(legal(START_FEN), expected);
    EXPECT_EQ(pseudo(START_FEN), expected);

    // Black mirrors it: king and knights first, then pawns ascending, single before double step.
    const Texts black = legal("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3");
    EXPECT_EQ(black.front(), "b8a6");
    EXPECT_EQ(Texts(black.begin() + 4, black.begin() + 6), (Texts { "a7a6", "a7a5" }));
    EXPECT_EQ(black.size(), 20u);

    // Special codes: double steps carry 2.
    MoveList list;
    generator().pseudo_moves(read(START_FEN), list);
    EXPECT_EQ(list[5].special(), ChessMove::DOUBLE_STEP);
    EXPECT_EQ(list[4].special(), 0);
}

TEST(MoveGenerator, KingsCastlingAndRooksInOrder) {
    const Texts expected = { "e1e2", "e1f1", "e1d1", "e1f2", "e1d2", "e1g1", "e1c1", "a1b1", "a1c1",
        "a1d1", "a1a2", "a1a3", "a1a4", "a1a5", "a1a6", "a1a7", "a1a8", "h1f1", "h1g1", "h1h2",
        "h1h3", "h1h4", "h1h5", "h1h6", "h1h7", "h1h8" };
    EXPECT_EQ(legal("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -"), expected);

    MoveList list;
    generator().pseudo_moves(read("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -"), list);
    EXPECT_EQ(list[5].data, 0x3184);
    EXPECT_EQ(list[6].data, 0x3084);
    generator().pseudo_moves(read("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -"), list);
    EXPECT_EQ(list[5].data, 0x3FBC);
    EXPECT_EQ(list[6].data, 0x3EBC);
}

TEST(MoveGenerator, CastlingConditions) {
    const auto castles = [](std::string_view fen) {
        const Texts moves = legal(fen);
        return std::make_pair(contains(moves, "e1g1"), contains(moves, "e1c1"));
    };
    using P = std::pair<bool, bool>;
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/R3K2R w KQ -"), P(true, true));
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/RN2K2R w KQ -"), P(true, false)); // b1 occupied
    EXPECT_EQ(castles("1r2k3/8/8/8/8/8/8/R3K2R w KQ -"), P(true, true)); // b1 attacked only
    EXPECT_EQ(castles("3rk3/8/8/8/8/8/8/R3K2R w KQ -"), P(true, false)); // d1 attacked
    EXPECT_EQ(castles("2r1k3/8/8/8/8/8/8/R3K2R w KQ -"), P(true, false)); // c1 attacked
    EXPECT_EQ(castles("4r2k/8/8/8/8/8/8/R3K2R w KQ -"), P(false, false)); // in check
    EXPECT_EQ(castles("6rk/8/8/8/8/8/8/R3K2R w KQ -"), P(false, true)); // g1 attacked
    EXPECT_EQ(castles("5r1k/8/8/8/8/8/8/R3K2R w KQ -"), P(false, true)); // f1 attacked
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/R3K1NR w KQ -"), P(false, true)); // g1 occupied
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/R3K2R w K -"), P(true, false)); // rights decide
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/R3K2R w - -"), P(false, false));
    // Rights are trusted: no rook is needed.
    EXPECT_EQ(castles("4k3/8/8/8/8/8/8/4K3 w KQ -"), P(true, true));
    // Only the side to move castles.
    EXPECT_TRUE(starting_with(legal("r3k2r/8/8/8/8/8/8/4K3 w kq -"), "e8").empty());
    EXPECT_EQ(starting_with(legal("r3k2r/8/8/8/8/8/8/4K3 b kq -"), "e8").size(), 7u);
    // A king off its home square never castles.
    EXPECT_FALSE(contains(legal("4k3/8/8/8/8/8/8/R2K3R w KQ -"), "d1b1"));
}

TEST(MoveGenerator, PawnMoves) {
    EXPECT_EQ(starting_with(legal("n1r1k3/1P6/8/8/8/8/8/4K3 w - -"), "b7"),
        (Texts { "b7a8n", "b7a8b", "b7a8r", "b7a8q", "b7c8n", "b7c8b", "b7c8r", "b7c8q", "b7b8n",
            "b7b8b", "b7b8r", "b7b8q" }));

    MoveList list;
    generator().pseudo_moves(read("4k3/8/8/3pP3/8/8/8/4K3 w - d6"), list);
    const auto en_passant = std::find_if(
        list.begin(), list.end(), [](ChessMove m) { return m.to_string() == "e5d6"; });
    ASSERT_NE(en_passant, list.end());
    EXPECT_EQ(en_passant->special(), ChessMove::EN_PASSANT);
    EXPECT_EQ(
        starting_with(legal("4k3/8/8/3pP3/8/8/8/4K3 w - d6"), "e5"), (Texts { "e5d6", "e5e6" }));
    // The info word is trusted: no pawn to take is needed (and the board still comes back).
    EXPECT_EQ(
        starting_with(legal("4k3/8/8/4P3/8/8/8/4K3 w - d6"), "e5"), (Texts { "e5d6", "e5e6" }));
    // A capture and an en-passant capture onto the same square, then the single step.
    EXPECT_EQ(starting_with(legal("4k3/8/2n5/2pP4/8/8/8/4K3 w - c6"), "d5"),
        (Texts { "d5c6", "d5c6", "d5d6" }));
    EXPECT_TRUE(starting_with(legal("4k3/8/8/3p4/4P3/8/8/4K3 w - d6"), "e4")
        == (Texts { "e4d5", "e4e5" })); // wrong rank: no en passant

    // Black pawns walk down; captures toward -7 first, then -9.
    EXPECT_EQ(starting_with(legal("k7/4p3/3N1N2/8/8/8/8/4K3 b - -"), "e7"),
        (Texts { "e7f6", "e7d6", "e7e6", "e7e5" }));
    EXPECT_EQ(
        starting_with(legal("4k3/8/8/8/3Pp3/8/8/4K3 b - d3"), "e4"), (Texts { "e4d3", "e4e3" }));
    EXPECT_EQ(starting_with(legal("4k3/8/8/8/8/8/3p4/2R4K b - -"), "d2"),
        (Texts { "d2c1n", "d2c1b", "d2c1r", "d2c1q", "d2d1n", "d2d1b", "d2d1r", "d2d1q" }));

    // Edge files never wrap; blocked pawns stand still; a blocked double step keeps the single.
    EXPECT_EQ(
        starting_with(legal("4k3/8/8/8/8/8/P6n/4K3 w - -"), "a2"), (Texts { "a2a3", "a2a4" }));
    EXPECT_EQ(
        starting_with(legal("4k3/8/8/8/n7/8/7P/4K3 w - -"), "h2"), (Texts { "h2h3", "h2h4" }));
    EXPECT_TRUE(starting_with(legal("4k3/8/8/8/8/p7/P7/4K3 w - -"), "a2").empty());
    EXPECT_EQ(starting_with(legal("4k3/8/8/8/p7/8/P7/4K3 w - -"), "a2"), (Texts { "a2a3" }));
}

TEST(MoveGenerator, QueenSplitsAcrossSliderGroups) {
    // Orthogonal moves with the rooks, diagonal ones with the bishops; own pieces are never
    // targets, enemy pieces are.
    const Texts moves = legal("4k3/8/8/8/8/5p2/3P4/3QK3 w - -");
    EXPECT_EQ(starting_with(moves, "d1"),
        (Texts { "d1a1", "d1b1", "d1c1", "d1c2", "d1e2", "d1b3", "d1f3", "d1a4" }));
}

TEST(MoveGenerator, LegalityFilter) {
    // A rook pinned on the file keeps its file moves, capture of the pinner included.
    EXPECT_EQ(starting_with(legal("4k3/4r3/8/8/8/8/4R3/4K3 w - -"), "e2"),
        (Texts { "e2e3", "e2e4", "e2e5", "e2e6", "e2e7" }));
    // A bishop pinned on the diagonal.
    EXPECT_EQ(starting_with(legal("4k3/8/8/b7/8/8/3B4/4K3 w - -"), "d2"),
        (Texts { "d2c3", "d2b4", "d2a5" }));
    // En passant that would open the fifth rank to the rook is refused, but generated.
    const std::string pinned = "8/8/8/KPp4r/8/8/8/4k3 w - c6";
    EXPECT_TRUE(contains(pseudo(pinned), "b5c6"));
    EXPECT_FALSE(contains(legal(pinned), "b5c6"));
    EXPECT_TRUE(contains(legal("8/8/8/KPp5/8/8/8/4k3 w - c6"), "b5c6"));
    // A knight's check: step away or take it, no interposition.
    EXPECT_EQ(
        legal("4k3/8/8/8/8/3n4/8/1B2K3 w - -"), (Texts { "e1e2", "e1f1", "e1d1", "e1d2", "b1d3" }));
    // Kings never stand next to each other.
    EXPECT_EQ(legal("8/8/8/8/8/4k3/8/4K3 w - -"), (Texts { "e1f1", "e1d1" }));
    // Mate and stalemate both give nothing.
    EXPECT_TRUE(legal("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -").empty());
    EXPECT_TRUE(legal("7k/5Q2/6K1/8/8/8/8/8 b - -").empty());
}

TEST(MoveGenerator, BoardUnchangedWithHistory) {
    Board board = read(KIWIPETE);
    for (const char* text : { "a2a4", "b4a3", "e1g1" }) {
        ASSERT_FALSE(board.push_move(ChessMove::from_str(text).value()).has_value());
        const Board before = board;
        MoveList list;
        generator().moves(board, list);
        EXPECT_EQ(board, before) << text;
        EXPECT_FALSE(list.empty());
    }
}

// Without a king the side to move cannot be in check: its pseudo-legal moves are its legal
// moves, and nothing faults.
TEST(MoveGenerator, SideWithoutKing) {
    for (const char* fen : { "4k3/8/8/8/8/8/8/R7 w - -", "r7/8/8/8/8/8/8/4K3 b - -",
             "4k3/8/8/8/8/8/PPPPPPPP/RNBQ1BNR w KQ -" }) {
        EXPECT_EQ(legal(fen), pseudo(fen)) << fen;
        EXPECT_FALSE(legal(fen).empty());
    }
    // The side that just moved has no king: never in check.
    Board board = read("4k3/8/8/8/8/8/8/R7 w - -");
    ASSERT_FALSE(board.push_move(ChessMove::from_str("a1a2").value()).has_value());
    EXPECT_FALSE(generator().phantom_check(board));
    // The king-less side still gives check.
    EXPECT_EQ(legal("4k3/8/8/8/8/8/8/4R3 b - -"), (Texts { "e8f8", "e8d8", "e8d7", "e8f7" }));
}

// A move the board refuses is a fault, raised with the board restored. Here a pawn and a king
// share a7, so the king's step to a8 is read as a pawn move without promotion.
TEST(MoveGenerator, RefusedMoveFaultsWithBoardRestored) {
    Board board = read("4k3/P7/8/8/8/8/8/8 w - -");
    board.pieces[KING] |= std::uint64_t { 1 } << 48;
    board.resync();
    const Board before = board;
    MoveList list;
    EXPECT_THROW(generator().moves(board, list), Fault);
    EXPECT_EQ(board, before);
}

namespace {

// Instrumented or unoptimised builds run the small depths only.
#if defined(QUARN_SANITIZED) || defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr std::uint64_t PERFT_NODE_BUDGET = 700'000;
#else
constexpr std::uint64_t PERFT_NODE_BUDGET = 5'000'000;
#endif

} // namespace

TEST(Perft, SharedTable) {
    const std::vector<PerftCase> cases = perft_cases();
    ASSERT_GE(cases.size(), 30u);
    std::size_t run = 0;
    for (const PerftCase& c : cases) {
        if (c.nodes > PERFT_NODE_BUDGET)
            continue;
        Board board = read(c.fen);
        const Board before = board;
        EXPECT_EQ(perft(generator(), board, c.depth), c.nodes) << c.fen << " depth " << c.depth;
        EXPECT_EQ(board, before);
        ++run;
    }
    EXPECT_GE(run, 20u);
}

TEST(Perft, BulkCountingAgrees) {
    Board board = read(KIWIPETE);
    EXPECT_EQ(perft(generator(), board, 2, false), 2039u);
    EXPECT_EQ(perft(generator(), board, 0), 1u);
    Board pos5 = read(POSITION_5);
    EXPECT_EQ(perft(generator(), pos5, 3, false), 62379u);
}
