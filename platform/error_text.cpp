// System error texts through FormatMessageW, with the NTDLL message table for
// NT status codes and a fallback when no description exists.

#include "platform/error_text.h"

#include <string>

#include "platform/text.h"
#include "platform/win32.h"

namespace lumaro::platform {

std::string SystemMessageText(std::int32_t code) {
  wchar_t buffer[2048] = {};
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const void* source = nullptr;
  std::int32_t lookup = code;
  if ((static_cast<std::uint32_t>(code) & 0x10000000u) != 0) {
    if (HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL")) {
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
      source = ntdll;
      lookup = static_cast<std::int32_t>(static_cast<std::uint32_t>(code) & ~0x10000000u);
    }
  }
  const DWORD length = FormatMessageW(flags, source, static_cast<DWORD>(lookup), 0, buffer,
                                      static_cast<DWORD>(std::size(buffer)), nullptr);
  if (length == 0) {
    const auto error = static_cast<std::int32_t>(GetLastError());
    return "OS Error " + std::to_string(lookup) + " (FormatMessageW() returned error " +
           std::to_string(error) + ")";
  }
  const auto text = Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
  if (!text) {
    return "OS Error " + std::to_string(lookup) + " (FormatMessageW() returned invalid UTF-16)";
  }
  return std::string(TrimTrailingAsciiWhitespace(*text));
}

}  // namespace lumaro::platform
