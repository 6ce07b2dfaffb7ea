// Test-side helpers that make LZMS streams with wimlib (the reference
// encoder) and wrap them in the Compression API buffer container, plus
// wimlib's own decoder as an oracle. Host only: links wim and z.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compat/lzms/buffer_header.h"

namespace lzms::testing {

using Bytes = std::vector<std::byte>;

// One raw LZMS block, or nullopt when wimlib would not make it smaller.
std::optional<Bytes> CompressChunk(std::span<const std::byte> data, unsigned level);

// A complete buffer-mode stream: 24-byte header, then one record per chunk
// (stored verbatim when LZMS does not shrink it).
Bytes CompressBuffer(std::span<const std::byte> data, unsigned level,
                     std::size_t chunk_size = 64u << 20);

// Builds just the header (with a correct check byte) for the given fields.
Bytes MakeHeader(std::uint64_t total, std::uint32_t chunk_size, std::uint8_t algorithm = kAlgorithmLzms,
                 std::uint32_t flags = 0);

// Recomputes the header check byte after a test edited header fields.
void FixCheckByte(Bytes& stream);

// wimlib's decoder on one raw block; nullopt if it reports failure.
std::optional<Bytes> WimlibDecodeChunk(std::span<const std::byte> block, std::size_t size);

// Input generators (deterministic).
Bytes RandomBytes(std::size_t n, std::uint32_t seed);
Bytes EnglishLikeText(std::size_t n, std::uint32_t seed);
Bytes Counters32(std::size_t n);            // little-endian 32-bit counters
Bytes StridedRecords(std::size_t n, std::uint32_t seed);  // delta-friendly structures
Bytes ReadFilePrefix(const std::string& path, std::size_t max,
                     std::size_t skip = 0);  // empty if unreadable
Bytes MachineCode(std::size_t n);  // real x86-64 code from a PE on this system

}  // namespace lzms::testing
