// Perft with chess-library (https://github.com/Disservin/chess-library), written as its own
// comparison benchmark writes it. Built only for the side-by-side benchmark, as C++17 and outside
// our warning flags; the header is read from outside the repository and never ships.
#include "chess_library_perft.h"

#include <chess.hpp>
#include <chrono>

namespace {

std::uint64_t count(chess::Board& board, unsigned depth, bool bulk) {
    if (depth == 0)
        return 1;
    chess::Movelist moves;
    chess::movegen::legalmoves(moves, board);
    if (bulk && depth == 1)
        return moves.size();
    std::uint64_t nodes = 0;
    for (const chess::Move& move : moves) {
        board.makeMove(move);
        nodes += count(board, depth - 1, bulk);
        board.unmakeMove(move);
    }
    return nodes;
}

} // namespace

std::uint64_t reference::perft(const char* fen, unsigned depth, bool bulk) {
    chess::Board board(fen);
    return count(board, depth, bulk);
}

double reference::make_unmake_ns(const char* fen, unsigned pairs) {
    chess::Board board(fen);
    chess::Movelist moves;
    chess::movegen::legalmoves(moves, board);
    if (moves.empty())
        return 0;
    const unsigned rounds = pairs / static_cast<unsigned>(moves.size());
    const auto start = std::chrono::steady_clock::now();
    for (unsigned r = 0; r < rounds; ++r)
        for (const chess::Move& move : moves) {
            board.makeMove(move);
            board.unmakeMove(move);
        }
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Keep the board observable so the loop cannot be dropped.
    if (board.hash() == 1)
        return -1;
    return seconds * 1e9 / (double(rounds) * double(moves.size()));
}
