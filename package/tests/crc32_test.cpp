// The launcher's CRC-32 against zlib's, the pack tool's: both sides must agree
// on every length and alignment, or a good package would be refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "package/crc32.h"

namespace lumaro::package {
namespace {

std::uint32_t ZlibCrc(const std::byte* data, std::size_t size, std::uint32_t crc = 0) {
  return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(Crc32({}), 0u);
  const char check[] = "123456789";
  EXPECT_EQ(Crc32(std::as_bytes(std::span(check, 9))), 0xCBF43926u);
}

// Both paths (carry-less multiplication where the CPU has it, tables
// everywhere) against zlib: every length up to past several 64-byte folding
// blocks, at every start offset mod 16, so each tail and lane count shows.
TEST(Crc32, BothPathsMatchZlibOnEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<std::byte> data(70000);
  for (auto& b : data) b = static_cast<std::byte>(random());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= 1100; ++length) {
      const std::byte* p = data.data() + offset;
      const std::uint32_t want = ZlibCrc(p, length);
      ASSERT_EQ(Crc32({p, length}), want) << "offset " << offset << " length " << length;
      ASSERT_EQ(Crc32BySlices({p, length}), want) << "offset " << offset << " length " << length;
    }
  }
  for (std::size_t length : {4095u, 4096u, 65536u, 69983u}) {
    EXPECT_EQ(Crc32({data.data() + 3, length}), ZlibCrc(data.data() + 3, length)) << length;
  }
}

TEST(Crc32, ContinuesAcrossBlocksLikeZlib) {
  std::vector<std::byte> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 31 + 7);
  for (std::size_t split : {0u, 1u, 15u, 16u, 17u, 300u, 999u, 1000u}) {
    const std::uint32_t first = Crc32({data.data(), split});
    EXPECT_EQ(Crc32({data.data() + split, data.size() - split}, first), ZlibCrc(data.data(), data.size()));
  }
}

// Damage anywhere changes the digest; a single flipped bit always does.
TEST(Crc32, EveryFlippedBitChangesIt) {
  std::vector<std::byte> data(64, std::byte{0x5A});
  const std::uint32_t good = Crc32(data);
  for (std::size_t bit = 0; bit < data.size() * 8; ++bit) {
    data[bit / 8] ^= std::byte(1u << (bit % 8));
    EXPECT_NE(Crc32(data), good) << bit;
    data[bit / 8] ^= std::byte(1u << (bit % 8));
  }
}

}  // namespace
}  // namespace lumaro::package
