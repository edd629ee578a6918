// Line and castling-rights tables shared by move generation and the PGN and token replays.
#pragma once

#include "attacks.h"
#include "types.h"

#include <array>
#include <cstdint>

namespace quarn_chess {

// BETWEEN[a][b]: the squares strictly between two squares on one rank, file or diagonal (empty
// for squares on no common line). 32 KiB that stay in cache: a slider on a line through a square
// moves to or attacks it when nothing stands between, found without the 4 MiB of magic tables.
constexpr std::array<std::array<Bitboard, 64>, 64> BETWEEN = [] {
    std::array<std::array<Bitboard, 64>, 64> between {};
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b) {
            const int files = b % 8 - a % 8;
            const int ranks = b / 8 - a / 8;
            if (a == b || !(files == 0 || ranks == 0 || files == ranks || files == -ranks))
                continue;
            const int step = (ranks > 0          ? 8
                                     : ranks < 0 ? -8
                                                 : 0)
                + (files > 0        ? 1
                        : files < 0 ? -1
                                    : 0);
            for (int t = a + step; t != b; t += step)
                between[a][b] |= Bitboard { 1 } << t;
        }
    return between;
}();

// LINES[ROOK_IDX][s]: the other squares of s's rank and file; LINES[BISHOP_IDX][s]: of its
// diagonals (s itself excluded), i.e. what a rook or bishop on s attacks on an empty board. A
// slider off these lines cannot attack s, whatever stands between, and only a piece leaving one of
// a king's lines can uncover an attack on it.
constexpr std::array<std::array<Bitboard, 64>, 2> LINES = [] {
    std::array<std::array<Bitboard, 64>, 2> lines {};
    for (int s = 0; s < 64; ++s)
        for (int t = 0; t < 64; ++t) {
            const int files = t % 8 - s % 8;
            const int ranks = t / 8 - s / 8;
            if (t == s)
                continue;
            if (files == 0 || ranks == 0)
                lines[ROOK_IDX][s] |= Bitboard { 1 } << t;
            else if (files == ranks || files == -ranks)
                lines[BISHOP_IDX][s] |= Bitboard { 1 } << t;
        }
    return lines;
}();

// The castling rights (info-word bits, see types.h) that end when a piece leaves or reaches each
// square: a right is held only while its king and rook stand at home.
constexpr std::array<std::uint64_t, 64> RIGHTS_LOST = [] {
    std::array<std::uint64_t, 64> lost {};
    constexpr auto bit = [](unsigned b) { return std::uint64_t { 1 } << b; };
    lost[4] = bit(INFO_WHITE_KING_SIDE) | bit(INFO_WHITE_QUEEN_SIDE);
    lost[7] = bit(INFO_WHITE_KING_SIDE);
    lost[0] = bit(INFO_WHITE_QUEEN_SIDE);
    lost[60] = bit(INFO_BLACK_KING_SIDE) | bit(INFO_BLACK_QUEEN_SIDE);
    lost[63] = bit(INFO_BLACK_KING_SIDE);
    lost[56] = bit(INFO_BLACK_QUEEN_SIDE);
    return lost;
}();

} // namespace quarn_chess
