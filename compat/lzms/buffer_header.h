// The Compression API's buffer-mode header (24 bytes before the chunk
// records): parsing and full validation, shared by the container decoder and
// the stand-in cabinet.dll (which needs the total size for its size query).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lzms {

inline constexpr std::size_t kBufferHeaderSize = 24;
inline constexpr std::uint32_t kBufferMagic = 0xC0E5510A;
inline constexpr std::uint8_t kAlgorithmLzms = 5;
inline constexpr std::uint32_t kMaxBufferChunkSize = 64u << 20;
inline constexpr std::uint32_t kMinSplitChunkSize = 32u << 10;

struct BufferHeader {
  std::uint64_t total_size;
  std::uint32_t chunk_size;
};

// CRC-32 (reflected, 0xEDB88320), continued from crc; start with 0.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::byte> data);

// Returns the header if in starts with a well-formed LZMS buffer header.
std::optional<BufferHeader> ParseBufferHeader(std::span<const std::byte> in);

}  // namespace lzms
