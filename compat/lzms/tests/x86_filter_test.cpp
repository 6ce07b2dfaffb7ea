// The x86 filter undo against a plain byte-at-a-time model of the rules, on
// random data dense with the opcode bytes the filter looks for. Catches a
// fast candidate scan that skips an instruction the rules would take.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "compat/lzms/chunk_decoder.h"

namespace lzms::detail {
namespace {

void ModelUndo(std::vector<std::uint8_t>& d) {
  const std::int64_t n = static_cast<std::int64_t>(d.size());
  if (n <= 17) return;
  std::vector<std::int64_t> last(65536, -65536);
  std::int64_t last_code = -1024;
  std::int64_t i = 1;
  while (i <= n - 17) {
    const std::uint8_t b0 = d[i], b1 = d[i + 1], b2 = d[i + 2];
    int k = 0;
    std::int64_t reach = 1023;
    if (b0 == 0xE8) {
      k = 1;
      reach = 511;
    } else if (b0 == 0xE9) {
      i += 5;
      continue;
    } else if (b0 == 0xFF && b1 == 0x15) {
      k = 2;
    } else if (b0 == 0xF0 && b1 == 0x83 && b2 == 0x05) {
      k = 3;
    } else if ((b0 == 0x48 || b0 == 0x4C) && b1 == 0x8D && (b2 & 7) == 5) {
      k = 3;
    } else if (b0 == 0x48 && b1 == 0x8B && (b2 & 7) == 5 && b2 < 0x10) {
      k = 3;
    } else {
      ++i;
      continue;
    }
    std::uint8_t* op = &d[i + k];
    if (i - last_code <= reach) {
      std::uint32_t v;
      std::memcpy(&v, op, 4);
      v -= static_cast<std::uint32_t>(i);
      std::memcpy(op, &v, 4);
    }
    const std::int64_t t = (i + op[0] + 256 * op[1]) & 0xFFFF;
    const std::int64_t e = i + k + 3;
    if (e - last[t] <= 65535) last_code = e;
    last[t] = e;
    i += k + 4;
  }
}

TEST(X86Filter, MatchesTheModelOnOpcodeDenseData) {
  static const std::uint8_t kBytes[] = {0xE8, 0xE9, 0xFF, 0x15, 0xF0, 0x83, 0x05, 0x48,
                                        0x4C, 0x8D, 0x8B, 0x0D, 0x3D, 0x45, 0x00, 0x01};
  std::mt19937 rng(17);
  std::vector<std::int32_t> scratch(65536);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 1 + rng() % (trial < 200 ? 200 : 100000);
    std::vector<std::uint8_t> data(n);
    // Few distinct targets so the filter starts trusting and translating.
    for (auto& b : data) b = (rng() % 4 == 0) ? static_cast<std::uint8_t>(rng()) : kBytes[rng() % 16];
    std::vector<std::uint8_t> expected = data;
    ModelUndo(expected);
    UndoX86Filter(data.data(), n, scratch.data());
    ASSERT_EQ(data, expected) << "n=" << n << " trial=" << trial;
  }
}

}  // namespace
}  // namespace lzms::detail
