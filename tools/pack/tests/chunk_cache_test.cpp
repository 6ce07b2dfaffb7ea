// The chunk cache: a warm pack gives the cold pack's bytes; an entry is used
// only when it decodes back to its chunk, and a damaged one is rewritten;
// the settings are part of the key; pruning drops the least recently used;
// a folder others can write is not used.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tools/pack/chunk_cache.h"
#include "tools/pack/lzms_stream.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;
using testing::ReadText;
using testing::TempTree;

constexpr std::uint32_t kChunk = kChunkGranule;

// Three chunks of text (one differing from the others), one of random bytes
// that is kept verbatim, and a short tail.
Bytes SampleData() {
  std::string text;
  for (int i = 0; text.size() < 3 * kChunk; ++i) text += "entry " + std::to_string(i * 7919 % 4000) + " of the app\n";
  text.resize(3 * kChunk);
  std::mt19937 rng(11);
  for (std::uint32_t i = 0; i < kChunk; ++i) text += static_cast<char>(rng());
  text += "the tail";
  const auto bytes = std::as_bytes(std::span(text.data(), text.size()));
  return Bytes(bytes.begin(), bytes.end());
}

std::span<const std::byte> ChunkOf(const Bytes& data, std::size_t index) {
  const std::size_t offset = index * kChunk;
  return std::span(data).subspan(offset, std::min<std::size_t>(kChunk, data.size() - offset));
}

CompressedStream Compress(const Bytes& data, const ChunkCache* cache, unsigned level = 20) {
  CompressOptions options;
  options.chunk_size = kChunk;
  options.level = level;
  options.threads = 2;
  options.cache = cache;
  auto stream = CompressLzmsBuffer(data, options);
  EXPECT_TRUE(stream) << stream.error().message;
  return stream ? std::move(*stream) : CompressedStream{};
}

std::string Hex(const ChunkCache::Key& key) {
  std::string hex;
  for (unsigned char byte : key) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

ChunkCache OpenCache(const fs::path& folder) {
  auto cache = ChunkCache::Open(folder);
  EXPECT_TRUE(cache) << cache.error();
  return std::move(*cache);
}

TEST(ChunkCache, ColdWarmAndNoCacheGiveTheSameBytes) {
  TempTree scratch;
  const Bytes data = SampleData();
  const ChunkCache cache = OpenCache(scratch / "chunks");
  const CompressedStream plain = Compress(data, nullptr);
  const CompressedStream cold = Compress(data, &cache);
  const CompressedStream warm = Compress(data, &cache);
  ASSERT_EQ(plain.chunk_count, 5u);
  EXPECT_EQ(plain.stored_chunks, 2u);  // the random chunk and the short tail
  EXPECT_EQ(cold.reused_chunks, 0u);
  EXPECT_EQ(warm.reused_chunks, 5u);  // verbatim chunks too
  EXPECT_EQ(cold.bytes, plain.bytes);
  EXPECT_EQ(warm.bytes, plain.bytes);
  EXPECT_EQ(warm.stored_chunks, 2u);
}

// Each damage makes the warm pack recompress that chunk, give the cold
// bytes, and leave a sound entry behind.
TEST(ChunkCache, AnEntryThatDoesNotCheckOutIsIgnoredAndRewritten) {
  const Bytes data = SampleData();
  const ChunkSettings settings{20, kChunk};
  const auto key = ChunkCache::KeyOf(ChunkOf(data, 0), settings);
  const auto other_key = ChunkCache::KeyOf(ChunkOf(data, 1), settings);
  using Damage = std::function<void(const fs::path& entry, const ChunkCache& cache)>;
  auto flip = [](std::size_t from_end) {
    return [from_end](const fs::path& entry, const ChunkCache&) {
      std::string bytes = ReadText(entry);
      bytes[bytes.size() - from_end] ^= 0x20;
      std::ofstream(entry, std::ios::binary | std::ios::trunc) << bytes;
    };
  };
  const std::vector<std::pair<std::string, Damage>> damages = {
      {"a payload byte", flip(40)},
      {"the checksum", flip(1)},
      {"truncated", [](const fs::path& entry, const ChunkCache&) { fs::resize_file(entry, fs::file_size(entry) / 2); }},
      {"empty", [](const fs::path& entry, const ChunkCache&) { fs::resize_file(entry, 0); }},
      {"the kind byte set to verbatim",
       [](const fs::path& entry, const ChunkCache&) {
         std::string bytes = ReadText(entry);
         bytes[40] = 1;
         std::ofstream(entry, std::ios::binary | std::ios::trunc) << bytes;
       }},
      {"another chunk's entry under this name",
       [&](const fs::path& entry, const ChunkCache& cache) {
         fs::copy_file(cache.folder() / Hex(other_key), entry, fs::copy_options::overwrite_existing);
       }},
      // A well-formed entry whose payload is another chunk's: only decoding
      // shows that it is wrong.
      {"another chunk's payload, checksum and all",
       [&](const fs::path&, const ChunkCache& cache) {
         const auto payload = cache.Find(other_key, ChunkOf(data, 1));
         ASSERT_TRUE(payload);
         cache.Store(key, *payload);
       }},
      {"a folder in its place",
       [](const fs::path& entry, const ChunkCache&) {
         fs::remove(entry);
         fs::create_directory(entry);
       }},
  };
  for (const auto& [what, damage] : damages) {
    TempTree scratch;
    const ChunkCache cache = OpenCache(scratch / "chunks");
    const CompressedStream cold = Compress(data, &cache);
    const fs::path entry = cache.folder() / Hex(key);
    ASSERT_TRUE(fs::is_regular_file(entry)) << what;
    damage(entry, cache);
    EXPECT_FALSE(cache.Find(key, ChunkOf(data, 0))) << what;
    if (fs::is_directory(entry)) fs::remove(entry);
    const CompressedStream warm = Compress(data, &cache);
    EXPECT_EQ(warm.bytes, cold.bytes) << what;
    EXPECT_EQ(warm.reused_chunks, cold.chunk_count - 1) << what;
    EXPECT_TRUE(cache.Find(key, ChunkOf(data, 0))) << what << ": not rewritten";
  }
}

TEST(ChunkCache, TheSettingsArePartOfTheKey) {
  TempTree scratch;
  const Bytes data = SampleData();
  const ChunkCache cache = OpenCache(scratch / "chunks");
  const auto chunk = ChunkOf(data, 0);
  EXPECT_NE(ChunkCache::KeyOf(chunk, {20, kChunk}), ChunkCache::KeyOf(chunk, {21, kChunk}));
  EXPECT_NE(ChunkCache::KeyOf(chunk, {20, kChunk}), ChunkCache::KeyOf(chunk, {20, 2 * kChunk}));
  EXPECT_EQ(ChunkCache::KeyOf(chunk, {20, kChunk}), ChunkCache::KeyOf(chunk, {20, kChunk}));
  Compress(data, &cache, 20);
  const CompressedStream other_level = Compress(data, &cache, 21);
  EXPECT_EQ(other_level.reused_chunks, 0u);
  EXPECT_EQ(other_level.bytes, Compress(data, nullptr, 21).bytes);
}

TEST(ChunkCache, PruneDropsTheLeastRecentlyUsedFirst) {
  TempTree scratch;
  const Bytes data = SampleData();
  const ChunkCache cache = OpenCache(scratch / "chunks");
  const ChunkSettings settings{20, kChunk};
  std::vector<ChunkCache::Key> keys;
  std::vector<Bytes> payloads;
  for (std::size_t i = 0; i < 3; ++i) {
    keys.push_back(ChunkCache::KeyOf(ChunkOf(data, i), settings));
    payloads.emplace_back(ChunkOf(data, i).size() / 2, std::byte{'p'});
    cache.Store(keys[i], payloads[i]);
  }
  // Stored oldest first; then the oldest is used, which makes it the newest.
  const auto now = fs::file_time_type::clock::now();
  for (std::size_t i = 0; i < 3; ++i) {
    fs::last_write_time(cache.folder() / Hex(keys[i]), now - std::chrono::hours(3 - i));
  }
  fs::path leftover = cache.folder() / "tmp-abcdef";
  std::ofstream(leftover) << "half an entry";
  fs::last_write_time(leftover, now - std::chrono::hours(10));
  std::ofstream(cache.folder() / "not-ours.txt") << "left alone";
  // The stand-in payloads do not decode, so Find refuses them: mark the use by hand.
  fs::last_write_time(cache.folder() / Hex(keys[0]), now);
  const std::uint64_t entry_size = fs::file_size(cache.folder() / Hex(keys[0]));

  cache.Prune(2 * entry_size);
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_FALSE(fs::exists(cache.folder() / Hex(keys[1])));
  EXPECT_TRUE(fs::exists(cache.folder() / Hex(keys[2])));
  EXPECT_TRUE(fs::exists(cache.folder() / Hex(keys[0])));
  EXPECT_TRUE(fs::exists(cache.folder() / "not-ours.txt"));
}

// A hit marks the entry as used, so the next prune keeps it.
TEST(ChunkCache, AHitRefreshesTheEntry) {
  TempTree scratch;
  const Bytes data = SampleData();
  const ChunkCache cache = OpenCache(scratch / "chunks");
  Compress(data, &cache);
  const fs::path entry = cache.folder() / Hex(ChunkCache::KeyOf(ChunkOf(data, 0), {20, kChunk}));
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(5);
  fs::last_write_time(entry, old);
  ASSERT_TRUE(cache.Find(ChunkCache::KeyOf(ChunkOf(data, 0), {20, kChunk}), ChunkOf(data, 0)));
  EXPECT_GT(fs::last_write_time(entry), old + std::chrono::hours(4));
}

TEST(ChunkCache, AFolderOthersCanWriteIsNotUsed) {
  TempTree scratch;
  fs::create_directory(scratch / "shared");
  ::chmod((scratch / "shared").c_str(), 0777);
  auto shared = ChunkCache::Open(scratch / "shared");
  ASSERT_FALSE(shared);
  EXPECT_EQ(shared.error(), "writable by other users");
  fs::create_directory(scratch / "real");
  fs::create_directory_symlink(scratch / "real", scratch / "link");
  auto linked = ChunkCache::Open(scratch / "link");
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error(), "not a folder");
  std::ofstream(scratch / "file") << "x";
  EXPECT_FALSE(ChunkCache::Open(scratch / "file"));

  auto made = ChunkCache::Open(scratch / "new" / "chunks");
  ASSERT_TRUE(made) << made.error();
  struct stat info {};
  ASSERT_EQ(::stat((scratch / "new" / "chunks").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace lumaro::pack
