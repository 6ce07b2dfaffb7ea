// The single-instance guard and the activation of the running instance.

#include "launcher/instance_guard.h"

#include "platform/single_instance.h"

namespace lumaro::launcher {

platform::Result<InstanceGuard::Outcome> InstanceGuard::Acquire() {
  auto mutex = platform::CreateOwnedNamedMutex(kMutexName);
  if (!mutex) return platform::Fail(std::move(mutex.error()));
  if (mutex->already_existed) {
    // Another launcher owns it; this handle closes on return.
    ActivateRunningInstance();
    return Outcome(AlreadyRunning{});
  }
  return Outcome(InstanceGuard(std::move(mutex->handle)));
}

void ActivateRunningInstance() { platform::ActivateWindowByTitle(kWindowTitle); }

}  // namespace lumaro::launcher
