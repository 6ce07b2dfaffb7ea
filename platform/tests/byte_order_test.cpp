// Little-endian loads and stores against fixed byte patterns, at an odd
// address so that an aligned-only implementation would show.

#include "platform/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace lumaro::platform {
namespace {

constexpr std::array<unsigned char, 9> kPattern = {0xEE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST(ByteOrder, LoadsTakeTheFirstByteAsTheLowest) {
  const unsigned char* p = kPattern.data() + 1;
  EXPECT_EQ(LoadLe16(p), 0x2301u);
  EXPECT_EQ(LoadLe32(p), 0x67452301u);
  EXPECT_EQ(LoadLe64(p), 0xEFCDAB8967452301u);
  EXPECT_EQ(LoadLe32(reinterpret_cast<const std::byte*>(p)), 0x67452301u);
}

TEST(ByteOrder, StoresWriteTheLowestByteFirstAndNothingElse) {
  std::array<std::byte, 10> out{};
  StoreLe64(out.data() + 1, 0xEFCDAB8967452301u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(std::to_integer<unsigned>(out[1 + i]), kPattern[1 + i]) << i;
  EXPECT_EQ(out[0], std::byte{0});
  EXPECT_EQ(out[9], std::byte{0});

  out.fill(std::byte{0xAA});
  StoreLe16(out.data() + 3, 0x2301);
  StoreLe32(out.data() + 5, 0x78563412u);
  const std::array<unsigned, 10> want = {0xAA, 0xAA, 0xAA, 0x01, 0x23, 0x12, 0x34, 0x56, 0x78, 0xAA};
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(std::to_integer<unsigned>(out[i]), want[i]) << i;
}

}  // namespace
}  // namespace lumaro::platform
