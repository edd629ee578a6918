// CRC-32: table slicing everywhere, carry-less multiplication folding where x86 has it.
#include "crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUARN_X86_CLMUL 1
#include <immintrin.h>
#endif

namespace quarn_chess {

namespace {

    // TABLES[0][b]: the CRC of byte b; TABLES[k][b]: of byte b followed by k zero bytes.
    constexpr std::array<std::array<std::uint32_t, 256>, 8> TABLES = [] {
        std::array<std::array<std::uint32_t, 256>, 8> tables {};
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t c = b;
            for (int i = 0; i < 8; ++i)
                c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            tables[0][b] = c;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (std::size_t b = 0; b < 256; ++b)
                tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
        return tables;
    }();

    std::uint32_t crc32_portable(std::uint32_t crc, const unsigned char* p, std::size_t n) {
        std::uint32_t c = ~crc;
        if constexpr (std::endian::native == std::endian::little) {
            for (; n >= 8; n -= 8, p += 8) {
                std::uint32_t one;
                std::uint32_t two;
                std::memcpy(&one, p, 4);
                std::memcpy(&two, p + 4, 4);
                one ^= c;
                c = TABLES[7][one & 0xFF] ^ TABLES[6][(one >> 8) & 0xFF]
                    ^ TABLES[5][(one >> 16) & 0xFF] ^ TABLES[4][one >> 24] ^ TABLES[3][two & 0xFF]
                    ^ TABLES[2][(two >> 8) & 0xFF] ^ TABLES[1][(two >> 16) & 0xFF]
                    ^ TABLES[0][two >> 24];
            }
        }
        for (; n > 0; --n, ++p)
            c = TABLES[0][(c ^ *p) & 0xFF] ^ (c >> 8);
        return ~c;
    }

#ifdef QUARN_X86_CLMUL
    // Folding as in Intel's "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ":
    // four 128-bit lanes are folded 512 bits ahead while the input lasts, then into one lane,
    // then 128 -> 64 bits, and a Barrett reduction gives the 32-bit remainder. The constants are
    // powers of x modulo the polynomial, bit-reflected; the rest of the bytes (under 16) go to the
    // table code.
    // One lane carried 128 * k bits ahead (the keys of that distance) and added to the next one.
    __attribute__((target("pclmul,sse4.1"))) inline __m128i fold(
        __m128i lane, __m128i keys, __m128i next) {
        const __m128i low = _mm_clmulepi64_si128(lane, keys, 0x00);
        const __m128i high = _mm_clmulepi64_si128(lane, keys, 0x11);
        return _mm_xor_si128(_mm_xor_si128(low, high), next);
    }

    __attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_clmul(
        std::uint32_t crc, const unsigned char* p, std::size_t n) {
        if (n < 64)
            return crc32_portable(crc, p, n);
        const auto load = [](const unsigned char* at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        };
        const __m128i fold_by_4 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
        const __m128i fold_by_1 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
        const __m128i fold_96 = _mm_set_epi64x(0, 0x0163cd6124);
        const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
        const __m128i low_32 = _mm_setr_epi32(-1, 0, -1, 0);

        __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
        __m128i x2 = load(p + 16);
        __m128i x3 = load(p + 32);
        __m128i x4 = load(p + 48);
        p += 64;
        n -= 64;
        for (; n >= 64; p += 64, n -= 64) {
            x1 = fold(x1, fold_by_4, load(p));
            x2 = fold(x2, fold_by_4, load(p + 16));
            x3 = fold(x3, fold_by_4, load(p + 32));
            x4 = fold(x4, fold_by_4, load(p + 48));
        }
        x1 = fold(x1, fold_by_1, x2);
        x1 = fold(x1, fold_by_1, x3);
        x1 = fold(x1, fold_by_1, x4);
        for (; n >= 16; p += 16, n -= 16)
            x1 = fold(x1, fold_by_1, load(p));

        // 128 -> 64 bits.
        __m128i x2b = _mm_clmulepi64_si128(x1, fold_by_1, 0x10);
        x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
        x2b = _mm_srli_si128(x1, 4);
        x1 = _mm_and_si128(x1, low_32);
        x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, fold_96, 0x00), x2b);
        // Barrett reduction to 32 bits.
        x2b = _mm_and_si128(x1, low_32);
        x2b = _mm_clmulepi64_si128(x2b, barrett, 0x10);
        x2b = _mm_and_si128(x2b, low_32);
        x2b = _mm_clmulepi64_si128(x2b, barrett, 0x00);
        x1 = _mm_xor_si128(x1, x2b);
        const auto folded = static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
        return crc32_portable(~folded, p, n);
    }
#endif

    using Method = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);

    Method method_of(Crc32Method method) {
#ifdef QUARN_X86_CLMUL
        if (method == Crc32Method::CLMUL)
            return crc32_clmul;
#endif
        (void)method;
        return crc32_portable;
    }

} // namespace

bool crc32_available(Crc32Method method) {
    switch (method) {
    case Crc32Method::PORTABLE: return true;
#ifdef QUARN_X86_CLMUL
    case Crc32Method::CLMUL:
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif
    default: return false;
    }
}

std::uint32_t crc32(Crc32Method method, std::uint32_t crc, const void* data, std::size_t size) {
    return method_of(crc32_available(method) ? method : Crc32Method::PORTABLE)(
        crc, static_cast<const unsigned char*>(data), size);
}

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size) {
    static const Method best = method_of(
        crc32_available(Crc32Method::CLMUL) ? Crc32Method::CLMUL : Crc32Method::PORTABLE);
    return best(crc, static_cast<const unsigned char*>(data), size);
}

} // namespace quarn_chess
