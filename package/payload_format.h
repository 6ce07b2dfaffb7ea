// The layout of what the pack tool hands to the launcher build, shared by the
// launcher, the pack tool and the tools that look inside a built exe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumaro::package {

// The payload record: "LMR1", u32 LE uncompressed size, the 16-byte BuildId,
// then the compressed stream, packed with no padding.
inline constexpr std::array<char, 4> kRecordMagic = {'L', 'M', 'R', '1'};
inline constexpr std::size_t kRecordSizeOffset = 4;
inline constexpr std::size_t kBuildIdOffset = 8;
inline constexpr std::size_t kBuildIdSize = 16;
inline constexpr std::size_t kRecordHeadSize = 24;
static_assert(kRecordSizeOffset == kRecordMagic.size() &&
                  kBuildIdOffset == kRecordSizeOffset + sizeof(std::uint32_t) &&
                  kRecordHeadSize == kBuildIdOffset + kBuildIdSize,
              "the record's fields lie end to end, the stream right after the BuildId");

// A BuildId is kBuildIdSize ASCII hex digits. The pack tool writes lower case;
// readers take either case.
inline constexpr std::string_view kBuildIdDigits = "0123456789abcdef";

constexpr bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr bool IsHexText(std::string_view text) {
  for (const char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

// The constants generated with the record, as one block of four LE u32 words
// tagged "LMRC", so that a tool can read them back out of a built exe without
// symbols: [0] "LMRC", [1] PACKAGE_SIZE, [2] COMPRESSED_SIZE, [3] PACKAGE_CRC32.
inline constexpr std::size_t kPayloadConstantsWords = 4;
inline constexpr std::uint32_t kPayloadConstantsTag = 0x43524D4Cu;  // "LMRC" in memory
inline constexpr std::size_t kPackageSizeWord = 1;
inline constexpr std::size_t kCompressedSizeWord = 2;
inline constexpr std::size_t kPackageCrc32Word = 3;

}  // namespace lumaro::package
