// The Compression API stream writer, checked against wimlib's decompressor
// as the oracle: header bytes and check byte, chunking, verbatim chunks,
// thread-count independence, the automatic chunk size, and verification
// with our own decoder.
#include <wimlib.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "platform/byte_order.h"
#include "tools/pack/lzms_stream.h"
#include "tools/pack/package_record.h"

namespace lumaro::pack {
namespace {

using Bytes = std::vector<std::byte>;

// Where the first chunk's bytes begin.
constexpr std::size_t kFirstChunk = lzms::kBufferHeaderSize + lzms::kChunkRecordHeadSize;

std::uint32_t Le32(const Bytes& bytes, std::size_t at) { return platform::LoadLe32(bytes.data() + at); }
std::uint64_t Le64(const Bytes& bytes, std::size_t at) { return platform::LoadLe64(bytes.data() + at); }

// Decodes a buffer-mode stream with wimlib, chunk by chunk.
std::optional<Bytes> OracleDecode(const Bytes& stream) {
  if (stream.size() < lzms::kBufferHeaderSize || Le32(stream, 0) != lzms::kBufferMagic ||
      platform::LoadLe16(stream.data() + 4) != lzms::kBufferHeaderSize || stream[7] != std::byte{5} ||
      Le32(stream, 20) != 0) {
    return std::nullopt;
  }
  const std::uint64_t total = Le64(stream, 8);
  const std::uint64_t chunk_size = Le32(stream, 16);
  Bytes out(total);
  wimlib_decompressor* decompressor = nullptr;
  if (total && wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, chunk_size, &decompressor) != 0) {
    return std::nullopt;
  }
  std::size_t at = lzms::kBufferHeaderSize;
  bool ok = true;
  for (std::uint64_t done = 0; ok && done < total;) {
    const std::size_t plain = std::min<std::uint64_t>(chunk_size, total - done);
    ok = at + 4 <= stream.size();
    const std::size_t size = ok ? Le32(stream, at) : 0;
    ok = ok && at + 4 + size <= stream.size() && size <= plain;
    if (ok && size == plain) {
      std::memcpy(out.data() + done, stream.data() + at + 4, size);
    } else if (ok) {
      ok = wimlib_decompress(stream.data() + at + 4, size, out.data() + done, plain, decompressor) == 0;
    }
    at += 4 + size;
    done += plain;
  }
  wimlib_free_decompressor(decompressor);
  if (!ok || at != stream.size()) return std::nullopt;
  return out;
}

// Text-like bytes that compress well but not trivially.
Bytes Compressible(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  static const char* kWords[] = {"function ", "return ", "const ", "require(", "module.exports", " = ",
                                 "{\n", "}\n", "if (", "node", "buffer", "0x", ";\n", "await "};
  std::string text;
  while (text.size() < size) text += kWords[random() % std::size(kWords)];
  text.resize(size);
  Bytes out(size);
  std::memcpy(out.data(), text.data(), size);
  return out;
}

Bytes Random(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::byte>(random());
  return out;
}

CompressedStream Compress(const Bytes& data, std::uint32_t chunk_size = 0, unsigned threads = 2) {
  CompressOptions options;
  options.chunk_size = chunk_size;
  options.threads = threads;
  auto stream = CompressLzmsBuffer(data, options);
  EXPECT_TRUE(stream) << stream.error().message;
  return stream ? std::move(*stream) : CompressedStream{};
}

TEST(LzmsStream, HeaderOfA64ByteInputMatchesWindows) {
  const auto stream = Compress(Compressible(64, 1));
  const std::uint8_t expected[] = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00, 0x4C, 0x05, 0x40, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ASSERT_GE(stream.bytes.size(), sizeof expected);
  for (std::size_t i = 0; i < sizeof expected; ++i) {
    EXPECT_EQ(std::to_integer<int>(stream.bytes[i]), expected[i]) << "header byte " << i;
  }
  EXPECT_EQ(stream.chunk_count, 1u);
}

TEST(LzmsStream, CheckByteCoversTheWholeHeaderButItself) {
  // Only the size fields differ between these headers; each must carry its
  // own check byte.
  const auto a = lzms::MakeBufferHeader(64, 64);
  const auto b = lzms::MakeBufferHeader(0x12345678, 0x10000);
  EXPECT_EQ(std::to_integer<int>(a[6]), 0x4C);
  EXPECT_NE(a[6], b[6]);
  EXPECT_EQ(std::to_integer<int>(b[7]), 5);
}

TEST(LzmsStream, SingleChunkRoundTrips) {
  const Bytes data = Compressible(300'000, 2);
  const auto stream = Compress(data);
  EXPECT_EQ(Le32(stream.bytes, 16), data.size());  // one chunk: the total
  EXPECT_LT(stream.bytes.size(), data.size() / 2);
  EXPECT_EQ(stream.stored_chunks, 0u);
  EXPECT_EQ(OracleDecode(stream.bytes), data);
}

TEST(LzmsStream, ManySmallChunksRoundTripAndDoNotDependOnThreads) {
  const Bytes data = Compressible(5 * 65536 + 1234, 3);
  const auto one = Compress(data, 65536, 1);
  const auto three = Compress(data, 65536, 3);
  EXPECT_EQ(one.chunk_count, 6u);
  EXPECT_EQ(Le32(one.bytes, 16), 65536u);
  EXPECT_EQ(Le64(one.bytes, 8), data.size());
  EXPECT_EQ(one.bytes, three.bytes);
  EXPECT_EQ(OracleDecode(one.bytes), data);
}

TEST(LzmsStream, IncompressibleChunksAreStoredVerbatim) {
  Bytes data = Random(2 * 65536, 4);
  const Bytes text = Compressible(65536 + 100, 5);
  data.insert(data.end(), text.begin(), text.end());
  const auto stream = Compress(data, 65536);
  ASSERT_EQ(stream.chunk_count, 4u);
  EXPECT_EQ(stream.stored_chunks, 2u);
  // The first two records are the random bytes as they are.
  EXPECT_EQ(Le32(stream.bytes, lzms::kBufferHeaderSize), 65536u);
  EXPECT_EQ(std::memcmp(stream.bytes.data() + kFirstChunk, data.data(), 65536), 0);
  EXPECT_EQ(Le32(stream.bytes, kFirstChunk + 65536), 65536u);
  EXPECT_EQ(OracleDecode(stream.bytes), data);

  // A tiny incompressible buffer is one verbatim chunk too.
  const Bytes one = Random(1, 6);
  const auto tiny = Compress(one);
  EXPECT_EQ(tiny.bytes.size(), 24u + 4 + 1);
  EXPECT_EQ(OracleDecode(tiny.bytes), one);
}

TEST(LzmsStream, EmptyInputIsAHeaderAlone) {
  const auto stream = Compress({});
  EXPECT_EQ(stream.bytes.size(), lzms::kBufferHeaderSize);
  EXPECT_EQ(Le64(stream.bytes, 8), 0u);
  EXPECT_EQ(stream.chunk_count, 0u);
}

TEST(LzmsStream, RefusesChunkSizesWindowsDoesNotWrite) {
  for (std::uint32_t bad : {1u, 32768u, 65537u, 64u * 1024 * 1024 + 65536}) {
    CompressOptions options;
    options.chunk_size = bad;
    EXPECT_FALSE(CompressLzmsBuffer(Compressible(100, 7), options)) << bad;
  }
}

// Fixed slices: a package that grows keeps the chunk boundaries of the bytes
// before the change, so those chunks stay byte-identical between releases.
TEST(ChunkSize, IsOneFixedSliceWhateverTheTotal) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  const std::uint64_t totals[] = {500'000, 16 * kMiB, 16 * kMiB + 1, 92'000'000, 1024 * kMiB};
  for (const std::uint64_t total : totals) {
    EXPECT_EQ(ChooseChunkSize(total), 16 * kMiB) << total << " bytes";
  }
  EXPECT_TRUE(IsValidChunkSize(ChooseChunkSize(1)));
}

// The stream depends on the data alone: the thread count (the machine's
// cores by default) changes how fast it is made, never its bytes.
TEST(ChunkSize, TheStreamIsTheSameWhateverTheThreads) {
  const Bytes data = Compressible(3 * 1024 * 1024 + 12345, 21);
  CompressOptions one;
  one.threads = 1;
  one.chunk_size = 1024 * 1024;
  CompressOptions three = one;
  three.threads = 3;
  auto a = CompressLzmsBuffer(data, one);
  auto b = CompressLzmsBuffer(data, three);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->bytes, b->bytes);
}

TEST(Verify, AcceptsTheStreamAndCatchesDamage) {
  const Bytes data = Compressible(3 * 65536, 8);
  auto stream = Compress(data, 65536);
  EXPECT_TRUE(VerifyStream(stream.bytes, data));

  Bytes other = data;
  other[70000] ^= std::byte{1};
  auto mismatch = VerifyStream(stream.bytes, other);
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().error_class, ErrorClass::kFailed);

  stream.bytes[kFirstChunk + Le32(stream.bytes, lzms::kBufferHeaderSize) / 2] ^= std::byte{0xFF};
  EXPECT_FALSE(VerifyStream(stream.bytes, data));
}

TEST(PackageRecord, HeadCarriesSizeAndTheContentsBuildId) {
  Bytes data = Compressible(1000, 9);
  auto record = BuildPackageRecord(data, RecordOptions{});
  ASSERT_TRUE(record) << record.error().message;
  const Bytes& bytes = record->record;
  EXPECT_EQ(std::memcmp(bytes.data(), package::kRecordMagic.data(), package::kRecordMagic.size()), 0);
  EXPECT_EQ(Le32(bytes, package::kRecordSizeOffset), 1000u);
  const auto id = BuildIdOf(data);
  EXPECT_EQ(std::memcmp(bytes.data() + package::kBuildIdOffset, id.data(), package::kBuildIdSize), 0);
  EXPECT_EQ(Bytes(bytes.begin() + package::kRecordHeadSize, bytes.end()), record->stream.bytes);
  EXPECT_EQ(record->package_crc32, crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));

  data[500] ^= std::byte{1};
  auto changed = BuildPackageRecord(data, RecordOptions{});
  ASSERT_TRUE(changed);
  EXPECT_NE(changed->build_id, record->build_id);
  EXPECT_NE(changed->package_crc32, record->package_crc32);
}

}  // namespace
}  // namespace lumaro::pack
