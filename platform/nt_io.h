// NT status helpers for platform/'s own files, which see <windows.h>: the
// success test and the wait for a request left pending, said once for the
// native reads, writes and flushes.
#pragma once

#include "platform/win32.h"

namespace lumaro::platform {

inline constexpr LONG kStatusPending = 0x00000103;

inline bool NtSuccess(LONG status) { return status >= 0; }

// Waits for a request that a handle opened for asynchronous use left pending.
inline LONG FinalStatus(HANDLE file, LONG status, const IO_STATUS_BLOCK& io) {
  if (status != kStatusPending) return status;
  WaitForSingleObject(file, INFINITE);
  return io.Status;
}

}  // namespace lumaro::platform
