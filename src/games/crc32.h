// CRC-32 as zlib and the zip format compute it (the reflected polynomial 0xEDB88320), for the
// shards the training data is written to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn_chess {

// The CRC of `size` bytes continued from `crc` (0 to start): crc32(crc32(0, a), b) is the CRC of
// a followed by b. The fastest implementation the CPU runs is picked once.
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size);

// The implementations behind crc32: portable slicing by eight bytes, and folding with carry-less
// multiplication on x86 CPUs that have it (tests compare them).
enum class Crc32Method : std::uint8_t { PORTABLE, CLMUL };
bool crc32_available(Crc32Method method);
std::uint32_t crc32(Crc32Method method, std::uint32_t crc, const void* data, std::size_t size);

} // namespace quarn_chess
