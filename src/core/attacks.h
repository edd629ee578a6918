// Attack geometry: magic constants, relevance masks, step tables and the slider attack tables.
#pragma once

#include "bits.h"
#include "fault.h"
#include "types.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarn_chess {

// clang-format off
constexpr std::array<Bitboard, 64> ROOK_MAGICS = {
    0x0A8002C000108020, 0x06C00049B0002001, 0x0100200010090040, 0x2480041000800801,
    0x0280028004000800, 0x0900410008040022, 0x0280020001001080, 0x2880002041000080,
    0xA000800080400034, 0x0004808020004000, 0x2290802004801000, 0x0411000D00100020,
    0x0402800800040080, 0x000B000401004208, 0x2409000100040200, 0x0001002100004082,
    0x0022878001E24000, 0x1090810021004010, 0x0801030040200012, 0x0500808008001000,
    0x0A08018014000880, 0x8000808004000200, 0x0201008080010200, 0x0801020000441091,
    0x0000800080204005, 0x1040200040100048, 0x0000120200402082, 0x0D14880480100080,
    0x0012040280080080, 0x0100040080020080, 0x9020010080800200, 0x0813241200148449,
    0x0491604001800080, 0x0100401000402001, 0x4820010021001040, 0x0400402202000812,
    0x0209009005000802, 0x0810800601800400, 0x4301083214000150, 0x204026458E001401,
    0x0040204000808000, 0x8001008040010020, 0x8410820820420010, 0x1003001000090020,
    0x0804040008008080, 0x0012000810020004, 0x1000100200040208, 0x430000A044020001,
    0x0280009023410300, 0x00E0100040002240, 0x0000200100401700, 0x2244100408008080,
    0x0008000400801980, 0x0002000810040200, 0x8010100228810400, 0x2000009044210200,
    0x4080008040102101, 0x0040002080411D01, 0x2005524060000901, 0x0502001008400422,
    0x489A000810200402, 0x0001004400080A13, 0x4000011008020084, 0x0026002114058042,
};

constexpr std::array<Bitboard, 64> BISHOP_MAGICS = {
    0x89A1121896040240, 0x2004844802002010, 0x2068080051921000, 0x62880A0220200808,
    0x0004042004000000, 0x0100822020200011, 0xC00444222012000A, 0x0028808801216001,
    0x0400492088408100, 0x0201C401040C0084, 0x00840800910A0010, 0x0000082080240060,
    0x2000840504006000, 0x30010C4108405004, 0x1008005410080802, 0x8144042209100900,
    0x0208081020014400, 0x004800201208CA00, 0x0F18140408012008, 0x1004002802102001,
    0x0841000820080811, 0x0040200200A42008, 0x0000800054042000, 0x88010400410C9000,
    0x0520040470104290, 0x1004040051500081, 0x2002081833080021, 0x000400C00C010142,
    0x941408200C002000, 0x0658810000806011, 0x0188071040440A00, 0x4800404002011C00,
    0x0104442040404200, 0x0511080202091021, 0x0004022401120400, 0x80C0040400080120,
    0x8040010040820802, 0x0480810700020090, 0x0102008E00040242, 0x0809005202050100,
    0x8002024220104080, 0x0431008804142000, 0x0019001802081400, 0x0200014208040080,
    0x3308082008200100, 0x041010500040C020, 0x4012020C04210308, 0x208220A202004080,
    0x0111040120082000, 0x6803040141280A00, 0x2101004202410000, 0x8200000041108022,
    0x0000021082088000, 0x0002410204010040, 0x0040100400809000, 0x0822088220820214,
    0x0040808090012004, 0x00910224040218C9, 0x0402814422015008, 0x0090014004842410,
    0x0001000042304105, 0x0010008830412A00, 0x2520081090008908, 0x40102000A0A60140,
};

// 64 minus the size of the square's relevance mask.
constexpr std::array<std::uint16_t, 64> ROOK_SHIFTS = {
    52, 53, 53, 53, 53, 53, 53, 52,
    53, 54, 54, 54, 54, 54, 54, 53,
    53, 54, 54, 54, 54, 54, 54, 53,
    53, 54, 54, 54, 54, 54, 54, 53,
    53, 54, 54, 54, 54, 54, 54, 53,
    53, 54, 54, 54, 54, 54, 54, 53,
    53, 54, 54, 54, 54, 54, 54, 53,
    52, 53, 53, 53, 53, 53, 53, 52,
};

constexpr std::array<std::uint16_t, 64> BISHOP_SHIFTS = {
    58, 59, 59, 59, 59, 59, 59, 58,
    59, 59, 59, 59, 59, 59, 59, 59,
    59, 59, 57, 57, 57, 57, 59, 59,
    59, 59, 57, 55, 55, 57, 59, 59,
    59, 59, 57, 55, 55, 57, 59, 59,
    59, 59, 57, 57, 57, 57, 59, 59,
    59, 59, 59, 59, 59, 59, 59, 59,
    58, 59, 59, 59, 59, 59, 59, 58,
};
// clang-format on

// Square jumps. The eight ray directions are written once: rook directions first, then bishop
// directions. The order of the king and knight tables is the order in which their moves are
// listed.
constexpr std::array<std::int16_t, 8> RAY_DIRECTIONS = { 8, -8, 1, -1, 9, -9, 7, -7 };
constexpr std::array<std::int16_t, 4> ROOK_DIRECTIONS
    = { RAY_DIRECTIONS[0], RAY_DIRECTIONS[1], RAY_DIRECTIONS[2], RAY_DIRECTIONS[3] };
constexpr std::array<std::int16_t, 4> BISHOP_DIRECTIONS
    = { RAY_DIRECTIONS[4], RAY_DIRECTIONS[5], RAY_DIRECTIONS[6], RAY_DIRECTIONS[7] };
constexpr std::array<std::int16_t, 8> KING_DIRECTIONS = { -8, 8, 1, -1, 9, 7, -9, -7 };
constexpr std::array<std::int16_t, 8> KNIGHT_DIRECTIONS = { -17, -15, -6, 10, 17, 15, 6, -10 };

// Table selector: entry 2 * square + idx_offset of the sliding tables.
constexpr unsigned ROOK_IDX = 0;
constexpr unsigned BISHOP_IDX = 1;

// Squares whose occupancy can change a rook's attacks: its file without ranks 1 and 8 and its
// rank without files a and h, the square itself excluded.
constexpr Bitboard get_rook_cross(unsigned square) {
    const Bitboard cross = (Bitboard { 0x0001010101010100 } << file_of(square))
        | (Bitboard { 0x7E } << (8 * rank_of(square)));
    return cross & ~square_bit(square);
}

// The same for a bishop: its four diagonals without the square and without the board's rim.
constexpr Bitboard get_bishop_cross(unsigned square) {
    Bitboard cross = 0;
    for (const std::int16_t jump : BISHOP_DIRECTIONS) {
        unsigned current = square;
        while (validate_move(static_cast<std::uint16_t>(current), jump, 1)) {
            const unsigned target = current + jump;
            if (rank_of(target) == 7 || rank_of(target) == 0 || file_of(target) == 0
                || file_of(target) == 7)
                break;
            cross |= square_bit(target);
            current = target;
        }
    }
    return cross;
}

// Everything a slider lookup needs about one square, side by side: the key is
// ((occupancy & mask) * magic) >> shift.
struct SliderMagic {
    Bitboard mask = 0;
    Bitboard magic = 0;
    unsigned shift = 0;

    constexpr unsigned key(Bitboard occupancy) const {
        return static_cast<unsigned>(((occupancy & mask) * magic) >> shift);
    }
};

// SLIDER_MAGICS[idx_offset][square], idx_offset ROOK_IDX or BISHOP_IDX.
constexpr std::array<std::array<SliderMagic, 64>, 2> SLIDER_MAGICS = [] {
    std::array<std::array<SliderMagic, 64>, 2> magics {};
    for (unsigned s = 0; s < 64; ++s) {
        magics[ROOK_IDX][s] = { get_rook_cross(s), ROOK_MAGICS[s], ROOK_SHIFTS[s] };
        magics[BISHOP_IDX][s] = { get_bishop_cross(s), BISHOP_MAGICS[s], BISHOP_SHIFTS[s] };
    }
    return magics;
}();

// The shifts leave at most 12 key bits (9 for bishops), so no key can leave its table.
static_assert([] {
    for (unsigned s = 0; s < 64; ++s) {
        const auto& rook = SLIDER_MAGICS[ROOK_IDX][s];
        const auto& bishop = SLIDER_MAGICS[BISHOP_IDX][s];
        if (rook.shift != 64u - std::popcount(rook.mask) || rook.shift < 52)
            return false;
        if (bishop.shift != 64u - std::popcount(bishop.mask) || bishop.shift < 55)
            return false;
    }
    return true;
}());

// A square's step targets in the order of its direction table. Entries from `count` on hold the
// square itself, which a piece standing there never has as a target, so a loop may run over all
// eight entries without a bound check.
struct StepList {
    std::uint8_t count = 0;
    std::array<std::uint8_t, 8> to {};
};

constexpr std::array<StepList, 64> step_lists(
    const std::array<std::int16_t, 8>& directions, std::uint16_t threshold) {
    std::array<StepList, 64> lists {};
    for (unsigned s = 0; s < 64; ++s) {
        for (const std::int16_t jump : directions)
            if (validate_move(static_cast<std::uint16_t>(s), jump, threshold))
                lists[s].to[lists[s].count++] = static_cast<std::uint8_t>(s + jump);
        for (unsigned i = lists[s].count; i < 8; ++i)
            lists[s].to[i] = static_cast<std::uint8_t>(s);
    }
    return lists;
}

constexpr std::array<StepList, 64> KING_STEPS = step_lists(KING_DIRECTIONS, 1);
constexpr std::array<StepList, 64> KNIGHT_STEPS = step_lists(KNIGHT_DIRECTIONS, 2);

constexpr std::array<Bitboard, 64> step_attacks(
    const std::array<std::int16_t, 8>& directions, std::uint16_t threshold) {
    std::array<Bitboard, 64> attacks {};
    for (unsigned s = 0; s < 64; ++s)
        for (const std::int16_t jump : directions)
            if (validate_move(static_cast<std::uint16_t>(s), jump, threshold))
                attacks[s] |= square_bit(s + jump);
    return attacks;
}

// A knight or king on s attacks exactly the squares from which one attacks s.
constexpr std::array<Bitboard, 64> KNIGHT_ATTACKS = step_attacks(KNIGHT_DIRECTIONS, 2);
constexpr std::array<Bitboard, 64> KING_ATTACKS = step_attacks(KING_DIRECTIONS, 1);

// PAWN_ATTACKS[0][s]: the squares a white pawn on s attacks (s + 7, s + 9), which are also the
// squares from which a black pawn attacks s. PAWN_ATTACKS[1][s]: the same for a black pawn.
constexpr std::array<std::array<Bitboard, 64>, 2> PAWN_ATTACKS = [] {
    std::array<std::array<Bitboard, 64>, 2> attacks {};
    for (unsigned s = 0; s < 64; ++s)
        for (const std::int16_t jump : { 7, 9 }) {
            if (validate_move(static_cast<std::uint16_t>(s), jump, 1))
                attacks[0][s] |= square_bit(s + jump);
            if (validate_move(static_cast<std::uint16_t>(s), static_cast<std::int16_t>(-jump), 1))
                attacks[1][s] |= square_bit(s - jump);
        }
    return attacks;
}();

constexpr std::size_t SLIDING_TABLE_COUNT = 128;
constexpr std::size_t SLIDING_TABLE_SIZE = 4096;
using SlidingTable = std::array<Bitboard, SLIDING_TABLE_SIZE>;

// The 128 attack tables of a generator, 4 MiB in one zero-initialised allocation: table 2 * s is
// the rook table of square s, table 2 * s + 1 its bishop table. Bishop keys stay below 512, so
// the rest of every bishop table is 0. Copies are deep; there is no empty state.
class SlidingMoves {
public:
    SlidingMoves();
    SlidingMoves(const SlidingMoves& other);
    SlidingMoves& operator=(const SlidingMoves& other);
    ~SlidingMoves() = default;

    static constexpr std::size_t size() { return SLIDING_TABLE_COUNT; }

    // Checked access to one table; an entry beyond 127 is a fault.
    const SlidingTable& operator[](std::size_t entry) const {
        check(entry < SLIDING_TABLE_COUNT, INDEX_OUT_OF_RANGE);
        return tables_[entry];
    }
    SlidingTable& operator[](std::size_t entry) {
        check(entry < SLIDING_TABLE_COUNT, INDEX_OUT_OF_RANGE);
        return tables_[entry];
    }

    // The hot-path lookup. square < 64 and idx_offset < 2 are the caller's business; the key is in
    // range by the shift assertion above.
    Bitboard attacks(unsigned idx_offset, unsigned square, Bitboard occupancy) const {
        const SliderMagic& m = SLIDER_MAGICS[idx_offset][square];
        return tables_[2 * square + idx_offset][m.key(occupancy)];
    }

    friend bool operator==(const SlidingMoves& a, const SlidingMoves& b);

private:
    struct Free {
        void operator()(SlidingTable* tables) const noexcept;
    };
    std::unique_ptr<SlidingTable[], Free> tables_;
};

// Fills `table` (zeroed by the caller) with the attack set of every blocker arrangement on the
// relevance mask of `square`, stored under its magic key, for a rook (idx_offset ROOK_IDX) or a
// bishop (BISHOP_IDX).
void rook_bishop_moves(unsigned square, unsigned idx_offset, SlidingTable& table);

// All 128 tables, rook then bishop for squares 0..63.
SlidingMoves populate_sliding_moves();

} // namespace quarn_chess
