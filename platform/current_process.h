// The running process: its executable, its id, and the ways it ends.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace lumaro::platform {

// The running executable's full path.
Result<std::string> ModuleFileName();

std::uint32_t CurrentProcessId();

// ExitProcess: the process ends with this code once DLLs have detached.
[[noreturn]] void ExitCurrentProcess(std::uint32_t code);

// Ends the process at once with STATUS_NO_MEMORY, without a dialog: running
// out of memory is not a LaunchError, and reporting it could need memory too.
[[noreturn]] void TerminateOnOutOfMemory();

// Ends the process at once with abort()'s customary status 3: for a broken
// invariant, which this program has no way to report.
[[noreturn]] void TerminateOnBrokenInvariant();

}  // namespace lumaro::platform
