// Rng: the fixed-seed permuted congruential generator that fills the hash tables.
#pragma once

#include <cstdint>

namespace quarn_chess {

// A PCG step with the XSH-RR output, computed on 64-bit values throughout: the xorshifted value
// keeps up to 37 bits and the rotation spills into the high half, so outputs use all 64 bits.
// The numbers it yields are part of every hash value and must never change.
struct Rng {
    std::uint64_t state = 0;
    std::uint64_t inc = 0;

    static constexpr Rng new_deterministic(std::uint64_t state, std::uint64_t inc) {
        Rng rng { state, inc };
        rng.random();
        return rng;
    }

    constexpr std::uint64_t random() {
        const std::uint64_t old_state = state;
        state = old_state * 6364136223846793005ULL + (inc | 1);
        const std::uint64_t xorshifted = ((old_state >> 18) ^ old_state) >> 27;
        const std::uint64_t rot = old_state >> 59;
        return (xorshifted >> rot) | (xorshifted << ((0 - rot) & 31));
    }
};

} // namespace quarn_chess
