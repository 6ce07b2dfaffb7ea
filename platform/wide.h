// UTF-16 at the system boundary: conversion, and filling a buffer from the
// calls that report the size they need.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32_error.h"

namespace lumaro::platform {

// Plain UTF-16 with a terminating NUL, for names and texts.
std::wstring ToWide(std::string_view utf8);
// Unpaired surrogates become U+FFFD, so the rest stays readable.
std::string FromWide(std::wstring_view utf16);

inline std::u16string_view AsU16(std::wstring_view s) {
  return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}
inline std::wstring AsWide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

// Runs `fill(buffer, size)` until the text fits. The call returns the length
// written (NUL excluded) when it fits, the size needed when it does not, or 0
// with a last error on failure; a call that can only say "too small" fills the
// buffer exactly and sets ERROR_INSUFFICIENT_BUFFER, and the buffer doubles.
// A 0 with no last error is an empty text (a variable defined as "").
template <class Fill>
Result<std::wstring> FillWideBuffer(Fill fill, std::size_t initial_size) {
  constexpr std::size_t kLargest = 0xFFFFFFFFu;  // sizes go to the system as a DWORD
  std::wstring buffer(initial_size, L'\0');
  for (;;) {
    SetLastError(0);
    const std::size_t n = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
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
