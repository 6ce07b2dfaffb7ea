// The system's own description of an error code, and the dialog text of a
// LaunchError that uses it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/launch_error.h"

namespace lumaro::platform {

// Trailing ASCII white space trimmed; the NTDLL table for codes with bit
// 0x10000000 (NT statuses).
std::string SystemMessageText(std::int32_t code);

inline std::string RenderLaunchError(const LaunchError& error) {
  return RenderLaunchError(error, &SystemMessageText);
}

}  // namespace lumaro::platform
