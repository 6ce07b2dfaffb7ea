// One launcher per logon session: a named mutex in the session namespace.
// A second launcher activates the running application's window instead.
#pragma once

#include <string_view>
#include <variant>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::launcher {

// Holds the mutex handle; closing it is the only release. The mutex name and
// the window title are the exe's own, stamped when it was packed.
class InstanceGuard {
 public:
  struct AlreadyRunning {};
  using Outcome = std::variant<InstanceGuard, AlreadyRunning>;

  static platform::Result<Outcome> Acquire(std::string_view mutex_name, std::string_view window_title);

  InstanceGuard(InstanceGuard&&) = default;
  InstanceGuard& operator=(InstanceGuard&&) = default;
  void Close() { mutex_.reset(); }

 private:
  explicit InstanceGuard(platform::UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  platform::UniqueHandle mutex_;
};

// Restores and brings to the front the window titled window_title, if any.
void ActivateRunningInstance(std::string_view window_title);

}  // namespace lumaro::launcher
