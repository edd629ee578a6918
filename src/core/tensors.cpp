// Plane, packed and scalar encodings, one board or a batch at a time.
#include "tensors.h"

#include "bits.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUARN_X86_SIMD 1
#include <immintrin.h>
#endif

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

    void expand_portable(const Bitboard* words, std::size_t count, std::uint8_t* out) {
        for (std::size_t i = 0; i < count; ++i) {
            const Bitboard b = words[i];
            for (unsigned k = 0; k < 8; ++k) {
                const std::uint64_t bytes = BYTE_BITS[(b >> (8 * k)) & 0xFF];
                std::memcpy(out + i * 64 + k * 8, &bytes, 8);
            }
        }
    }

#ifdef QUARN_X86_SIMD
    // Each byte of the word copied to eight lanes, masked with the lane's bit, clamped to 0 / 1;
    // written with streaming stores when `Stream` (then `out` must be aligned to 32 bytes).
    template <bool Stream>
    __attribute__((target("avx2"))) void expand_avx2(
        const Bitboard* words, std::size_t count, std::uint8_t* out) {
        const __m256i low_bytes = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,
            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
        const __m256i high_bytes = _mm256_add_epi8(low_bytes, _mm256_set1_epi8(4));
        const __m256i lane_bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201));
        const __m256i one = _mm256_set1_epi8(1);
        for (std::size_t i = 0; i < count; ++i) {
            const __m256i word = _mm256_set1_epi64x(static_cast<long long>(words[i]));
            const __m256i low = _mm256_and_si256(_mm256_shuffle_epi8(word, low_bytes), lane_bits);
            const __m256i high = _mm256_and_si256(_mm256_shuffle_epi8(word, high_bytes), lane_bits);
            auto* at = reinterpret_cast<__m256i*>(out + i * 64);
            if constexpr (Stream) {
                _mm256_stream_si256(at, _mm256_min_epu8(low, one));
                _mm256_stream_si256(at + 1, _mm256_min_epu8(high, one));
            } else {
                _mm256_storeu_si256(at, _mm256_min_epu8(low, one));
                _mm256_storeu_si256(at + 1, _mm256_min_epu8(high, one));
            }
        }
    }

    // The word is the byte mask of a masked move of ones (`out` aligned to 64 bytes when
    // `Stream`).
    template <bool Stream>
    __attribute__((target("avx512f,avx512bw"))) void expand_avx512(
        const Bitboard* words, std::size_t count, std::uint8_t* out) {
        const __m512i one = _mm512_set1_epi8(1);
        for (std::size_t i = 0; i < count; ++i) {
            const __m512i bytes = _mm512_maskz_mov_epi8(words[i], one);
            if constexpr (Stream)
                _mm512_stream_si512(reinterpret_cast<__m512i*>(out + i * 64), bytes);
            else
                _mm512_storeu_si512(out + i * 64, bytes);
        }
    }
#endif

    using Expander = void (*)(const Bitboard*, std::size_t, std::uint8_t*);

    struct StreamingExpander {
        Expander expand;
        std::uintptr_t alignment; // what `out` must be aligned to; else expand_bits is used
    };

    StreamingExpander best_streaming_expander() {
#ifdef QUARN_X86_SIMD
        if (bit_expansion_available(BitExpansion::AVX512))
            return { expand_avx512<true>, 64 };
        if (bit_expansion_available(BitExpansion::AVX2))
            return { expand_avx2<true>, 32 };
#endif
        return { nullptr, 0 };
    }

    Expander expander_of(BitExpansion kind) {
        switch (kind) {
#ifdef QUARN_X86_SIMD
        case BitExpansion::AVX2: return expand_avx2<false>;
        case BitExpansion::AVX512: return expand_avx512<false>;
#endif
        default: return expand_portable;
        }
    }

    Expander best_expander() {
        for (const BitExpansion kind : { BitExpansion::AVX512, BitExpansion::AVX2 })
            if (bit_expansion_available(kind))
                return expander_of(kind);
        return expand_portable;
    }

} // namespace

bool bit_expansion_available(BitExpansion kind) {
    switch (kind) {
    case BitExpansion::PORTABLE: return true;
#ifdef QUARN_X86_SIMD
    case BitExpansion::AVX2: return __builtin_cpu_supports("avx2");
    case BitExpansion::AVX512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
    default: return false;
    }
}

void expand_bits(BitExpansion kind, const Bitboard* words, std::size_t count, std::uint8_t* out) {
    expander_of(bit_expansion_available(kind) ? kind : BitExpansion::PORTABLE)(words, count, out);
}

void expand_bits(const Bitboard* words, std::size_t count, std::uint8_t* out) {
    static const Expander best = best_expander();
    best(words, count, out);
}

void expand_bits_streaming(const Bitboard* words, std::size_t count, std::uint8_t* out) {
    static const StreamingExpander best = best_streaming_expander();
    if (best.expand != nullptr
        && (reinterpret_cast<std::uintptr_t>(out) & (best.alignment - 1)) == 0)
        best.expand(words, count, out);
    else
        expand_bits(words, count, out);
}

void streaming_done() {
#ifdef QUARN_X86_SIMD
    _mm_sfence();
#endif
}

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
    expand_bits(pieces, PIECE_COUNT, out);
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
