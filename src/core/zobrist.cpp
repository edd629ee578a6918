// The process-wide hash tables and the from-scratch hash of a position.
#include "zobrist.h"

#include "bits.h"

namespace quarn_chess {

namespace {

    constexpr ZobristLookupTable<std::uint64_t> Z64
        = ZobristLookupTable<std::uint64_t>::new_table(Z64_SEED);
    constexpr ZobristLookupTable<std::uint16_t> Z16
        = ZobristLookupTable<std::uint16_t>::new_table(Z16_SEED);

} // namespace

constinit const ZobristInfoToggles ZOBRIST_INFO_TOGGLES = [] {
    ZobristInfoToggles t;
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned b = 0; b < 8; ++b)
                if ((v >> b) & 1 && 8 * c + b < ZOBRIST_INFO_BITS) {
                    t.key[c][v] ^= Z64.features[ZOBRIST_INFO_FEATURE + 8 * c + b];
                    t.sum[c][v] ^= Z16.features[ZOBRIST_INFO_FEATURE + 8 * c + b];
                }
    return t;
}();

constinit const ZobristPairTables ZOBRIST_PAIRS = [] {
    ZobristPairTables t;
    for (std::size_t f = 0; f < PIECE_COUNT * 64; ++f)
        t.piece[f] = { Z64.features[f], Z16.features[f] };
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned b = 0; b < 8; ++b)
                if ((v >> b) & 1 && 8 * c + b < ZOBRIST_INFO_BITS) {
                    t.info[c][v].key ^= Z64.features[ZOBRIST_INFO_FEATURE + 8 * c + b];
                    t.info[c][v].sum ^= Z16.features[ZOBRIST_INFO_FEATURE + 8 * c + b];
                }
    return t;
}();

const ZobristLookupTable<std::uint64_t>& shared_z64() { return Z64; }
const ZobristLookupTable<std::uint16_t>& shared_z16() { return Z16; }

ZobristBoardComponent ZobristBoardComponent::new_component(
    const std::array<Bitboard, PIECE_COUNT>& pieces, std::uint64_t info) {
    ZobristBoardComponent component { &Z64, &Z16, 0, 0 };
    for (unsigned p = 0; p < PIECE_COUNT; ++p)
        for (unsigned s : get_bits(pieces[p]))
            component.xor_piece(p, s);
    for (unsigned b : get_bits(info & ((std::uint64_t { 1 } << ZOBRIST_INFO_BITS) - 1)))
        component.xor_info(b);
    return component;
}

} // namespace quarn_chess
