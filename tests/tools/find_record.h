// Test tools: the one payload record inside a launcher exe (or a bare record
// file), found by its magic, 16 hex digits of BuildId and the stream's magic.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "package/payload_format.h"
#include "platform/byte_order.h"

namespace lumaro::test_tools {

// Offset of the record, or nullopt (with why) when there is none or more than one.
inline std::optional<std::size_t> FindRecord(const std::vector<unsigned char>& file, std::string& why) {
  constexpr std::size_t kHead = package::kRecordHeadSize;
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i + kHead + sizeof lzms::kBufferMagic <= file.size(); ++i) {
    if (std::memcmp(&file[i], package::kRecordMagic.data(), package::kRecordMagic.size()) != 0) continue;
    if (platform::LoadLe32(&file[i + kHead]) != lzms::kBufferMagic) continue;
    const std::string_view id(reinterpret_cast<const char*>(&file[i + package::kBuildIdOffset]), package::kBuildIdSize);
    if (!package::IsHexText(id)) continue;
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
