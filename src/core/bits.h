// Bit helpers: lowest set bit, ascending set-bit iteration, and the one-step edge test.
#pragma once

#include "types.h"

#include <bit>
#include <cstdint>
#include <cstdlib>

namespace quarn_chess {

// Index of the lowest set bit; 64 for an empty bitboard.
constexpr unsigned lsb(Bitboard b) { return static_cast<unsigned>(std::countr_zero(b)); }

// Removes the lowest set bit of b and returns its index. b must not be empty.
constexpr unsigned pop_lsb(Bitboard& b) {
    const unsigned s = lsb(b);
    b &= b - 1;
    return s;
}

constexpr Bitboard square_bit(unsigned square) { return Bitboard { 1 } << square; }

// Number of set bits. Written out (a parallel sum) rather than std::popcount, which on the
// baseline x86-64 the wheels target becomes a library call.
constexpr unsigned popcount(Bitboard b) {
    b -= (b >> 1) & 0x5555555555555555;
    b = (b & 0x3333333333333333) + ((b >> 2) & 0x3333333333333333);
    b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<unsigned>((b * 0x0101010101010101) >> 56);
}

// The set bits of a bitboard as an ascending sequence of square indices, without allocating:
//   for (unsigned s : get_bits(b)) ...
class BitRange {
public:
    class Iterator {
    public:
        constexpr explicit Iterator(Bitboard b)
            : b_(b) { }
        constexpr unsigned operator*() const { return lsb(b_); }
        constexpr Iterator& operator++() {
            b_ &= b_ - 1;
            return *this;
        }
        constexpr bool operator!=(const Iterator& other) const { return b_ != other.b_; }

    private:
        Bitboard b_;
    };

    constexpr explicit BitRange(Bitboard b)
        : b_(b) { }
    constexpr Iterator begin() const { return Iterator(b_); }
    constexpr Iterator end() const { return Iterator(0); }

private:
    Bitboard b_;
};

constexpr BitRange get_bits(Bitboard b) { return BitRange(b); }

// Whether one step of `jump` from `square` stays on the board without wrapping around an edge:
// the target (in 16-bit unsigned arithmetic, so stepping below a1 wraps far above 63) must be at
// most 63 and at most `threshold` files away. Threshold 1 serves kings, pawn captures and slider
// steps; 2 serves knight jumps.
constexpr bool validate_move(std::uint16_t square, std::int16_t jump, std::uint16_t threshold) {
    const auto target = static_cast<std::uint16_t>(square + jump);
    if (target > 63)
        return false;
    const int distance = static_cast<int>(file_of(target)) - static_cast<int>(file_of(square));
    return (distance < 0 ? -distance : distance) <= threshold;
}

} // namespace quarn_chess
