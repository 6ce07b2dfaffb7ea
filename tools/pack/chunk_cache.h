// Compressed chunks kept between packs, so that a repack after a small change
// recompresses only the chunks whose bytes changed. An entry is named by the
// SHA-256 of the compressor's version, its settings and the chunk's bytes,
// and is used only after it decodes back to exactly that chunk: a damaged or
// planted entry costs a recompression, never a wrong package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumaro::pack {

// What besides the chunk's bytes decides wimlib's output.
struct ChunkSettings {
  unsigned level;
  std::uint32_t window;  // the compressor's largest buffer: the stream's recorded chunk size
};

// Least recently used entries go once the folder holds more than this.
inline constexpr std::uint64_t kChunkCacheLimit = std::uint64_t{1} << 30;

class ChunkCache {
 public:
  using Key = std::array<unsigned char, 32>;

  // $XDG_CACHE_HOME/lumaro/chunks, else ~/.cache/lumaro/chunks; nullopt when
  // neither variable names an absolute folder.
  static std::optional<std::filesystem::path> DefaultFolder();

  // Creates folder (mode 0700) if need be. Refused, with the reason, when it
  // is not a folder of this user that only this user can write: entries are
  // checked anyway, but nobody else should decide what a pack spends its
  // time on.
  static std::expected<ChunkCache, std::string> Open(const std::filesystem::path& folder);

  static Key KeyOf(std::span<const std::byte> chunk, const ChunkSettings& settings);

  // The chunk's stored form: its compressed payload, or an empty vector when
  // it is kept verbatim. nullopt when there is no entry, or it is damaged or
  // does not decode to chunk; the caller compresses and stores it again.
  std::optional<std::vector<std::byte>> Find(const Key& key, std::span<const std::byte> chunk) const;

  // Best effort: a cache that cannot be written only makes the next pack
  // slower. Written to a temporary file and renamed, so a reader sees the
  // whole entry or none.
  void Store(const Key& key, std::span<const std::byte> payload) const;

  // Removes the least recently used entries (and leftover temporary files)
  // until the folder holds at most limit bytes.
  void Prune(std::uint64_t limit) const;

  const std::filesystem::path& folder() const { return folder_; }

 private:
  explicit ChunkCache(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::filesystem::path EntryPath(const Key& key) const;

  std::filesystem::path folder_;
};

}  // namespace lumaro::pack
