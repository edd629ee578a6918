// Building the slider attack tables.
#include "attacks.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quarn_chess {

namespace {

    // RAYS[d][s]: every square from s (exclusive) to the board edge along RAY_DIRECTIONS[d].
    constexpr std::array<std::array<Bitboard, 64>, 8> RAYS = [] {
        std::array<std::array<Bitboard, 64>, 8> rays {};
        for (unsigned d = 0; d < 8; ++d)
            for (unsigned s = 0; s < 64; ++s) {
                unsigned current = s;
                while (validate_move(static_cast<std::uint16_t>(current), RAY_DIRECTIONS[d], 1)) {
                    current += RAY_DIRECTIONS[d];
                    rays[d][s] |= square_bit(current);
                }
            }
        return rays;
    }();

    // Each ray runs up to and including the first square of `occupancy`, whatever stands there.
    // Without walking the rays: along each ray everything
    // beyond the nearest blocker is cut off with the ray that starts at that blocker. The nearest
    // blocker is the lowest set bit on rays that climb and the highest on rays that descend.
    Bitboard ray_attacks(unsigned square, Bitboard occupancy, unsigned first_direction) {
        Bitboard moves = 0;
        for (unsigned d = first_direction; d < first_direction + 4; ++d) {
            Bitboard ray = RAYS[d][square];
            const Bitboard blockers = ray & occupancy;
            if (blockers) {
                const unsigned nearest = RAY_DIRECTIONS[d] > 0
                    ? lsb(blockers)
                    : 63 - static_cast<unsigned>(std::countl_zero(blockers));
                ray ^= RAYS[d][nearest];
            }
            moves |= ray;
        }
        return moves;
    }

    SlidingTable* allocate_tables() {
        // calloc rather than new + fill: fresh pages come zeroed from the system, and the parts
        // of the tables that no key reaches are then never touched at all.
        void* memory = std::calloc(SLIDING_TABLE_COUNT, sizeof(SlidingTable));
        if (memory == nullptr)
            throw std::bad_alloc();
        return static_cast<SlidingTable*>(memory);
    }

} // namespace

void SlidingMoves::Free::operator()(SlidingTable* tables) const noexcept { std::free(tables); }

SlidingMoves::SlidingMoves()
    : tables_(allocate_tables()) { }

SlidingMoves::SlidingMoves(const SlidingMoves& other)
    : tables_(allocate_tables()) {
    std::memcpy(tables_.get(), other.tables_.get(), SLIDING_TABLE_COUNT * sizeof(SlidingTable));
}

SlidingMoves& SlidingMoves::operator=(const SlidingMoves& other) {
    if (this != &other)
        std::memcpy(tables_.get(), other.tables_.get(), SLIDING_TABLE_COUNT * sizeof(SlidingTable));
    return *this;
}

bool operator==(const SlidingMoves& a, const SlidingMoves& b) {
    return std::memcmp(a.tables_.get(), b.tables_.get(), SLIDING_TABLE_COUNT * sizeof(SlidingTable))
        == 0;
}

// Visits every subset of the relevance mask once (carry-rippler order). The magic constants give
// each subset its own key, so the order of visits does not matter for the contents.
void rook_bishop_moves(unsigned square, unsigned idx_offset, SlidingTable& table) {
    check(square < 64 && idx_offset < 2, INDEX_OUT_OF_RANGE);
    const SliderMagic& magic = SLIDER_MAGICS[idx_offset][square];
    const unsigned first_direction = idx_offset == ROOK_IDX ? 0 : 4;
    Bitboard blockers = 0;
    do {
        table[magic.key(blockers)] = ray_attacks(square, blockers, first_direction);
        blockers = (blockers - magic.mask) & magic.mask;
    } while (blockers);
}

SlidingMoves populate_sliding_moves() {
    SlidingMoves tables;
    for (unsigned s = 0; s < 64; ++s) {
        rook_bishop_moves(s, ROOK_IDX, tables[2 * s + ROOK_IDX]);
        rook_bishop_moves(s, BISHOP_IDX, tables[2 * s + BISHOP_IDX]);
    }
    return tables;
}

} // namespace quarn_chess
