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

// Number of set bits: one popcnt instruction inside the functions marked CPU_DISPATCH (and in
// -march builds that have it); elsewhere on baseline x86-64 a short library routine.
constexpr unsigned popcount(Bitboard b) { return static_cast<unsigned>(std::popcount(b)); }

// The hot entry points of move generation are compiled once per CPU level and the loader picks
// the best one for the running CPU (GNU ifunc), so a build for baseline x86-64 - what a wheel
// must run on - still uses popcnt, tzcnt and the BMI instructions where the CPU has them.
// Sanitizer builds keep one version: their runtime is not yet up when ifunc resolvers run.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define QUARN_CPU_DISPATCH 1
#endif
#else
#define QUARN_CPU_DISPATCH 1
#endif
#endif
#ifdef QUARN_CPU_DISPATCH
#define CPU_DISPATCH __attribute__((target_clones("arch=x86-64-v3", "popcnt", "default")))
#else
#define CPU_DISPATCH
#endif

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
