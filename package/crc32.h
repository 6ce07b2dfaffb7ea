// CRC-32 with the zlib polynomial (reflected 0xEDB88320), the digest the pack
// tool stores beside the package sizes. It guards against damage, not against
// an attacker: that is what the exe's signature is for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumaro::package {

// Same value as zlib's crc32(crc, data, size): start with 0, and feed the
// previous result back in to continue over a following block.
std::uint32_t Crc32(std::span<const std::byte> data, std::uint32_t crc = 0);

// The table-driven path alone, as a CPU without carry-less multiplication
// runs it; Crc32 gives the same value either way.
std::uint32_t Crc32BySlices(std::span<const std::byte> data, std::uint32_t crc = 0);

}  // namespace lumaro::package
