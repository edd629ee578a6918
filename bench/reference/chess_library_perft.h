// The chess-library side of the native comparison: perft and make/unmake timing built on its own
// header. Plain types only, so that the C++17 translation unit and ours agree on the interface.
#pragma once

#include <cstdint>

namespace reference {

// Leaf count `depth` plies below `fen`; with `bulk` the last ply counts the legal moves.
std::uint64_t perft(const char* fen, unsigned depth, bool bulk);

// Nanoseconds per makeMove + unmakeMove pair over the legal root moves of `fen`, `pairs` pairs.
double make_unmake_ns(const char* fen, unsigned pairs);

} // namespace reference
