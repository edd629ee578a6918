// Building the slider attack tables, and the square attack test that reads them.
#include "attacks.h"

#include "move_generator.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quarn_chess {

namespace {

    // The rook and bishop jumps side by side: index 0..3 rook, 4..7 bishop, in the order of
    // ROOK_DIRECTIONS and BISHOP_DIRECTIONS.
    constexpr std::array<std::int16_t, 8> RAY_DIRECTIONS = { 8, -8, 1, -1, 9, -9, 7, -7 };

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

    // Same result as get_moves_from_blockers, without walking the rays: along each ray everything
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

// Visits every subset of `cross` once (carry-rippler order). The magic constants give each
// subset its own key, so the order of visits does not matter for the contents.
void rook_bishop_moves(
    unsigned square, Bitboard cross, PieceIndex piece_type, SlidingTable& table) {
    check(square < 64, INDEX_OUT_OF_RANGE);
    const bool rook = piece_type == ROOK;
    const Bitboard magic = rook ? ROOK_MAGICS[square] : BISHOP_MAGICS[square];
    const unsigned shift = rook ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square];
    const unsigned first_direction = rook ? 0 : 4;
    Bitboard blockers = 0;
    do {
        const Bitboard key = (blockers * magic) >> shift;
        check(key < SLIDING_TABLE_SIZE, INDEX_OUT_OF_RANGE);
        table[key] = ray_attacks(square, blockers, first_direction);
        blockers = (blockers - cross) & cross;
    } while (blockers);
}

SlidingMoves populate_sliding_moves() {
    SlidingMoves tables;
    for (unsigned s = 0; s < 64; ++s) {
        rook_bishop_moves(s, get_rook_cross(s), ROOK, tables[2 * s + ROOK_IDX]);
        rook_bishop_moves(s, get_bishop_cross(s), BISHOP, tables[2 * s + BISHOP_IDX]);
    }
    return tables;
}

MoveGenerator::MoveGenerator()
    : sliding_moves(populate_sliding_moves()) { }

// Knights, pawns, then sliders and the king; the first hit answers. A slider attack set ends at
// the first occupied square, so any piece in between shields the square, and the occupant of the
// square itself never does.
bool MoveGenerator::square_in_check(
    const Board& board, unsigned square, std::uint64_t to_move) const {
    check(square < 64, INDEX_OUT_OF_RANGE);
    return attacked_by(board, to_move == 1 ? BLACK_OFFSET : WHITE_OFFSET, square, board.occupied());
}

} // namespace quarn_chess
