// Compresses a buffer into the Windows Compression API's buffer-mode LZMS
// stream: a 24-byte header, then per chunk a u32 compressed size and the
// chunk, each chunk an independent LZMS stream from wimlib's compressor, or
// the chunk verbatim when compressing does not make it smaller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "tools/pack/chunk_cache.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

inline constexpr std::uint32_t kChunkGranule = 64 * 1024;
inline constexpr std::uint32_t kMaxChunkSize = lzms::kMaxBufferChunkSize;
// Smaller chunks cost too much ratio to be offered.
inline constexpr std::uint32_t kMinChunkOption = 1024 * 1024;
inline constexpr unsigned kDefaultLevel = 50;
// --best: past this level wimlib's LZMS output stops shrinking on real
// packages (measured on node.exe plus a JavaScript library, 64 MiB chunks).
inline constexpr unsigned kBestLevel = 70;

// Windows' compressor takes block sizes from 64 KiB to 64 MiB; we keep to
// multiples of 64 KiB in that range.
bool IsValidChunkSize(std::uint64_t chunk_size);

// The default chunk size: fixed 16 MiB slices, whatever the total. A fixed
// size keeps every chunk before a change byte-identical between two
// releases, so a repack takes them from the cache and an update reuses
// them; equal chunks sized from the total moved every boundary whenever the
// total crossed a step. On node.exe plus 1,800 files 16 MiB costs 0.4% over
// 24 MiB chunks (bench/README.md). It depends on the data alone, never on
// the machine's cores, so that the same folder packs to the same bytes
// anywhere. Data under 16 MiB is one chunk (the header records the total).
inline constexpr std::uint32_t kDefaultChunkSize = 16u << 20;
std::uint32_t ChooseChunkSize(std::size_t total);

struct CompressOptions {
  std::uint32_t chunk_size = 0;  // 0: ChooseChunkSize
  unsigned level = kDefaultLevel;
  unsigned threads = 0;          // 0: all cores
  // Where chunks compressed before are taken from and new ones kept; the
  // stream's bytes are the same with or without it.
  const ChunkCache* cache = nullptr;
  std::function<void(std::size_t chunks_done, std::size_t chunks_total)> on_chunk;
};

struct CompressedStream {
  std::vector<std::byte> bytes;
  std::uint32_t chunk_size = 0;  // as recorded in the header
  std::size_t chunk_count = 0;
  std::size_t stored_chunks = 0;  // chunks kept verbatim
  std::size_t reused_chunks = 0;  // taken from the cache
};

std::expected<CompressedStream, PackError> CompressLzmsBuffer(std::span<const std::byte> data,
                                                              const CompressOptions& options);

unsigned DefaultThreadCount();

}  // namespace lumaro::pack
