// Header and chunk-record walk; see stream_walk.h. Each chunk record takes at
// least 4 bytes, so a header claiming absurdly many chunks still ends the walk
// at the end of the section.
#include "tools/inspect/stream_walk.h"

#include <algorithm>
#include <optional>

#include "compat/lzms/buffer_header.h"
#include "tools/inspect/le_bytes.h"

namespace lumaro::inspect {

StreamWalk WalkStream(std::span<const std::byte> available) {
  StreamWalk walk;
  const std::optional<lzms::BufferHeader> header = lzms::ParseBufferHeader(available);
  if (!header) {
    walk.problem = "the stream has no valid LZMS buffer header";
    return walk;
  }
  walk.header_ok = true;
  walk.total_size = header->total_size;
  walk.chunk_size = header->chunk_size;
  walk.chunk_count = header->total_size == 0 ? 0 : (header->total_size - 1) / header->chunk_size + 1;

  std::size_t at = lzms::kBufferHeaderSize;
  std::uint64_t done = 0;
  for (std::uint64_t chunk = 1; chunk <= walk.chunk_count; ++chunk) {
    const std::uint64_t uncompressed = std::min<std::uint64_t>(header->chunk_size, header->total_size - done);
    const std::string which = "chunk " + std::to_string(chunk) + " of " + std::to_string(walk.chunk_count);
    if (!Fits(available, at, lzms::kChunkRecordHeadSize)) {
      walk.problem = which + ": the stream is truncated before its record";
      return walk;
    }
    const std::uint32_t packed = LoadLe32(available, at);
    at += lzms::kChunkRecordHeadSize;
    if (packed > uncompressed) {
      walk.problem = which + ": its record claims " + std::to_string(packed) + " compressed bytes for " +
                     std::to_string(uncompressed) + " uncompressed";
      return walk;
    }
    if (!Fits(available, at, packed)) {
      walk.problem = which + ": the stream is truncated inside its " + std::to_string(packed) + " bytes";
      return walk;
    }
    if (packed == uncompressed) ++walk.stored_chunks;
    at += packed;
    done += uncompressed;
  }
  walk.length = at;
  return walk;
}

}  // namespace lumaro::inspect
