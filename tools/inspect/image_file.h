// Reads the exe to inspect into memory. Read, not mapped: a file cut short
// while mapped would kill the tool with SIGBUS instead of giving an error.
#pragma once

#include <expected>
#include <string>

#include "tools/inspect/byte_buffer.h"
#include "tools/inspect/inspect_error.h"

namespace lumaro::inspect {

// The whole regular file at path; kIo when it cannot be opened or read, or
// is a folder or a device; kOutOfMemory when it does not fit in memory.
std::expected<ByteBuffer, InspectError> ReadImageFile(const std::string& path);

}  // namespace lumaro::inspect
