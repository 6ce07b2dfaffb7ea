// Little-endian loads at an offset into a byte span, and the one bounds check
// every caller makes first: Fits(bytes, offset, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/byte_order.h"

namespace lumaro::inspect {

// True when [offset, offset + length) lies inside bytes; never overflows.
inline bool Fits(std::span<const std::byte> bytes, std::uint64_t offset, std::uint64_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

// The caller has checked Fits(bytes, offset, 2).
inline std::uint16_t LoadLe16(std::span<const std::byte> bytes, std::size_t offset) {
  return platform::LoadLe16(bytes.subspan(offset, 2).data());
}

// The caller has checked Fits(bytes, offset, 4).
inline std::uint32_t LoadLe32(std::span<const std::byte> bytes, std::size_t offset) {
  return platform::LoadLe32(bytes.subspan(offset, 4).data());
}

}  // namespace lumaro::inspect
