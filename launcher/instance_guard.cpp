// The single-instance guard and the activation of the running instance.

#include "launcher/instance_guard.h"

#include "platform/single_instance.h"

namespace lumaro::launcher {

platform::Result<InstanceGuard::Outcome> InstanceGuard::Acquire(std::string_view mutex_name,
                                                                std::string_view window_title) {
  auto mutex = platform::CreateOwnedNamedMutex(mutex_name);
  if (!mutex) return platform::Fail(std::move(mutex.error()));
  if (mutex->already_existed) {
    // Another launcher owns it; this handle closes on return.
    ActivateRunningInstance(window_title);
    return Outcome(AlreadyRunning{});
  }
  return Outcome(InstanceGuard(std::move(mutex->handle)));
}

void ActivateRunningInstance(std::string_view window_title) { platform::ActivateWindowByTitle(window_title); }

}  // namespace lumaro::launcher
