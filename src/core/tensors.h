// Tensor encoders: a board's pieces and state written into caller memory for learning code.
#pragma once

#include "board.h"

#include <cstddef>
#include <cstdint>

namespace quarn_chess {

// Sizes of one board's encodings, in elements.
constexpr std::size_t PLANES_SIZE = PIECE_COUNT * 64;
constexpr std::size_t PACKED_SIZE = PIECE_COUNT;
constexpr std::size_t SCALARS_SIZE = 6;

// The twelve bitboards as a network reads them. Without `flip`, or with white to move, they are
// the board's own. With `flip` and black to move the position is seen from black's side, as
// python-chess's Board.mirror() shows it: ranks mirrored (byte-swapped bitboards) and colours
// exchanged, so entries 0..5 hold the pieces of the side to move.
void oriented_pieces(const Board& board, bool flip, Bitboard* out);

// 12 x 64 bytes of 0 / 1, plane-major: entry p * 64 + s is bit s of bitboard p (the layout of
// Board::bitboard()), oriented as above.
void encode_planes(const Board& board, bool flip, std::uint8_t* out);

// The twelve bitboards (bit s = square s), oriented as above.
void encode_packed(const Board& board, bool flip, std::uint64_t* out);

// Six small numbers:
//   0  side to move: 1 white, 0 black (always the real side, also when flipped)
//   1  K   2  Q   3  k   4  q   castling rights, 0 / 1; with `flip` and black to move the
//      mover's rights come first (k, q, K, Q), as in the mirrored position
//   5  en-passant file 0..7 of the side to move's en-passant right, -1 without one
void encode_scalars(const Board& board, bool flip, std::int8_t* out);

// Bits to bytes: bit s of words[i] becomes byte 64 * i + s of `out` (0 or 1), for `count` words.
// The fastest implementation the CPU runs is picked once.
void expand_bits(const Bitboard* words, std::size_t count, std::uint8_t* out);

// The same with streaming stores where the CPU has them and `out` is aligned: for output far
// larger than the caches (rows of training data), written once and read later, they spare
// reading each line before it is overwritten. streaming_done() makes those stores visible in
// order with later ones; call it before the output is handed over.
void expand_bits_streaming(const Bitboard* words, std::size_t count, std::uint8_t* out);
void streaming_done();

// The implementations behind expand_bits: portable C++, and AVX2 / AVX-512 where the build and
// the CPU have them (tests compare them with the portable one).
enum class BitExpansion : std::uint8_t { PORTABLE, AVX2, AVX512 };
bool bit_expansion_available(BitExpansion kind);
void expand_bits(BitExpansion kind, const Bitboard* words, std::size_t count, std::uint8_t* out);

// The same for `count` boards, one after another in `out`.
void encode_planes_batch(
    const Board* const* boards, std::size_t count, bool flip, std::uint8_t* out);
void encode_packed_batch(
    const Board* const* boards, std::size_t count, bool flip, std::uint64_t* out);
void encode_scalars_batch(
    const Board* const* boards, std::size_t count, bool flip, std::int8_t* out);

} // namespace quarn_chess
