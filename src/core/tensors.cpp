// Plane, packed and scalar encodings, one board or a batch at a time.
#include "tensors.h"

#include "bits.h"

#include <array>
#include <cstring>

namespace quarn_chess {

namespace {

    // BYTE_BITS[v]: the eight bits of v, lowest first, one per byte, as one 64-bit word.
    constexpr std::array<std::uint64_t, 256> BYTE_BITS = [] {
        std::array<std::uint64_t, 256> table {};
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned i = 0; i < 8; ++i)
                table[v] |= static_cast<std::uint64_t>((v >> i) & 1) << (8 * i);
        return table;
    }();

    constexpr bool flipped(const Board& board, bool flip) { return flip && !(board.info & 1); }

} // namespace

void oriented_pieces(const Board& board, bool flip, Bitboard* out) {
    if (!flipped(board, flip)) {
        std::memcpy(out, board.pieces.data(), sizeof(Bitboard) * PIECE_COUNT);
        return;
    }
    for (unsigned p = 0; p < BLACK_OFFSET; ++p) {
        out[p] = __builtin_bswap64(board.pieces[p + BLACK_OFFSET]);
        out[p + BLACK_OFFSET] = __builtin_bswap64(board.pieces[p]);
    }
}

void encode_planes(const Board& board, bool flip, std::uint8_t* out) {
    Bitboard pieces[PIECE_COUNT];
    oriented_pieces(board, flip, pieces);
    for (unsigned p = 0; p < PIECE_COUNT; ++p) {
        const Bitboard b = pieces[p];
        for (unsigned k = 0; k < 8; ++k) {
            const std::uint64_t bytes = BYTE_BITS[(b >> (8 * k)) & 0xFF];
            std::memcpy(out + p * 64 + k * 8, &bytes, 8);
        }
    }
}

void encode_packed(const Board& board, bool flip, std::uint64_t* out) {
    oriented_pieces(board, flip, out);
}

void encode_scalars(const Board& board, bool flip, std::int8_t* out) {
    const std::uint64_t info = board.info;
    const bool white = info & 1;
    const auto right = [&](unsigned bit) { return static_cast<std::int8_t>((info >> bit) & 1); };
    out[0] = white ? 1 : 0;
    if (flipped(board, flip)) {
        out[1] = right(INFO_BLACK_KING_SIDE);
        out[2] = right(INFO_BLACK_QUEEN_SIDE);
        out[3] = right(INFO_WHITE_KING_SIDE);
        out[4] = right(INFO_WHITE_QUEEN_SIDE);
    } else {
        out[1] = right(INFO_WHITE_KING_SIDE);
        out[2] = right(INFO_WHITE_QUEEN_SIDE);
        out[3] = right(INFO_BLACK_KING_SIDE);
        out[4] = right(INFO_BLACK_QUEEN_SIDE);
    }
    const std::uint64_t files
        = (info >> (white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE)) & 0xFF;
    out[5] = files ? static_cast<std::int8_t>(lsb(files)) : std::int8_t { -1 };
}

void encode_planes_batch(
    const Board* const* boards, std::size_t count, bool flip, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i)
        encode_planes(*boards[i], flip, out + i * PLANES_SIZE);
}

void encode_packed_batch(
    const Board* const* boards, std::size_t count, bool flip, std::uint64_t* out) {
    for (std::size_t i = 0; i < count; ++i)
        encode_packed(*boards[i], flip, out + i * PACKED_SIZE);
}

void encode_scalars_batch(
    const Board* const* boards, std::size_t count, bool flip, std::int8_t* out) {
    for (std::size_t i = 0; i < count; ++i)
        encode_scalars(*boards[i], flip, out + i * SCALARS_SIZE);
}

} // namespace quarn_chess
