// UTF-16 conversion at the system boundary.

#include "platform/wide.h"

#include <algorithm>

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

Result<std::wstring> FillWideBufferWith(WideFillFn fill, const void* context,
                                        std::size_t initial_size) {
  constexpr std::size_t kLargest = 0xFFFFFFFFu;  // sizes go to the system as a DWORD
  std::wstring buffer(initial_size, L'\0');
  for (;;) {
    SetLastError(0);
    const std::size_t n = fill(context, buffer.data(), static_cast<DWORD>(buffer.size()));
    const DWORD error = GetLastError();
    if (n == 0 && error != 0) return Fail(LaunchError::Os(error));
    if (n == buffer.size()) {
      // Filled exactly without the documented error: don't trust a possibly
      // cut text.
      if (error != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= kLargest) {
        return Fail(LaunchError::Os(error != 0 ? error : ERROR_INSUFFICIENT_BUFFER));
      }
      buffer.resize(std::min(buffer.size() * 2, kLargest));
    } else if (n > buffer.size()) {
      buffer.resize(n);  // the size needed, NUL included
    } else {
      buffer.resize(n);
      return buffer;
    }
  }
}

}  // namespace lumaro::platform
