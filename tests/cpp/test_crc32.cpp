// CRC-32 of the shard writer: known values, continuation, and every implementation alike.
#include "crc32.h"
#include "rng.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

using namespace quarn_chess;

TEST(Crc32, KnownValuesAndContinuation) {
    const std::string_view check = "123456789";
    EXPECT_EQ(crc32(0, check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(crc32(0xCBF43926u, nullptr, 0), 0xCBF43926u);
    const std::string_view fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(crc32(0, fox.data(), fox.size()), 0x414FA339u);
    EXPECT_EQ(crc32(crc32(0, fox.data(), 10), fox.data() + 10, fox.size() - 10), 0x414FA339u);
}

// Lengths around the folding block sizes (16 and 64 bytes), at every alignment, continued from
// different values: the carry-less version gives what the portable one gives.
TEST(Crc32, ImplementationsAgree) {
    Rng rng = Rng::new_deterministic(17, 5);
    std::vector<unsigned char> data(1 << 16);
    for (unsigned char& byte : data)
        byte = static_cast<unsigned char>(rng.random());
    std::vector<std::size_t> sizes = { 0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 191,
        192, 255, 256, 1000, 4096, 65000 };
    for (int i = 0; i < 50; ++i)
        sizes.push_back(rng.random() % 2000);
    for (const Crc32Method method : { Crc32Method::PORTABLE, Crc32Method::CLMUL }) {
        if (!crc32_available(method))
            continue;
        for (const std::size_t size : sizes)
            for (std::size_t offset = 0; offset < 16; offset += 5)
                for (const std::uint32_t start : { 0u, 0xFFFFFFFFu, 0x12345678u }) {
                    const unsigned char* p = data.data() + offset;
                    std::uint32_t bitwise = ~start;
                    for (std::size_t k = 0; k < size; ++k) {
                        bitwise ^= p[k];
                        for (int b = 0; b < 8; ++b)
                            bitwise = bitwise & 1 ? (bitwise >> 1) ^ 0xEDB88320u : bitwise >> 1;
                    }
                    ASSERT_EQ(crc32(method, start, p, size), ~bitwise)
                        << static_cast<int>(method) << " " << size << " " << offset;
                }
    }
    EXPECT_EQ(crc32(0, data.data(), data.size()),
        crc32(Crc32Method::PORTABLE, 0, data.data(), data.size()));
}
