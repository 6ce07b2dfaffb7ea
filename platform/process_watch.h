// Another process seen from outside: opened by id, named by its image,
// waited for; a program started on its own; the process's arguments; time.
// What the update helper needs to outlive the launcher it replaces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

// SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION. Held from the start, the
// handle keeps the process object, so a reused id cannot be mistaken for it.
Result<UniqueHandle> OpenProcessToWatch(std::uint32_t process_id);

// The full Win32 path of the process's executable (QueryFullProcessImageNameW).
Result<std::string> ProcessImagePath(NativeHandle process);

// Blocks until the process has ended, however long that takes.
Result<void> WaitForProcessEnd(NativeHandle process);

// True when the process ended within the time, false when it still runs.
Result<bool> WaitForProcessEnd(NativeHandle process, std::uint32_t milliseconds);

struct StartedProcess {
  UniqueHandle process;
  std::uint32_t id = 0;
};

// CreateProcessW of the program with no arguments, in working_folder,
// inheriting no handle; its thread handle is closed at once.
Result<StartedProcess> StartProgram(std::string_view program, std::string_view working_folder);

// This process's arguments, the program name excluded, as UTF-8.
std::vector<std::string> CommandLineArguments();

// Writes the text to standard output, if there is one, and closes it: a
// process that started this one with a pipe sees its end and goes on.
Result<void> WriteStandardOutputAndClose(std::string_view text);

// A clock that never goes back, for bounded retries.
std::uint64_t MonotonicMilliseconds();
void SleepMilliseconds(std::uint32_t milliseconds);

}  // namespace lumaro::platform
