// Hash tables, the generator behind them, and from-scratch hash values.
#include "board.h"
#include "rng.h"
#include "zobrist.h"

#include <gtest/gtest.h>

#include <set>

using namespace quarn_chess;

TEST(Zobrist, KeyTableMatchesCheckValues) {
    const auto& z64 = shared_z64();
    EXPECT_EQ(z64.index(0), 0x0000000000000000u);
    EXPECT_EQ(z64.index(1), 0x6B864CBF6B864CBFu);
    EXPECT_EQ(z64.index(2), 0x000018C7B858D8C7u);
    EXPECT_EQ(z64.index(3), 0x2965A2212965A221u);
    EXPECT_EQ(z64.index(768), 0x71EDE8CD71EDE8CDu);
    EXPECT_EQ(z64.index(789), 0x0873A0800E73A080u);
}

TEST(Zobrist, SumTableMatchesCheckValues) {
    const auto& z16 = shared_z16();
    EXPECT_EQ(z16.index(0), 0xAA9E);
    EXPECT_EQ(z16.index(1), 0xBFF4);
    EXPECT_EQ(z16.index(2), 0xDA16);
    EXPECT_EQ(z16.index(3), 0xED7E);
    EXPECT_EQ(z16.index(768), 0x66AA);
    EXPECT_EQ(z16.index(789), 0x25CC);
}

TEST(Zobrist, EntriesAreDistinctAndIndexIsChecked) {
    const std::set<std::uint64_t> keys(shared_z64().features.begin(), shared_z64().features.end());
    const std::set<std::uint16_t> sums(shared_z16().features.begin(), shared_z16().features.end());
    EXPECT_EQ(keys.size(), ZOBRIST_FEATURES);
    EXPECT_EQ(sums.size(), ZOBRIST_FEATURES);
    EXPECT_THROW(shared_z64().index(790), Fault);
    EXPECT_THROW(shared_z16().index(790), Fault);
}

TEST(Zobrist, TablesAreRebuiltIdenticallyFromTheirSeeds) {
    // The shared pair stands in for a pair per board: both must be what the seeds give.
    EXPECT_EQ(ZobristLookupTable<std::uint64_t>::new_table(0).features, shared_z64().features);
    EXPECT_EQ(ZobristLookupTable<std::uint16_t>::new_table(404).features, shared_z16().features);
    Rng rng = Rng::new_deterministic(0, 8);
    EXPECT_EQ(rng.state, 9u);
    EXPECT_EQ(Rng::new_deterministic(404, 2).state, 0x6155577CDBECB307u);
}

TEST(Zobrist, FromScratchValues) {
    std::array<Bitboard, PIECE_COUNT> pieces {};
    ZobristBoardComponent empty = ZobristBoardComponent::new_component(pieces, 0);
    EXPECT_EQ(empty.z_key, 0u);
    EXPECT_EQ(empty.z_sum, 0);

    pieces[0] = 1; // white pawn on a1: key entry 0, so only the sum moves
    ZobristBoardComponent pawn = ZobristBoardComponent::new_component(pieces, 0);
    EXPECT_EQ(pawn.z_key, 0u);
    EXPECT_EQ(pawn.z_sum, 0xAA9E);

    // Info bits above 21 carry no feature.
    EXPECT_EQ(ZobristBoardComponent::new_component(pieces, std::uint64_t { 1 } << 40), pawn);
    ZobristBoardComponent bit21 = ZobristBoardComponent::new_component(pieces, 1u << 21);
    EXPECT_EQ(bit21.z_key, shared_z64().index(789));
}

TEST(Zobrist, ToggleTwiceRestores) {
    const Board board = Board::from_fen(START_FEN).value();
    ZobristBoardComponent z = board.zobrist;
    z.xor_piece(4, 27);
    z.xor_info(9);
    EXPECT_NE(z, board.zobrist);
    z.xor_info(9);
    z.xor_piece(4, 27);
    EXPECT_EQ(z, board.zobrist);
    EXPECT_THROW(z.xor_piece(12, 22), Fault);
    EXPECT_EQ(z, board.zobrist);
}

TEST(Zobrist, EqualPositionsHashEqually) {
    const Board a = Board::from_fen(START_FEN).value();
    const Board b
        = Board::from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR  w  qkQK - 5 9").value();
    EXPECT_EQ(a.zobrist, b.zobrist);
    Board c = a;
    EXPECT_EQ(c.zobrist.z64, a.zobrist.z64);
}
