// Build id validation and the names derived from it. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "package/payload_format.h"

namespace lumaro::launcher {

// The id as text when its bytes are valid UTF-8 and all 16 are ASCII hex
// digits (either case, kept as stored); nullopt otherwise.
std::optional<std::string_view> ValidateBuildId(std::span<const std::byte, package::kBuildIdSize> field);

// "runtime-" followed by the id.
std::string RuntimeDirName(std::string_view build_id);

// "install-<id>-<pid>".
std::string StagingDirName(std::string_view build_id, std::uint32_t process_id);

}  // namespace lumaro::launcher
