// One launcher per logon session: a named mutex in the session namespace.
// A second launcher activates the running application's window instead.
#pragma once

#include <string_view>
#include <variant>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::launcher {

inline constexpr std::string_view kMutexName = "Local\\Lumaro.Desktop.2026";
inline constexpr std::string_view kWindowTitle = "Lumaro · Máy nhà";

// Holds the mutex handle; closing it is the only release.
class InstanceGuard {
 public:
  struct AlreadyRunning {};
  using Outcome = std::variant<InstanceGuard, AlreadyRunning>;

  static platform::Result<Outcome> Acquire();

  InstanceGuard(InstanceGuard&&) = default;
  InstanceGuard& operator=(InstanceGuard&&) = default;
  void Close() { mutex_.reset(); }

 private:
  explicit InstanceGuard(platform::UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  platform::UniqueHandle mutex_;
};

// Restores and brings to the front the window titled kWindowTitle, if any.
void ActivateRunningInstance();

}  // namespace lumaro::launcher
