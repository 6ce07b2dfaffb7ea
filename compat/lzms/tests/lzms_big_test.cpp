// One buffer of more than 64 MiB: several 64 MiB chunks (the largest Windows
// writes) plus a remainder, compared with the original. Slow; runs once.
#include <gtest/gtest.h>

#include "compat/lzms/lzms_decoder.h"
#include "compat/lzms/tests/wimlib_streams.h"

namespace lzms::testing {
namespace {

TEST(BigBuffer, MoreThan64MiBInSeveralChunks) {
  constexpr std::size_t kSize = (64u << 20) + 3 * 1000 * 1000 + 7;
  Bytes data;
  data.reserve(kSize);
  const Bytes code = MachineCode(2u << 20);
  const Bytes text = EnglishLikeText(3u << 20, 11);
  const Bytes records = StridedRecords(2u << 20, 12);
  std::uint32_t round = 0;
  while (data.size() < kSize) {
    for (const Bytes* part : {&code, &text, &records}) {
      data.insert(data.end(), part->begin(), part->end());
      data.push_back(static_cast<std::byte>(round++));  // keep copies from aligning exactly
    }
  }
  data.resize(kSize);
  const Bytes stream = CompressBuffer(data, 20);
  Bytes out(kSize);
  const BufferDecodeResult r = DecompressBuffer(stream, out);
  ASSERT_EQ(r.status, DecodeStatus::kOk);
  EXPECT_EQ(r.produced, kSize);
  EXPECT_TRUE(out == data);
}

}  // namespace
}  // namespace lzms::testing
