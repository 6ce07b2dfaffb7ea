// Result<T>: a value or the LaunchError that stopped the step.
#pragma once

#include <expected>

#include "platform/launch_error.h"

namespace lumaro::platform {

template <class T>
using Result = std::expected<T, LaunchError>;

inline std::unexpected<LaunchError> Fail(LaunchError error) {
  return std::unexpected<LaunchError>(std::move(error));
}

}  // namespace lumaro::platform
