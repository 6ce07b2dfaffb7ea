// Writes a checked package's files into a folder on Linux. Nothing that
// exists is overwritten and no symbolic link is followed below the target:
// files are created with O_CREAT|O_EXCL|O_NOFOLLOW, folders with mkdirat and
// opened with O_NOFOLLOW, all relative to the target folder's descriptor.
#pragma once

#include <expected>
#include <span>
#include <string>

#include "tools/inspect/inspect_error.h"
#include "tools/inspect/package_entries.h"
#include "tools/inspect/payload_check.h"
#include "tools/common/unique_fd.h"

namespace lumaro::inspect {

using tools::UniqueFd;

// The target folder, open: created with its parents when missing, used when
// an empty folder; kRefused when it holds anything, is not a folder, or is a
// symbolic link (not followed, even to an empty folder, nor when named as
// "link/." or "link/./"), or named as "..".
std::expected<UniqueFd, InspectError> OpenEmptyTarget(const std::string& dir);

// Creates every entry below root (dir names root in messages). Stops at the
// first failure: kRefused when a path exists already or is a link, kIo else.
std::expected<void, InspectError> WriteEntries(int root, std::span<const PackageEntry> entries,
                                               const std::string& dir);

// Refuses a payload that is not intact (kDamaged) before touching dir;
// returns the number of files written.
std::expected<std::size_t, InspectError> ExtractPackage(const Inspection& inspection, const std::string& dir);

}  // namespace lumaro::inspect
