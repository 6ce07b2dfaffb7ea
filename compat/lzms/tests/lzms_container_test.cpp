// Directed decoder facts and hostile input: the container's checks, damaged
// and truncated streams, and hand-made blocks. Bad input must give kCorrupt or
// kOutputTooSmall and never touch memory outside the spans (ASan watches).
#include <gtest/gtest.h>

#include <random>

#include "compat/lzms/lzms_decoder.h"
#include "compat/lzms/tests/wimlib_streams.h"

namespace lzms::testing {
namespace {

Bytes FromHex(std::initializer_list<unsigned> v) {
  Bytes b;
  for (unsigned x : v) b.push_back(static_cast<std::byte>(x));
  return b;
}

BufferDecodeResult Decode(const Bytes& stream, std::size_t out_size) {
  Bytes out(out_size);  // exact size: ASan's redzone sits right behind it
  return DecompressBuffer(stream, out);
}

TEST(Chunk, HandMadeBlocks) {
  // "abcd": four literal decisions, codewords equal to the bytes.
  Bytes out(4);
  ASSERT_EQ(DecodeChunk(FromHex({0, 0, 0, 0, 0, 0, 0x64, 0x63, 0x62, 0x61}), out),
            DecodeStatus::kOk);
  EXPECT_EQ(out, FromHex({'a', 'b', 'c', 'd'}));
  // Four zero bytes decode to zeros of any length: both streams run dry.
  for (std::size_t n : {3u, 8u, 1000u, 100000u}) {
    Bytes zeros(n, std::byte{1});
    ASSERT_EQ(DecodeChunk(FromHex({0, 0, 0, 0}), zeros), DecodeStatus::kOk);
    EXPECT_EQ(zeros, Bytes(n));
  }
}

TEST(Chunk, RejectsOddOrTinyBlocks) {
  Bytes out(8);
  for (std::size_t m : {0u, 1u, 2u, 3u, 5u, 7u}) {
    EXPECT_EQ(DecodeChunk(Bytes(m), out), DecodeStatus::kCorrupt) << m;
  }
}

TEST(Chunk, MatchBeforeTheStartIsCorrupt) {
  // All-ones forward words make the first decisions "match", then "delta":
  // a delta match with nothing before it to copy (without the delta check
  // this reads before the output).
  Bytes out(16);
  EXPECT_EQ(DecodeChunk(FromHex({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), out),
            DecodeStatus::kCorrupt);
}

TEST(Container, EmptyBufferHasNoRecords) {
  Bytes stream = MakeHeader(0, 0);
  EXPECT_EQ(Decode(stream, 0).status, DecodeStatus::kOk);
  const BufferDecodeResult roomy = Decode(stream, 10);
  EXPECT_EQ(roomy.status, DecodeStatus::kOk);
  EXPECT_EQ(roomy.produced, 0u);
  stream.push_back(std::byte{0});
  EXPECT_EQ(Decode(stream, 10).status, DecodeStatus::kCorrupt);
}

TEST(Container, KnownHeaderBytes) {
  // A 64-byte input's header as Windows writes it.
  EXPECT_EQ(MakeHeader(64, 64), FromHex({0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00, 0x4C, 0x05, 0x40, 0,
                                         0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0}));
  Bytes stream = MakeHeader(64, 64);
  const Bytes body = RandomBytes(64, 3);
  stream.insert(stream.end(), {std::byte{64}, std::byte{0}, std::byte{0}, std::byte{0}});
  stream.insert(stream.end(), body.begin(), body.end());
  Bytes out(64);
  const BufferDecodeResult r = DecompressBuffer(stream, out);
  ASSERT_EQ(r.status, DecodeStatus::kOk);  // stored verbatim
  EXPECT_EQ(out, body);
}

TEST(Container, HeaderFieldDamageIsCorrupt) {
  const Bytes data = EnglishLikeText(5000, 1);
  const Bytes good = CompressBuffer(data, 50);
  ASSERT_EQ(Decode(good, data.size()).status, DecodeStatus::kOk);
  struct Edit {
    const char* what;
    std::size_t at;
    std::uint8_t value;
    bool fix_check;
  };
  const Edit edits[] = {
      {"magic", 0, 0x0B, true},        {"header size", 4, 0x20, true},
      {"check byte", 6, 0x00, false},  {"algorithm xpress", 7, 3, true},
      {"flags", 20, 1, true},          {"chunk size over 64 MiB", 19, 0x08, true},
      {"total larger than records", 9, 0x20, true},
  };
  for (const Edit& e : edits) {
    SCOPED_TRACE(e.what);
    Bytes s = good;
    if (s[e.at] == std::byte{e.value}) s[e.at] ^= std::byte{0x40};
    else s[e.at] = std::byte{e.value};
    if (e.fix_check) FixCheckByte(s);
    EXPECT_EQ(Decode(s, 1u << 22).status, DecodeStatus::kCorrupt);
  }
}

TEST(Container, ChunkSizeRules) {
  // Chunk size 0 with content, tiny split chunks, and a huge chunk count
  // whose records are missing: all corrupt, none read past the input.
  Bytes s = MakeHeader(100, 0);
  EXPECT_EQ(Decode(s, 100).status, DecodeStatus::kCorrupt);
  s = MakeHeader(100000, 1000);
  EXPECT_EQ(Decode(s, 100000).status, DecodeStatus::kCorrupt);
  s = MakeHeader(std::uint64_t{1} << 40, 32768);
  EXPECT_EQ(Decode(s, 1000).status, DecodeStatus::kOutputTooSmall);
  s = MakeHeader(64u << 20, 32768);  // 2048 chunks announced, none present
  EXPECT_EQ(Decode(s, 64u << 20).status, DecodeStatus::kCorrupt);
}

TEST(Container, RecordSizeRules) {
  const Bytes data = RandomBytes(1000, 7);
  Bytes s = MakeHeader(1000, 1000);
  auto with_record = [&](std::uint32_t size, std::size_t body) {
    Bytes r = s;
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::byte>(size >> (8 * i)));
    r.insert(r.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(body));
    return r;
  };
  EXPECT_EQ(Decode(with_record(1000, 1000), 1000).status, DecodeStatus::kOk);
  EXPECT_EQ(Decode(with_record(1000, 999), 1000).status, DecodeStatus::kCorrupt);
  EXPECT_EQ(Decode(with_record(1001, 1000), 1000).status, DecodeStatus::kCorrupt);
  EXPECT_EQ(Decode(with_record(0xFFFFFFFF, 1000), 1000).status, DecodeStatus::kCorrupt);
  Bytes trailing = with_record(1000, 1000);
  trailing.push_back(std::byte{0});
  EXPECT_EQ(Decode(trailing, 1000).status, DecodeStatus::kCorrupt);
}

TEST(Container, OutputSizeIsCheckedAgainstTheHeader) {
  const Bytes data = EnglishLikeText(70000, 8);
  const Bytes s = CompressBuffer(data, 50);
  EXPECT_EQ(Decode(s, data.size() - 1).status, DecodeStatus::kOutputTooSmall);
  EXPECT_EQ(Decode(s, 0).status, DecodeStatus::kOutputTooSmall);
  const BufferDecodeResult r = Decode(s, data.size() + 1000);
  EXPECT_EQ(r.status, DecodeStatus::kOk);
  EXPECT_EQ(r.produced, data.size());
}

TEST(Hostile, EveryTruncationFails) {
  Bytes data = EnglishLikeText(3000, 21);
  const Bytes code = MachineCode(3000);
  data.insert(data.end(), code.begin(), code.end());
  const Bytes s = CompressBuffer(data, 100);
  for (std::size_t len = 0; len < s.size(); ++len) {
    const Bytes prefix(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len));
    EXPECT_EQ(Decode(prefix, data.size()).status, DecodeStatus::kCorrupt) << len;
  }
}

// A block cut anywhere loses the end its backward stream starts from, so the
// rest decodes as garbage that breaks a match rule: corrupt, by wimlib's
// verdict too, for every shorter length.
TEST(Hostile, EveryCutOfARawBlockIsCorrupt) {
  const Bytes data = StridedRecords(20000, 22);
  const std::optional<Bytes> block = CompressChunk(data, 100);
  ASSERT_TRUE(block);
  Bytes out(data.size());
  for (std::size_t len = 0; len < block->size(); ++len) {
    const Bytes cut(block->begin(), block->begin() + static_cast<std::ptrdiff_t>(len));
    EXPECT_FALSE(WimlibDecodeChunk(cut, data.size())) << len;
    EXPECT_EQ(DecodeChunk(cut, out), DecodeStatus::kCorrupt) << len;
  }
  ASSERT_EQ(DecodeChunk(*block, out), DecodeStatus::kOk);
  EXPECT_TRUE(out == data);
}

// Decodes block into exactly size bytes with ours and with wimlib: ours must
// reject exactly what wimlib rejects and decode the rest to the same bytes.
// True when wimlib accepted it.
bool SameVerdictAsWimlib(const Bytes& block, std::size_t size) {
  Bytes ours(size);  // exact size: ASan's redzone sits right behind it
  const DecodeStatus st = DecodeChunk(block, ours);
  const std::optional<Bytes> theirs = WimlibDecodeChunk(block, size);
  if (!theirs) {
    EXPECT_EQ(st, DecodeStatus::kCorrupt);
    return false;
  }
  EXPECT_EQ(st, DecodeStatus::kOk);
  EXPECT_TRUE(ours == *theirs);
  return true;
}

// Damaged blocks of real data get wimlib's verdict too: ours rejects exactly
// the ones it rejects, and decodes the rest to the same bytes.
TEST(Hostile, BitFlipsGetWimlibsVerdict) {
  Bytes data = StridedRecords(30000, 23);
  const Bytes code = MachineCode(30000);
  data.insert(data.end(), code.begin(), code.end());
  const std::optional<Bytes> block = CompressChunk(data, 100);
  ASSERT_TRUE(block);
  std::mt19937 rng(99);
  int accepted = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    SCOPED_TRACE(trial);
    Bytes damaged = *block;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) {
      damaged[rng() % damaged.size()] ^= static_cast<std::byte>(1u << (rng() % 8));
    }
    if (SameVerdictAsWimlib(damaged, data.size())) ++accepted;
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(accepted, 0);  // so decoded bytes get compared too
}

// wimlib's decoder is the reference verdict on blocks of noise: ours rejects
// exactly the ones it rejects, and decodes the rest to the same bytes.
TEST(Hostile, RandomBlocksGetWimlibsVerdict) {
  std::mt19937 rng(5);
  int accepted = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    SCOPED_TRACE(trial);
    const std::size_t m = 4 + 2 * (rng() % 200);
    const Bytes block = RandomBytes(m, static_cast<std::uint32_t>(trial));
    // From 3 bytes: wimlib 1.13 itself faults decoding into 1 or 2 bytes.
    const std::size_t size = 3 + rng() % 5000;
    if (SameVerdictAsWimlib(block, size)) ++accepted;
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(accepted, 0);  // so decoded bytes get compared too
}

}  // namespace
}  // namespace lzms::testing
