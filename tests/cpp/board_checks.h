// Consistency checks of a Board's derived state, shared by the core's tests and the fuzzers
// (fuzz/ includes this file by its relative path).
#pragma once

#include "board.h"

#include <string>

namespace quarn_chess::board_checks {

// What of the square table and the disjoint flag is out of step with the bitboards, or "" when
// both agree: piece_on[s] must be the lowest index holding s (overlapping boards included),
// disjoint must say whether no square is held twice. Worked out from the bitboards alone.
inline std::string square_table_mismatch(const Board& board) {
    Bitboard seen = 0;
    Bitboard overlap = 0;
    for (const Bitboard b : board.pieces) {
        overlap |= seen & b;
        seen |= b;
    }
    if (board.disjoint != (overlap == 0))
        return "disjoint flag out of step";
    for (unsigned s = 0; s < 64; ++s) {
        unsigned p = 0;
        while (p < PIECE_COUNT && !((board.pieces[p] >> s) & 1))
            ++p;
        if (board.piece_on[s] != p)
            return "piece_on out of step on square " + std::to_string(s);
    }
    return {};
}

} // namespace quarn_chess::board_checks
