// The single-instance guard and the activation of the running instance.

#include "launcher/instance_guard.h"

#include "platform/system.h"

namespace lumaro::launcher {

platform::Result<InstanceGuard::Outcome> InstanceGuard::Acquire() {
  const std::wstring name = platform::ToWide(kMutexName);
  platform::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
  const DWORD error = GetLastError();
  if (!mutex) return platform::Fail(platform::LaunchError::Os(error));
  if (error == ERROR_ALREADY_EXISTS) {
    // The handle opens the other launcher's mutex and does not own it.
    ActivateRunningInstance();
    return Outcome(AlreadyRunning{});
  }
  return Outcome(InstanceGuard(std::move(mutex)));
}

void ActivateRunningInstance() { platform::ActivateWindowByTitle(kWindowTitle); }

}  // namespace lumaro::launcher
