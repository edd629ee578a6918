// ChessMove: a move packed into 16 bits, its coordinate text and the text reader.
#pragma once

#include "fault.h"
#include "result.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn_chess {

// Layout of ChessMove::data:
//   bits  0..5   from-square
//   bits  6..11  to-square
//   bits 12..15  special code:
//                0 ordinary move or capture (and every four-character move text)
//                1 en-passant capture      2 pawn double step     3 castling
//                4 promotion to knight     5 bishop    6 rook     7 queen
//                8..15 unused
// Making a move reads the special code only to pick the promoted piece; en passant, castling
// and double steps are recognised from the board.
struct ChessMove {
    std::uint16_t data = 0;

    static constexpr std::uint16_t EN_PASSANT = 1;
    static constexpr std::uint16_t DOUBLE_STEP = 2;
    static constexpr std::uint16_t CASTLING = 3;
    static constexpr std::uint16_t PROMOTE_KNIGHT = 4;
    static constexpr std::uint16_t PROMOTE_QUEEN = 7;

    // Checked constructor: from and to below 64, special below 16, else a fault.
    static ChessMove new_move(std::uint16_t from, std::uint16_t to, std::uint16_t special) {
        check(from < 64, "Invalid FROM int");
        check(to < 64, "Invalid TO int");
        check(special < 16, "Invalid SPECIAL int");
        return packed(from, to, special);
    }

    // For callers whose squares are in range by construction (the move generator).
    static constexpr ChessMove packed(unsigned from, unsigned to, unsigned special = 0) {
        return ChessMove { static_cast<std::uint16_t>(from | to << 6 | special << 12) };
    }

    constexpr std::uint16_t from() const { return data & 0x3F; }
    constexpr std::uint16_t to() const { return (data >> 6) & 0x3F; }
    constexpr std::uint16_t special() const { return data >> 12; }

    static constexpr std::uint16_t rank(std::uint16_t n) { return n >> 3; }
    static constexpr std::uint16_t file(std::uint16_t n) { return n & 7; }
    static std::string square(std::uint16_t n);

    // Reads coordinate text such as "e2e4" or "e7e8q" (surrounding white space is trimmed).
    // Wrong length or promotion letter is an Error; a malformed square is a Fault.
    static Result<ChessMove> from_str(std::string_view s_move);

    // Writes the coordinate text into out (room for 5 bytes) and returns its length. A special
    // code of 8..15 is a fault.
    std::size_t write(char* out) const;
    std::string to_string() const;

    friend constexpr bool operator==(ChessMove, ChessMove) = default;
};

} // namespace quarn_chess
