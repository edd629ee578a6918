// Helpers shared by the core's tests: reading a known-good FEN, one generator per test binary.
#pragma once

#include "board.h"
#include "move_generator.h"

#include <string_view>

namespace quarn_chess::test_support {

inline Board read(std::string_view fen) { return Board::from_fen(fen).value(); }

// Building the tables once keeps the sanitizer run fast.
inline const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

} // namespace quarn_chess::test_support
