// Test tools: the one payload record inside a launcher exe (or a bare record
// file), found by its magic, 16 hex digits of BuildId and the stream's magic.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "package/payload_format.h"

namespace lumaro::test_tools {

inline bool IsHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Offset of the record, or nullopt (with why) when there is none or more than one.
inline std::optional<std::size_t> FindRecord(const std::vector<unsigned char>& file, std::string& why) {
  static const unsigned char kStreamMagic[] = {0x0A, 0x51, 0xE5, 0xC0};
  constexpr std::size_t kHead = package::kRecordHeadSize;
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i + kHead + 4 <= file.size(); ++i) {
    if (std::memcmp(&file[i], package::kRecordMagic.data(), 4) != 0) continue;
    if (std::memcmp(&file[i + kHead], kStreamMagic, 4) != 0) continue;
    bool hex = true;
    for (std::size_t k = 0; k < package::kBuildIdSize; ++k) hex = hex && IsHexDigit(file[i + package::kBuildIdOffset + k]);
    if (!hex) continue;
    if (found) {
      why = "more than one record";
      return std::nullopt;
    }
    found = i;
  }
  if (!found) why = "no record";
  return found;
}

}  // namespace lumaro::test_tools
