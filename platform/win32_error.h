// A failed Win32 call as a LaunchError, in one step: the thread's last error
// is read right after the call, before anything else can change it.
#pragma once

#include "platform/result.h"
#include "platform/win32.h"

namespace lumaro::platform {

inline LaunchError LastError() { return LaunchError::Os(GetLastError()); }

// For calls that return BOOL: nothing on success, else the last error.
inline Result<void> CheckBool(BOOL succeeded) {
  if (succeeded) return {};
  return Fail(LastError());
}

}  // namespace lumaro::platform
