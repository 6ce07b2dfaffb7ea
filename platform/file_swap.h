// Putting one file in place of another so that its path always holds one of
// them whole: the new file flushed first, then one replacing rename that
// returns only once it is on the disk.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/result.h"

namespace lumaro::platform {

// Opens an existing regular file to write, flushes it (FlushFileBuffers) and
// gives its size. A folder is refused (5, as opening one to write is).
Result<std::uint64_t> FlushAndMeasure(std::string_view path);

// MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH):
// `to` names the old file or the new one at every moment. Fails with 17
// (ERROR_NOT_SAME_DEVICE) across volumes, where a rename cannot be one step.
Result<void> ReplaceFileWriteThrough(std::string_view from, std::string_view to);

// CopyFileW(from, to), replacing a file already at `to`, then the copy
// flushed: its size. Brings a file onto the volume of the one it replaces.
Result<std::uint64_t> CopyAndFlush(std::string_view from, std::string_view to);

// DeleteFileW.
Result<void> DeleteFileAt(std::string_view path);

}  // namespace lumaro::platform
