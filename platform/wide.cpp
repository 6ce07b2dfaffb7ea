// UTF-16 conversion at the system boundary.

#include "platform/wide.h"

#include "platform/text.h"

namespace lumaro::platform {

std::wstring ToWide(std::string_view utf8) { return AsWide(Utf8ToUtf16(utf8)); }

std::string FromWide(std::wstring_view utf16) {
  if (auto text = Utf16ToUtf8(AsU16(utf16))) return std::move(*text);
  std::u16string repaired(AsU16(utf16));
  for (std::size_t i = 0; i < repaired.size(); ++i) {
    const char16_t c = repaired[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool paired_high =
        high && i + 1 < repaired.size() && repaired[i + 1] >= 0xDC00 && repaired[i + 1] <= 0xDFFF;
    if (paired_high) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      repaired[i] = 0xFFFD;
    }
  }
  return *Utf16ToUtf8(repaired);
}

}  // namespace lumaro::platform
