// Slice-by-16: sixteen 1 KiB tables let the loop fold 16 input bytes per step
// with independent lookups, about four times the speed of the byte loop. The
// tables are built on first use into zero-initialised storage, so they cost
// the exe no file bytes.

#include "package/crc32.h"

#include <array>
#include <cstring>

namespace lumaro::package {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::size_t kSlices = 16;

using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

const Tables& CrcTables() {
  static Tables tables;
  static bool built = false;  // the launcher is single-threaded; tests too
  if (!built) {
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
      std::uint32_t crc = byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1u)));
      tables[0][byte] = crc;
    }
    for (std::size_t slice = 1; slice < kSlices; ++slice) {
      for (std::size_t byte = 0; byte < 256; ++byte) {
        const std::uint32_t previous = tables[slice - 1][byte];
        tables[slice][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
      }
    }
    built = true;
  }
  return tables;
}

std::uint32_t LoadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::byte> data, std::uint32_t crc) {
  const Tables& t = CrcTables();
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t left = data.size();
  crc = ~crc;
  while (left >= kSlices) {
    const std::uint32_t a = crc ^ LoadLe32(p);
    const std::uint32_t b = LoadLe32(p + 4);
    const std::uint32_t c = LoadLe32(p + 8);
    const std::uint32_t d = LoadLe32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += kSlices;
    left -= kSlices;
  }
  while (left-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

}  // namespace lumaro::package
