// The launch sequence: one straight pass from the instance guard to the
// application's exit, stopping at the first error.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace lumaro::launcher {

// The program's entry. Returns 0 on success or when another launcher runs;
// on any error shows the dialog and exits 1 instead of returning.
int RunLauncher();

// data_folder (the exe's own, "Lumaro" by default) in the folder named by
// LOCALAPPDATA, created with its ancestors.
platform::Result<std::string> EnsureDataRoot(std::string_view data_folder);

}  // namespace lumaro::launcher
