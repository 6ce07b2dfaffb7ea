// The package's node.exe taken from a file outside the app folder (the
// official build of a chosen version, from the cache tools/node_win.py
// keeps), so the app's own repository need not carry it.
#pragma once

#include <expected>
#include <filesystem>

#include "tools/pack/app_folder.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

// The top-level "node.exe" entry read from node_exe. Refused when app_dir
// holds a node.exe of its own (in any letter case): one of the two would be
// packed silently in place of the other.
std::expected<SourceFile, PackError> NodeExeEntry(const std::filesystem::path& app_dir,
                                                  const std::filesystem::path& node_exe);

}  // namespace lumaro::pack
