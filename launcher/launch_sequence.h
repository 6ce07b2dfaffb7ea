// The launch sequence: one straight pass from the instance guard to the
// application's exit, stopping at the first error.
#pragma once

#include <string>

#include "platform/result.h"

namespace lumaro::launcher {

// The program's entry. Returns 0 on success or when another launcher runs;
// on any error shows the dialog and exits 1 instead of returning.
int RunLauncher();

// "Lumaro" in the folder named by LOCALAPPDATA, created with its ancestors.
platform::Result<std::string> EnsureDataRoot();

}  // namespace lumaro::launcher
