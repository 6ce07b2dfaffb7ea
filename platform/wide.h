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

using WideFillFn = DWORD (*)(const void* context, wchar_t* buffer, DWORD size);
Result<std::wstring> FillWideBufferWith(WideFillFn fill, const void* context,
                                        std::size_t initial_size);

// Runs `fill(buffer, size)` until the text fits. The call returns the length
// written (NUL excluded) when it fits, the size needed when it does not, or 0
// with a last error on failure; a call that can only say "too small" fills the
// buffer exactly and sets ERROR_INSUFFICIENT_BUFFER, and the buffer doubles.
// A 0 with no last error is an empty text (a variable defined as "").
template <class Fill>
Result<std::wstring> FillWideBuffer(const Fill& fill, std::size_t initial_size) {
  // One loop for every call site; each site adds only this small thunk.
  const auto thunk = [](const void* context, wchar_t* buffer, DWORD size) -> DWORD {
    return (*static_cast<const Fill*>(context))(buffer, size);
  };
  return FillWideBufferWith(thunk, &fill, initial_size);
}

}  // namespace lumaro::platform
