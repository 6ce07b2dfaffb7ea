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

// Renames the staging folder into place. When the rename fails but the target
// is complete by now, another launcher of the same user won the race and its
// runtime is used; the staging folder stays behind.
platform::Result<void> PublishStaging(std::string_view staging_dir, std::string_view runtime_dir);

platform::Result<void> EnsureRuntime(std::string_view data_root, std::string_view build_id,
                                     std::string_view runtime_dir);

}  // namespace lumaro::launcher
