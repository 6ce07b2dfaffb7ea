// The compressed stream's shape without decoding it: the buffer header, then
// one record per chunk (u32 compressed size, that many bytes). This is what
// gives the stream its length, which the payload record does not store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lumaro::inspect {

struct StreamWalk {
  bool header_ok = false;       // a valid LZMS buffer header
  std::uint64_t total_size = 0;  // uncompressed bytes, from the header
  std::uint32_t chunk_size = 0;  // uncompressed bytes per chunk, from the header
  std::uint64_t chunk_count = 0;  // as the header implies
  std::uint64_t stored_chunks = 0;  // chunks kept verbatim (walked ones)
  std::size_t length = 0;         // header plus every chunk record; valid when complete()
  std::string problem;            // why the walk stopped; empty when it reached the end

  bool complete() const { return header_ok && problem.empty(); }
};

// Walks the stream at the start of available (which runs to the end of its
// section): every chunk record must fit there and be no longer than its
// chunk's uncompressed size. Never reads outside available.
StreamWalk WalkStream(std::span<const std::byte> available);

}  // namespace lumaro::inspect
