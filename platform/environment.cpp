// Environment variables through the UTF-16 calls.

#include "platform/environment.h"

#include "platform/wide.h"

namespace lumaro::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::optional<std::string> ReadEnvironmentVariable(std::string_view name) {
  const std::wstring wide_name = ToWide(name);
  auto value = FillWideBuffer(
      [&](wchar_t* buffer, DWORD size) {
        return GetEnvironmentVariableW(wide_name.c_str(), buffer, size);
      },
      256);
  if (!value) return std::nullopt;
  return FromWide(*value);
}

int CompareNamesIgnoringCase(std::u16string_view a, std::u16string_view b) {
  // Variable names are far below INT_MAX units (the block is limited to 32767).
  const int result = CompareStringOrdinal(reinterpret_cast<LPCWCH>(a.data()),
                                          static_cast<int>(a.size()),
                                          reinterpret_cast<LPCWCH>(b.data()),
                                          static_cast<int>(b.size()), TRUE);
  if (result == 0) return a.compare(b);  // a refused call: keep the order strict
  return result - CSTR_EQUAL;
}

EnvironmentStrings::EnvironmentStrings()
    : strings_(reinterpret_cast<char16_t*>(GetEnvironmentStringsW())) {}

EnvironmentStrings::~EnvironmentStrings() {
  if (strings_ != nullptr) FreeEnvironmentStringsW(reinterpret_cast<LPWCH>(strings_));
}

}  // namespace lumaro::platform
