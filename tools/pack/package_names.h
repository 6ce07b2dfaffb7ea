// Whole-package name checks: every name must survive the trip to a Windows
// folder unchanged, no two may land on the same file, the installer's marker
// name stays free, and the entries the launcher starts must be present.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "tools/pack/pack_error.h"

namespace lumaro::pack {

inline constexpr std::size_t kMaxEntries = 65535;

// names are "/"-separated archive names. where is put before a name in the
// message (the app folder, say), so that it names the offending path.
std::expected<void, PackError> CheckPackageNames(std::span<const std::string> names,
                                                 std::string_view where = {});

}  // namespace lumaro::pack
