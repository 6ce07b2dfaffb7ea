// Differential tests: streams made by wimlib's LZMS compressor must decode to
// the original bytes, chunk by chunk identical to wimlib's own decoder.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "compat/lzms/lzms_decoder.h"
#include "compat/lzms/tests/wimlib_streams.h"

namespace lzms::testing {
namespace {

struct Input {
  std::string name;
  std::function<Bytes()> make;
  bool shrinks = true;  // wimlib makes a block of it; noise it cannot shrink
};

std::vector<Input> Inputs() {
  return {
      {"random", [] { return RandomBytes(300000, 1); }, false},
      {"text", [] { return EnglishLikeText(400000, 2); }},
      {"machine_code", [] { return MachineCode(1500000); }},
      {"counters", [] { return Counters32(300000); }},
      {"strided_records", [] { return StridedRecords(600000, 3); }},
      {"mixture",
       [] {
         Bytes b = EnglishLikeText(100000, 4);
         for (const Bytes& part : {MachineCode(300000), StridedRecords(200000, 5),
                                   RandomBytes(50000, 6), Counters32(100000)}) {
           b.insert(b.end(), part.begin(), part.end());
         }
         return b;
       }},
  };
}

class Differential : public ::testing::TestWithParam<unsigned> {};

TEST_P(Differential, EveryInputDecodesToTheOriginalAndMatchesWimlib) {
  const unsigned level = GetParam();
  for (const Input& input : Inputs()) {
    SCOPED_TRACE(input.name);
    const Bytes data = input.make();
    ASSERT_FALSE(data.empty());

    const std::optional<Bytes> block = CompressChunk(data, level);
    ASSERT_EQ(block.has_value(), input.shrinks);
    if (input.shrinks) {
      Bytes ours(data.size());
      ASSERT_EQ(DecodeChunk(*block, ours), DecodeStatus::kOk);
      EXPECT_TRUE(ours == data);
      const std::optional<Bytes> theirs = WimlibDecodeChunk(*block, data.size());
      ASSERT_TRUE(theirs);
      EXPECT_TRUE(ours == *theirs);
    }

    const Bytes stream = CompressBuffer(data, level);
    Bytes out(data.size());
    const BufferDecodeResult r = DecompressBuffer(stream, out);
    ASSERT_EQ(r.status, DecodeStatus::kOk);
    EXPECT_EQ(r.produced, data.size());
    EXPECT_TRUE(out == data);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Differential, ::testing::Values(20u, 50u, 100u));

TEST(DifferentialChunks, SmallChunksAndUnevenRemainder) {
  Bytes data = MachineCode(400000);
  const Bytes text = EnglishLikeText(123457, 9);
  data.insert(data.end(), text.begin(), text.end());
  for (std::size_t chunk : {std::size_t{65536}, std::size_t{100000}, std::size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    const Bytes stream = CompressBuffer(data, 50, chunk);
    Bytes out(data.size() + 17);  // spare room is allowed and left alone
    const BufferDecodeResult r = DecompressBuffer(stream, out);
    ASSERT_EQ(r.status, DecodeStatus::kOk);
    ASSERT_EQ(r.produced, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  }
}

TEST(DifferentialSizes, TinyAndOddSizesRoundTrip) {
  // Every size around the filter's 17-byte threshold and the small offset
  // alphabets, with code-like bytes so the filter has work near the end.
  for (std::size_t n = 1; n <= 300; n += (n < 80 ? 1 : 37)) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) {
      static const std::uint8_t kPattern[] = {0xE8, 0x10, 0x00, 0x00, 0x00, 0x48, 0x8D,
                                              0x05, 0x20, 0x00, 0x00, 0x00, 0xFF, 0x15,
                                              0x08, 0x00, 0x00, 0x00, 0x90};
      data[i] = static_cast<std::byte>(kPattern[i % sizeof kPattern]);
    }
    for (unsigned level : {20u, 100u}) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " level=" << level);
      const Bytes stream = CompressBuffer(data, level);
      Bytes out(n);
      const BufferDecodeResult r = DecompressBuffer(stream, out);
      ASSERT_EQ(r.status, DecodeStatus::kOk);
      EXPECT_TRUE(out == data);
    }
  }
}

TEST(DifferentialFilter, DenseCallsRoundTripAtEverySize) {
  // Calls to a few shared targets make the filter trust the region, so the
  // reach limits and the last-16-bytes rule are exercised at each size.
  // From 19 bytes: wimlib makes no block of 18, which it cannot shrink.
  for (std::size_t n = 19; n < 120; ++n) {
    Bytes data(n, std::byte{0x90});
    for (std::size_t i = 1; i + 5 <= n; i += 5 + (i % 3)) {
      data[i] = std::byte{0xE8};
      data[i + 1] = static_cast<std::byte>(0x40 - i);
      data[i + 2] = std::byte{0x12};
    }
    const std::optional<Bytes> block = CompressChunk(data, 50);
    ASSERT_TRUE(block) << n;
    Bytes out(n);
    ASSERT_EQ(DecodeChunk(*block, out), DecodeStatus::kOk) << n;
    EXPECT_TRUE(out == data) << n;
  }
}

}  // namespace
}  // namespace lzms::testing
