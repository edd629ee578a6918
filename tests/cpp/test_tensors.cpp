// Plane, packed and scalar encodings, plain and seen from the side to move.
#include "rng.h"
#include "tensors.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

using namespace quarn_chess;
using test_support::read;

TEST(Tensors, PlanesAndPackedFollowTheBitboards) {
    const Board board = read("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -");
    std::array<std::uint8_t, PLANES_SIZE> planes;
    encode_planes(board, false, planes.data());
    const Planes expected = board.bitboard();
    EXPECT_TRUE(std::equal(planes.begin(), planes.end(), expected.begin()));
    std::array<std::uint64_t, PACKED_SIZE> packed;
    encode_packed(board, true, packed.data()); // white to move: flip changes nothing
    for (unsigned p = 0; p < PIECE_COUNT; ++p)
        EXPECT_EQ(packed[p], board.pieces[p]);
}

// With black to move, flip shows the reflected position (ranks mirrored, colours exchanged).
TEST(Tensors, FlipShowsTheMoverAsWhite) {
    const Board board = read("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1pP1P3/2N2Q1p/PP1BBPPP/R3K2R b kq c3");
    Board mirrored = board;
    mirrored.reflect();
    std::array<std::uint64_t, PACKED_SIZE> packed;
    encode_packed(board, true, packed.data());
    for (unsigned p = 0; p < PIECE_COUNT; ++p)
        EXPECT_EQ(packed[p], mirrored.pieces[p]) << p;
    std::array<std::uint8_t, PLANES_SIZE> planes;
    encode_planes(board, true, planes.data());
    const Planes expected = mirrored.bitboard();
    EXPECT_TRUE(std::equal(planes.begin(), planes.end(), expected.begin()));

    std::array<std::int8_t, SCALARS_SIZE> scalars;
    encode_scalars(board, false, scalars.data());
    EXPECT_EQ(scalars, (std::array<std::int8_t, 6> { 0, 0, 0, 1, 1, 2 }));
    encode_scalars(board, true, scalars.data());
    EXPECT_EQ(scalars, (std::array<std::int8_t, 6> { 0, 1, 1, 0, 0, 2 }));
    encode_scalars(read(START_FEN), true, scalars.data());
    EXPECT_EQ(scalars, (std::array<std::int8_t, 6> { 1, 1, 1, 1, 1, -1 }));
}

TEST(Tensors, BatchesWriteOneBoardAfterAnother) {
    const Board a = read(START_FEN);
    const Board b = read("4k3/8/8/8/8/8/8/4K3 b - -");
    const Board* boards[] = { &a, &b, &a };
    std::array<std::uint64_t, 3 * PACKED_SIZE> packed;
    encode_packed_batch(boards, 3, true, packed.data());
    std::array<std::uint64_t, PACKED_SIZE> one;
    encode_packed(b, true, one.data());
    EXPECT_TRUE(std::equal(one.begin(), one.end(), packed.begin() + PACKED_SIZE));
    EXPECT_EQ(packed[2 * PACKED_SIZE], a.pieces[0]);
    std::array<std::int8_t, 3 * SCALARS_SIZE> scalars;
    encode_scalars_batch(boards, 3, false, scalars.data());
    EXPECT_EQ(scalars[SCALARS_SIZE], 0);
    std::array<std::uint8_t, 2 * PLANES_SIZE> planes;
    encode_planes_batch(boards, 2, false, planes.data());
    EXPECT_EQ(planes[PLANES_SIZE + 11 * 64 + 60], 1);
}

// Every bit expansion this machine runs writes exactly what the portable one writes, and nothing
// past the end of its output.
TEST(Tensors, BitExpansionsAgreeWithThePortableOne) {
    Rng rng = Rng::new_deterministic(29, 3);
    std::vector<Bitboard> words = { 0, ~Bitboard { 0 }, 0x8040201008040201, 0xFF00FF00FF00FF00 };
    for (unsigned s = 0; s < 64; ++s)
        words.push_back(square_bit(s));
    while (words.size() < 600)
        words.push_back(rng.random() & rng.random());
    std::vector<std::uint8_t> expected(words.size() * 64);
    expand_bits(BitExpansion::PORTABLE, words.data(), words.size(), expected.data());
    for (std::size_t i = 0; i < words.size(); ++i)
        for (unsigned s = 0; s < 64; ++s)
            ASSERT_EQ(expected[i * 64 + s], (words[i] >> s) & 1) << i << " " << s;

    for (const BitExpansion kind :
        { BitExpansion::PORTABLE, BitExpansion::AVX2, BitExpansion::AVX512 }) {
        if (!bit_expansion_available(kind))
            continue;
        for (const std::size_t count :
            { std::size_t { 0 }, std::size_t { 1 }, std::size_t { 13 }, words.size() }) {
            std::vector<std::uint8_t> out(count * 64 + 64, 0xA5);
            expand_bits(kind, words.data(), count, out.data());
            EXPECT_TRUE(std::equal(out.begin(),
                out.begin() + static_cast<std::ptrdiff_t>(count * 64), expected.begin()))
                << static_cast<int>(kind) << " " << count;
            EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(count * 64),
                out.end(), [](std::uint8_t b) { return b == 0xA5; }));
        }
    }
    std::vector<std::uint8_t> best(words.size() * 64);
    expand_bits(words.data(), words.size(), best.data());
    EXPECT_EQ(best, expected);

    // The streaming version, at every alignment of its output (aligned ones stream, the others
    // take the plain path).
    alignas(64) static std::uint8_t streamed[13 * 64 + 128];
    for (std::size_t shift = 0; shift < 64; ++shift) {
        std::fill(std::begin(streamed), std::end(streamed), 0xA5);
        expand_bits_streaming(words.data(), 13, streamed + shift);
        streaming_done();
        EXPECT_TRUE(std::equal(streamed + shift, streamed + shift + 13 * 64, expected.begin()))
            << shift;
        EXPECT_TRUE(
            std::all_of(streamed, streamed + shift, [](std::uint8_t b) { return b == 0xA5; }));
        EXPECT_TRUE(std::all_of(streamed + shift + 13 * 64, std::end(streamed),
            [](std::uint8_t b) { return b == 0xA5; }));
    }
}
