// Installs the package once per build: unpack into a fresh staging folder,
// mark it ready, and rename it into place. An existing but incomplete
// runtime folder is refused, never repaired.
#pragma once

#include <string>
#include <string_view>

#include "platform/install_flush.h"
#include "platform/result.h"

namespace lumaro::launcher {

// "ready", "node.exe" and "home.mjs" are all plain files in runtime_dir.
bool RuntimeComplete(std::string_view runtime_dir);

// Renames the staging folder into place. When the rename fails but the target
// is complete by now, another launcher of the same user won the race and its
// runtime is used; the staging folder stays behind.
platform::Result<void> PublishStaging(std::string_view staging_dir, std::string_view runtime_dir);

// Where an install's flushes come from: the system's, or a test's stand-in.
using InstallFlushSource = platform::InstallFlush (*)();

// Installs when runtime_dir is absent. Every unpacked file is written out,
// then the marker flushed in full, before the rename: a power cut can lose
// the install, never leave a runtime trusted with lost bytes.
platform::Result<void> EnsureRuntime(
    std::string_view data_root, std::string_view build_id, std::string_view runtime_dir,
    InstallFlushSource flush_source = &platform::InstallFlush::ForThisSystem);

}  // namespace lumaro::launcher
