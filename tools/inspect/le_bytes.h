// Little-endian loads from a byte span, and the one bounds check every
// caller makes first: Fits(bytes, offset, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumaro::inspect {

// True when [offset, offset + length) lies inside bytes; never overflows.
inline bool Fits(std::span<const std::byte> bytes, std::uint64_t offset, std::uint64_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

// The caller has checked Fits(bytes, offset, width).
inline std::uint64_t LoadLe(std::span<const std::byte> bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = (value << 8) | std::to_integer<std::uint64_t>(bytes[offset + i]);
  return value;
}

inline std::uint16_t LoadLe16(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(LoadLe(bytes, offset, 2));
}

inline std::uint32_t LoadLe32(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(LoadLe(bytes, offset, 4));
}

}  // namespace lumaro::inspect
