// Zobrist hashing: the feature tables and the per-board key and companion sum.
#pragma once

#include "fault.h"
#include "rng.h"
#include "types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarn_chess {

// Feature numbering:
//   0..767    piece p on square s: p * 64 + s
//   768..789  bit b (0..21) of the info word: 768 + b
// 768 is the side to move, 769..772 the castling rights, 773..788 the en-passant bits.
constexpr std::size_t ZOBRIST_FEATURES = 790;
constexpr std::size_t ZOBRIST_INFO_FEATURE = 768;
constexpr unsigned ZOBRIST_INFO_BITS = 22;

template <class T> struct ZobristLookupTable {
    std::array<T, ZOBRIST_FEATURES> features {};

    // Entries 0..789 in order, each one output of Rng::new_deterministic(seed, sizeof(T)),
    // truncated to T.
    static constexpr ZobristLookupTable new_table(std::uint64_t seed) {
        ZobristLookupTable table;
        Rng rng = Rng::new_deterministic(seed, sizeof(T));
        for (T& entry : table.features)
            entry = static_cast<T>(rng.random());
        return table;
    }

    T index(std::size_t feature) const {
        check(feature < ZOBRIST_FEATURES, INDEX_OUT_OF_RANGE);
        return features[feature];
    }
};

constexpr std::uint64_t Z64_SEED = 0;
constexpr std::uint64_t Z16_SEED = 404;

// The two tables. Their contents follow from the fixed seeds, so one immutable pair serves every
// board in the process; boards and their copies refer to it and never change it.
const ZobristLookupTable<std::uint64_t>& shared_z64();
const ZobristLookupTable<std::uint16_t>& shared_z16();

// The toggles of any set of info bits 0..21 at once, eight bits at a time: key[c][v] and sum[c][v]
// are the xor of the features of the set bits of v << 8c. Built from the shared tables.
struct ZobristInfoToggles {
    std::array<std::array<std::uint64_t, 256>, 3> key {};
    std::array<std::array<std::uint16_t, 256>, 3> sum {};
};
extern const ZobristInfoToggles ZOBRIST_INFO_TOGGLES;

// Both parts of the hash side by side in one 16-byte vector: the key in lane 0, the sum in the low
// 16 bits of lane 1 (the rest of lane 1 is zero), so that one load and one xor toggle a feature in
// both. Making a move works on these; everything else sees z_key and z_sum.
using ZobristPair = std::uint64_t __attribute__((vector_size(16)));

// A feature's key and sum as a ZobristPair; 16-byte aligned, so the xor can read it directly.
struct alignas(16) ZobristPairEntry {
    std::uint64_t key;
    std::uint64_t sum;
};

// The tables move making reads, built from the shared tables:
//   piece[p * 64 + s]   piece p on square s; row NO_PIECE (12) is zero (nothing there)
//   info[c][v]          the info bits of v << 8c, as ZobristInfoToggles (bits 0..21 only)
struct ZobristPairTables {
    std::array<ZobristPairEntry, (PIECE_COUNT + 1) * 64> piece {};
    std::array<std::array<ZobristPairEntry, 256>, 3> info {};

    static ZobristPair load(const ZobristPairEntry& entry) {
        ZobristPair pair;
        std::memcpy(&pair, &entry, sizeof pair);
        return pair;
    }
    ZobristPair piece_on(unsigned p, unsigned square) const { return load(piece[p * 64 + square]); }
    ZobristPair side_to_move() const { return load(info[0][1]); }
    // The toggles of the info bits set in `changes`, which holds no bit above 23.
    ZobristPair info_changes(std::uint64_t changes) const {
        return load(info[0][changes & 0xFF]) ^ load(info[1][(changes >> 8) & 0xFF])
            ^ load(info[2][changes >> 16]);
    }
};
extern const ZobristPairTables ZOBRIST_PAIRS;

// Aligned to 16 so that z_key and z_sum, read and written as one pair on every move, never span two
// cache lines.
struct alignas(16) ZobristBoardComponent {
    const ZobristLookupTable<std::uint64_t>* z64 = nullptr;
    const ZobristLookupTable<std::uint16_t>* z16 = nullptr;
    std::uint64_t z_key = 0;
    std::uint16_t z_sum = 0;
    // Always zero: the third to eighth bytes of lane 1 when key and sum are read as a pair.
    std::array<std::uint16_t, 3> pair_rest {};

    // From scratch: one toggle per set bit of every piece bitboard and per set info bit 0..21
    // (higher info bits are ignored).
    static ZobristBoardComponent new_component(
        const std::array<Bitboard, PIECE_COUNT>& pieces, std::uint64_t info);

    void xor_feature(std::size_t feature) {
        z_key ^= z64->index(feature);
        z_sum ^= z16->index(feature);
    }
    void xor_piece(unsigned piece, unsigned square) {
        xor_feature(std::size_t { piece } * 64 + square);
    }
    void xor_info(unsigned info_idx) { xor_feature(ZOBRIST_INFO_FEATURE + info_idx); }
    // Toggles the features of every info bit 0..21 set in `changes` (higher bits are ignored).
    void xor_info_changes(std::uint64_t changes) {
        const ZobristInfoToggles& t = ZOBRIST_INFO_TOGGLES;
        changes &= (std::uint64_t { 1 } << ZOBRIST_INFO_BITS) - 1;
        z_key
            ^= t.key[0][changes & 0xFF] ^ t.key[1][(changes >> 8) & 0xFF] ^ t.key[2][changes >> 16];
        z_sum
            ^= t.sum[0][changes & 0xFF] ^ t.sum[1][(changes >> 8) & 0xFF] ^ t.sum[2][changes >> 16];
    }

    // z_key and z_sum as one pair, and back.
    ZobristPair pair() const {
        ZobristPair value;
        std::memcpy(&value, reinterpret_cast<const char*>(this) + PAIR_OFFSET, sizeof value);
        return value;
    }
    void set_pair(ZobristPair value) {
        std::memcpy(reinterpret_cast<char*>(this) + PAIR_OFFSET, &value, sizeof value);
    }

    friend bool operator==(const ZobristBoardComponent& a, const ZobristBoardComponent& b) {
        return a.z_key == b.z_key && a.z_sum == b.z_sum;
    }

private:
    static constexpr std::size_t PAIR_OFFSET = 16;
};

// z_key, z_sum and pair_rest fill the 16 bytes pair() reads, in that order.
static_assert(offsetof(ZobristBoardComponent, z_key) == 16
    && offsetof(ZobristBoardComponent, z_sum) == 24 && sizeof(ZobristBoardComponent) == 32);

} // namespace quarn_chess
