// The one error dialog, then exit status 1.
#pragma once

#include "platform/launch_error.h"

namespace lumaro::launcher {

[[noreturn]] void ReportFailureAndExit(const platform::LaunchError& error);

}  // namespace lumaro::launcher
