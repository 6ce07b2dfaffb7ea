// Little-endian loads and stores for the file formats (payload record, package
// archive, the Compression API stream, PE headers). Portable: no <windows.h>.
// memcpy keeps them free of alignment and aliasing traps and still compiles to
// a single load or store; the swap vanishes on little-endian targets.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumaro::platform {

template <typename T>
concept ByteLike = std::same_as<T, std::byte> || std::same_as<T, unsigned char> || std::same_as<T, char>;

template <std::unsigned_integral U, ByteLike B>
[[nodiscard]] inline U LoadLe(const B* p) {
  U value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

template <std::unsigned_integral U, ByteLike B>
inline void StoreLe(B* p, U value) {
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  std::memcpy(p, &value, sizeof value);
}

template <ByteLike B>
[[nodiscard]] inline std::uint16_t LoadLe16(const B* p) { return LoadLe<std::uint16_t>(p); }
template <ByteLike B>
[[nodiscard]] inline std::uint32_t LoadLe32(const B* p) { return LoadLe<std::uint32_t>(p); }
template <ByteLike B>
[[nodiscard]] inline std::uint64_t LoadLe64(const B* p) { return LoadLe<std::uint64_t>(p); }

template <ByteLike B>
inline void StoreLe16(B* p, std::uint16_t value) { StoreLe(p, value); }
template <ByteLike B>
inline void StoreLe32(B* p, std::uint32_t value) { StoreLe(p, value); }
template <ByteLike B>
inline void StoreLe64(B* p, std::uint64_t value) { StoreLe(p, value); }

}  // namespace lumaro::platform
