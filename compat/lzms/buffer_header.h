// The Compression API's buffer-mode header (24 bytes before the chunk
// records), the one description of it: the stand-in cabinet.dll and its
// container decoder parse it, the pack tool writes it, the inspector reads it.
//
//   0  u32  magic 0xC0E5510A
//   4  u16  header size (24)
//   6  u8   check byte: low byte of the CRC-32 of the header without this byte
//   7  u8   algorithm (5: LZMS)
//   8  u64  uncompressed total
//  16  u32  chunk size: min(total, block size)
//  20  u32  0
// Then, per chunk, a u32 LE packed size and the chunk (verbatim when the
// packed size equals the chunk's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lzms {

inline constexpr std::size_t kBufferHeaderSize = 24;
inline constexpr std::uint32_t kBufferMagic = 0xC0E5510A;
inline constexpr std::uint8_t kAlgorithmLzms = 5;
inline constexpr std::size_t kHeaderSizeOffset = 4;
inline constexpr std::size_t kCheckByteOffset = 6;
inline constexpr std::size_t kAlgorithmOffset = 7;
inline constexpr std::size_t kTotalSizeOffset = 8;
inline constexpr std::size_t kChunkSizeOffset = 16;
inline constexpr std::size_t kReservedOffset = 20;
// Each chunk record starts with its packed size.
inline constexpr std::size_t kChunkRecordHeadSize = 4;

// Windows writes min(total, 64 MiB) at most, and accepts a chunk size under
// 32 KiB only when one chunk holds everything.
inline constexpr std::uint32_t kMaxBufferChunkSize = 64u << 20;
inline constexpr std::uint32_t kMinSplitChunkSize = 32u << 10;

struct BufferHeader {
  std::uint64_t total_size;
  std::uint32_t chunk_size;
};

using BufferHeaderBytes = std::array<std::byte, kBufferHeaderSize>;

// The check byte the header's other 23 bytes call for.
std::uint8_t BufferHeaderCheckByte(std::span<const std::byte, kBufferHeaderSize> header);

// A well-formed LZMS header; chunk_size is what the header records, i.e.
// already min(total, block size).
BufferHeaderBytes MakeBufferHeader(std::uint64_t total_size, std::uint32_t chunk_size);

// Returns the header if in starts with a well-formed LZMS buffer header.
std::optional<BufferHeader> ParseBufferHeader(std::span<const std::byte> in);

}  // namespace lzms
