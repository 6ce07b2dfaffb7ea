// What keeps one copy running per logon session: a named mutex owned by the
// first copy, and bringing that copy's window to the front.
#pragma once

#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

struct NamedMutex {
  UniqueHandle handle;
  // The mutex existed already: the handle opens another process's mutex and
  // does not own it.
  bool already_existed = false;
};

// CreateMutexW asking for initial ownership.
Result<NamedMutex> CreateOwnedNamedMutex(std::string_view name);

// Restores and brings to the front the top-level window with this title, if
// there is one (FindWindowW, ShowWindow(SW_RESTORE), SetForegroundWindow).
void ActivateWindowByTitle(std::string_view title);

}  // namespace lumaro::platform
