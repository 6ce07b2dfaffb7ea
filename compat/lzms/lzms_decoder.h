// Our own LZMS decoder: raw LZMS chunks, and the Compression API's buffer
// container around them. Portable C++, no Windows headers; it decodes straight
// into the caller's buffer and never reads or writes outside the given spans.
#pragma once

#include <cstddef>
#include <span>

namespace lzms {

enum class DecodeStatus {
  kOk,
  kCorrupt,         // malformed stream or container (ERROR_BAD_COMPRESSION_BUFFER)
  kOutputTooSmall,  // the content does not fit the output (ERROR_INSUFFICIENT_BUFFER)
  kOutOfMemory,     // the decoder's own state could not be allocated
};

// Decodes one raw LZMS chunk whose uncompressed size is exactly out.size().
DecodeStatus DecodeChunk(std::span<const std::byte> in, std::span<std::byte> out);

struct BufferDecodeResult {
  DecodeStatus status;
  std::size_t produced;  // bytes of content written to out (valid when kOk)
};

// Decodes a whole Compression API buffer-mode LZMS stream (24-byte header,
// then chunk records) into out.
BufferDecodeResult DecompressBuffer(std::span<const std::byte> in, std::span<std::byte> out);

}  // namespace lzms
