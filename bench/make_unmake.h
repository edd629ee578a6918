// The make/unmake loop both native benchmarks time: push_move + pop_move over the legal root
// moves of a position.
#pragma once

#include "board.h"
#include "move_generator.h"

#include <chrono>
#include <cstdlib>
#include <string_view>

namespace quarn_chess::bench {

// Nanoseconds per push_move + pop_move pair, over about `pairs` pairs; 0 when the position has
// no legal move.
inline double make_unmake_ns(const MoveGenerator& generator, std::string_view fen, unsigned pairs) {
    Board board = Board::from_fen(fen).value();
    MoveList list;
    generator.moves(board, list);
    if (list.empty())
        return 0;
    const unsigned rounds = pairs / static_cast<unsigned>(list.size()) + 1;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned r = 0; r < rounds; ++r)
        for (const ChessMove m : list) {
            if (board.push_move(m))
                std::abort();
            board.pop_move();
        }
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return seconds * 1e9 / (double(rounds) * double(list.size()));
}

} // namespace quarn_chess::bench
