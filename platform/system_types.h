// The Windows types platform/'s interface is written in, named without
// <windows.h>: launcher/ and package/ see no Win32 type. unique_handle.cpp
// checks each against its Windows counterpart.
#pragma once

#include <cstdint>

struct HINSTANCE__;  // what <windows.h> makes HMODULE point to

namespace lumaro::platform {

using NativeHandle = void*;                // HANDLE
using ModuleHandle = ::HINSTANCE__*;       // HMODULE
using SystemErrorCode = std::uint32_t;     // DWORD, as GetLastError returns it
using NtStatus = std::int32_t;             // NTSTATUS

// INVALID_HANDLE_VALUE: what CreateFileW and FindFirstFileW return on failure.
inline NativeHandle InvalidHandleValue() {
  return reinterpret_cast<NativeHandle>(~std::uintptr_t{0});
}

}  // namespace lumaro::platform
