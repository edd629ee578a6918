// Attack geometry: relevance masks, magic keys, the slider tables and the square attack test.
#include "attacks.h"
#include "bits.h"
#include "board.h"
#include "move_generator.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <vector>

using namespace quarn_chess;
using test_support::generator;
using test_support::read;

namespace {

Bitboard squares(std::initializer_list<unsigned> list) {
    Bitboard b = 0;
    for (const unsigned s : list)
        b |= square_bit(s);
    return b;
}

// Attacks of a slider on `square` moving along `directions`: each ray runs up to and including
// the first square of `blocker_bitboard`, whatever stands there. The plain definition the tables
// must reproduce.
constexpr Bitboard get_moves_from_blockers(
    unsigned square, Bitboard blocker_bitboard, const std::array<std::int16_t, 4>& directions) {
    Bitboard moves = 0;
    for (const std::int16_t jump : directions) {
        unsigned s = square;
        while (validate_move(static_cast<std::uint16_t>(s), jump, 1)) {
            const unsigned t = s + jump;
            moves |= square_bit(t);
            if (blocker_bitboard & square_bit(t))
                break;
            s = t;
        }
    }
    return moves;
}

// The up to eight squares next to `square`, by shifts.
constexpr Bitboard get_king_circle(unsigned square) {
    constexpr Bitboard NOT_FILE_H = 0x7F7F7F7F7F7F7F7F;
    constexpr Bitboard NOT_FILE_A = 0xFEFEFEFEFEFEFEFE;
    const Bitboard king_pos = square_bit(square);
    const Bitboard east = king_pos & NOT_FILE_H;
    const Bitboard west = king_pos & NOT_FILE_A;
    return (king_pos << 8) | (king_pos >> 8) | (east << 1) | (east << 9) | (east >> 7) | (west >> 1)
        | (west << 7) | (west >> 9);
}

// Whether some jump in `directions` leads from `square` onto a square of `bitboard` without
// leaving the board.
constexpr bool check_pawn_knight(Bitboard bitboard, unsigned square,
    std::span<const std::int16_t> directions, std::uint16_t threshold) {
    for (const std::int16_t jump : directions)
        if (validate_move(static_cast<std::uint16_t>(square), jump, threshold)
            && (bitboard & square_bit(square + jump)))
            return true;
    return false;
}

constexpr unsigned A1 = 0, B1 = 1, G1 = 6, E2 = 12, A2 = 8, H3 = 23, F3 = 21, A4 = 24, D4 = 27,
                   E4 = 28, A5 = 32, B5 = 33, D5 = 35, E5 = 36, F5 = 37, G5 = 38, H5 = 39, F6 = 45,
                   D7 = 51, E7 = 52, F7 = 53, G7 = 54, D8 = 59, E8 = 60, F8 = 61, H8 = 63, A8 = 56;

// The attack tables as the plain definition builds them: a counter over the mask's squares
// (bit 0 on the lowest), a ray walk per arrangement, the result stored under its magic key.
SlidingTable reference_table(unsigned square, bool rook) {
    const Bitboard cross = rook ? get_rook_cross(square) : get_bishop_cross(square);
    const Bitboard magic = rook ? ROOK_MAGICS[square] : BISHOP_MAGICS[square];
    const unsigned shift = rook ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square];
    std::vector<unsigned> move_idxs;
    for (const unsigned s : get_bits(cross))
        move_idxs.push_back(s);
    SlidingTable table {};
    for (std::uint64_t pattern_idx = 0; pattern_idx < (std::uint64_t { 1 } << move_idxs.size());
         ++pattern_idx) {
        Bitboard blockers = 0;
        for (std::size_t j = 0; j < move_idxs.size(); ++j)
            if ((pattern_idx >> j) & 1)
                blockers |= square_bit(move_idxs[j]);
        const Bitboard key = (blockers * magic) >> shift;
        table.at(key)
            = get_moves_from_blockers(square, blockers, rook ? ROOK_DIRECTIONS : BISHOP_DIRECTIONS);
    }
    return table;
}

} // namespace

TEST(Attacks, BitHelpers) {
    std::vector<unsigned> bits;
    for (const unsigned s : get_bits(0))
        bits.push_back(s);
    EXPECT_TRUE(bits.empty());
    for (const unsigned s : get_bits(0x8000000000000001))
        bits.push_back(s);
    EXPECT_EQ(bits, (std::vector<unsigned> { 0, 63 }));

    EXPECT_FALSE(validate_move(0, -1, 1)); // wraps below a1
    EXPECT_FALSE(validate_move(7, 1, 1)); // h1 to a2
    EXPECT_TRUE(validate_move(62, 1, 1));
    EXPECT_FALSE(validate_move(57, -10, 2)); // b8 to h6: six files
    EXPECT_TRUE(validate_move(57, -6, 2)); // b8 to d7
    EXPECT_FALSE(validate_move(63, 1, 1));
}

TEST(Attacks, RelevanceMasks) {
    EXPECT_EQ(get_rook_cross(A1), 0x000101010101017Eu);
    EXPECT_EQ(get_rook_cross(D4), 0x0008080876080800u);
    EXPECT_EQ(get_bishop_cross(A1), 0x0040201008040200u);
    EXPECT_EQ(get_bishop_cross(D4), 0x0040221400142200u);

    for (unsigned s = 0; s < 64; ++s) {
        const unsigned file = file_of(s), rank = rank_of(s);
        const bool edge_file = file == 0 || file == 7, edge_rank = rank == 0 || rank == 7;
        const int rook_size = edge_file && edge_rank ? 12 : edge_file || edge_rank ? 11 : 10;
        EXPECT_EQ(std::popcount(get_rook_cross(s)), rook_size) << s;
        EXPECT_EQ(64 - ROOK_SHIFTS[s], rook_size) << s;

        // Ring 0 is the rim, ring 3 the centre.
        const unsigned ring = std::min({ file, 7 - file, rank, 7 - rank });
        const bool corner = edge_file && edge_rank;
        const int bishop_size = corner ? 6 : ring <= 1 ? 5 : ring == 2 ? 7 : 9;
        EXPECT_EQ(std::popcount(get_bishop_cross(s)), bishop_size) << s;
        EXPECT_EQ(64 - BISHOP_SHIFTS[s], bishop_size) << s;
        EXPECT_EQ(get_bishop_cross(s) & 0xFF818181818181FF, 0u) << s; // never the rim
    }
}

// The constants give every blocker arrangement of a square its own key.
TEST(Attacks, MagicKeysAreUniquePerSquare) {
    std::size_t rook_subsets = 0, bishop_subsets = 0;
    for (unsigned s = 0; s < 64; ++s) {
        for (const unsigned idx_offset : { ROOK_IDX, BISHOP_IDX }) {
            const SliderMagic& m = SLIDER_MAGICS[idx_offset][s];
            std::vector<bool> seen(idx_offset == ROOK_IDX ? 4096 : 512);
            Bitboard subset = 0;
            do {
                const unsigned key = m.key(subset);
                ASSERT_LT(key, seen.size());
                EXPECT_FALSE(seen[key]) << "square " << s << " kind " << idx_offset;
                seen[key] = true;
                (idx_offset == ROOK_IDX ? rook_subsets : bishop_subsets)++;
                subset = (subset - m.mask) & m.mask;
            } while (subset);
        }
    }
    EXPECT_EQ(rook_subsets, 102400u);
    EXPECT_EQ(bishop_subsets, 5248u);
}

TEST(Attacks, TablesMatchTheRayWalk) {
    const SlidingMoves& tables = generator().sliding_moves;
    ASSERT_EQ(tables.size(), 128u);
    for (unsigned s = 0; s < 64; ++s) {
        EXPECT_TRUE(tables[2 * s] == reference_table(s, true)) << "rook " << s;
        EXPECT_TRUE(tables[2 * s + 1] == reference_table(s, false)) << "bishop " << s;
        const SlidingTable& bishop = tables[2 * s + 1];
        EXPECT_TRUE(std::all_of(bishop.begin() + 512, bishop.end(), [](Bitboard b) {
            return b == 0;
        })) << s;
    }
    EXPECT_THROW(tables[128], Fault);
    // Each generator builds its own, identical tables.
    EXPECT_TRUE(MoveGenerator().sliding_moves == tables);
    const SlidingMoves copy = tables;
    EXPECT_TRUE(copy == tables);
}

TEST(Attacks, SliderLookups) {
    const MoveGenerator& g = generator();
    const Bitboard rank_1_and_file_a = 0x01010101010101FF & ~square_bit(A1);
    EXPECT_EQ(g.slider_attacks(ROOK_IDX, A1, 0), rank_1_and_file_a);
    EXPECT_EQ(std::popcount(g.slider_attacks(ROOK_IDX, A1, 0)), 14);
    EXPECT_EQ(g.slider_attacks(ROOK_IDX, A1, squares({ A2, B1 })), squares({ A2, B1 }));
    // The table read by hand agrees with the helper.
    const unsigned key = SLIDER_MAGICS[ROOK_IDX][A1].key(squares({ A2, B1 }));
    EXPECT_EQ(g.sliding_moves[0][key], squares({ A2, B1 }));

    EXPECT_EQ(std::popcount(g.slider_attacks(BISHOP_IDX, D4, 0)), 13);
    const Bitboard blocked = g.slider_attacks(BISHOP_IDX, D4, square_bit(F6));
    EXPECT_TRUE(blocked & square_bit(E5));
    EXPECT_TRUE(blocked & square_bit(F6));
    EXPECT_FALSE(blocked & (square_bit(G7) | square_bit(H8)));

    // The last square of every ray is on the rim and outside the mask: a blocker there never
    // changes the key, and the ray still reaches it.
    const Bitboard rim = 0xFF818181818181FF;
    for (unsigned s = 0; s < 64; ++s)
        for (const unsigned idx_offset : { ROOK_IDX, BISHOP_IDX }) {
            const SliderMagic& m = SLIDER_MAGICS[idx_offset][s];
            const Bitboard open = g.slider_attacks(idx_offset, s, 0);
            const Bitboard ends = open & ~m.mask;
            EXPECT_EQ(ends & ~rim, 0u) << s;
            EXPECT_EQ(g.slider_attacks(idx_offset, s, ends), open) << s;
            const Bitboard inner = 0x0000240018002400 & m.mask;
            EXPECT_EQ(m.key(inner | ends), m.key(inner)) << s;
        }
    EXPECT_EQ(g.slider_attacks(ROOK_IDX, A1, square_bit(A8)), rank_1_and_file_a);
    EXPECT_EQ(g.slider_attacks(ROOK_IDX, A1, square_bit(A8) | square_bit(A4)),
        0xFE | squares({ A2, 16, A4 }));
}

TEST(Attacks, StepTables) {
    EXPECT_EQ(get_king_circle(A1), squares({ A2, B1, 9 }));
    EXPECT_EQ(get_king_circle(H8), squares({ 62, 55, 54 }));
    EXPECT_EQ(std::popcount(get_king_circle(E4)), 8);
    EXPECT_EQ(KNIGHT_ATTACKS[G1], squares({ E2, F3, H3 }));
    for (unsigned s = 0; s < 64; ++s) {
        EXPECT_EQ(get_king_circle(s), KING_ATTACKS[s]) << s;
        for (unsigned t = 0; t < 64; ++t) {
            const Bitboard target = square_bit(t);
            EXPECT_EQ(check_pawn_knight(target, s, KNIGHT_DIRECTIONS, 2),
                (KNIGHT_ATTACKS[s] & target) != 0);
            const std::int16_t up[] = { 7, 9 }, down[] = { -7, -9 };
            EXPECT_EQ(check_pawn_knight(target, s, up, 1), (PAWN_ATTACKS[0][s] & target) != 0);
            EXPECT_EQ(check_pawn_knight(target, s, down, 1), (PAWN_ATTACKS[1][s] & target) != 0);
        }
        // The step lists hold the same squares in direction order.
        Bitboard listed = 0;
        for (unsigned i = 0; i < KNIGHT_STEPS[s].count; ++i)
            listed |= square_bit(KNIGHT_STEPS[s].to[i]);
        EXPECT_EQ(listed, KNIGHT_ATTACKS[s]);
    }
    EXPECT_EQ(KING_STEPS[E4].to[0], E4 - 8);
    EXPECT_EQ(KING_STEPS[E4].to[7], E4 - 7);
}

TEST(Attacks, SquareInCheck) {
    const MoveGenerator& g = generator();
    const Board empty = read("8/8/8/8/8/8/8/8 w - -");
    for (unsigned s = 0; s < 64; ++s)
        EXPECT_FALSE(g.square_in_check(empty, s, 1)) << s;

    Board king = read("4k3/8/8/8/8/8/8/8 w - -");
    Bitboard attacked = 0;
    for (unsigned s = 0; s < 64; ++s)
        if (g.square_in_check(king, s, 1))
            attacked |= square_bit(s);
    EXPECT_EQ(attacked, squares({ D8, F8, D7, E7, F7 }));
    EXPECT_FALSE(g.square_in_check(king, D7, 0)); // white attacks nothing

    // The tested square's own occupant plays no part; a piece of either colour in between shields.
    const Board rook = read("8/8/8/K6r/8/8/8/8 w - -");
    EXPECT_TRUE(g.square_in_check(rook, A5, 1));
    EXPECT_TRUE(g.square_in_check(read("8/8/8/7r/8/8/8/8 w - -"), A5, 1));
    for (const char* fen :
        { "8/8/8/KN5r/8/8/8/8 w - -", "8/8/8/K5pr/8/8/8/8 w - -", "8/8/8/K3P2r/8/8/8/8 w - -" })
        EXPECT_FALSE(g.square_in_check(read(fen), A5, 1)) << fen;

    const Board pawn = read("8/8/8/8/P3P3/8/8/8 w - -");
    EXPECT_TRUE(g.square_in_check(pawn, D5, 0));
    EXPECT_TRUE(g.square_in_check(pawn, F5, 0));
    EXPECT_FALSE(g.square_in_check(pawn, E5, 0));
    EXPECT_TRUE(g.square_in_check(pawn, B5, 0));
    EXPECT_FALSE(g.square_in_check(pawn, A5, 0));
    EXPECT_FALSE(g.square_in_check(pawn, D5, 1)); // white pawns do not count for black
    const Board black_pawn = read("8/8/8/4p3/8/8/8/8 b - -");
    EXPECT_TRUE(g.square_in_check(black_pawn, D4, 1));
    EXPECT_FALSE(g.square_in_check(black_pawn, E4, 1));

    const Board knight = read("8/8/8/8/8/8/8/6N1 w - -");
    Bitboard reached = 0;
    for (unsigned s = 0; s < 64; ++s)
        if (g.square_in_check(knight, s, 0))
            reached |= square_bit(s);
    EXPECT_EQ(reached, squares({ E2, F3, H3 }));

    const Board bishop = read("8/8/8/8/8/8/8/b7 b - -");
    EXPECT_TRUE(g.square_in_check(bishop, H8, 1));
    EXPECT_FALSE(g.square_in_check(bishop, G5, 1));
    const Board queen = read("8/8/8/8/8/8/8/q7 b - -");
    EXPECT_TRUE(g.square_in_check(queen, H8, 1));
    EXPECT_TRUE(g.square_in_check(queen, A8, 1));
    EXPECT_FALSE(g.square_in_check(queen, G5, 1));

    EXPECT_THROW(g.square_in_check(empty, 64, 1), Fault);
}
