// Installs the package once per build: unpack into a fresh staging folder,
// mark it ready, and rename it into place. An existing but incomplete
// runtime folder is refused, never repaired.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace lumaro::launcher {

// "ready", "node.exe" and "home.mjs" are all plain files in runtime_dir.
bool RuntimeComplete(std::string_view runtime_dir);

platform::Result<void> EnsureRuntime(std::string_view data_root, std::string_view build_id,
                                     std::string_view runtime_dir);

}  // namespace lumaro::launcher
