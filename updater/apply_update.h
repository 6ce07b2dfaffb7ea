// The helper's work, through platform/: watch the launcher from before it
// ends, wait for its end, put the staged exe in place of its exe in one
// rename, start it again when asked, and leave the result for the app kit.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"
#include "updater/apply_command.h"

namespace lumaro::updater {

// The launcher, held open from the start, and the exe it runs from.
struct LauncherWatch {
  platform::UniqueHandle process;
  std::string exe;
};

// Opens the launcher, names its exe and checks the staged file's size. A
// failure comes back as the result to report; nothing has changed.
std::expected<LauncherWatch, ApplyResult> StartWatching(const ApplyCommand& command);

// Waits for the launcher to end, flushes the staged exe, checks its size once
// more and renames it over the exe, again while the exe is in use until
// command.retry_ms have passed. The staged exe stays where it was unless
// the rename succeeded.
ApplyResult FinishApply(const ApplyCommand& command, LauncherWatch watch);

// update-result.json beside the staged exe: written under a scratch name,
// flushed, renamed over the last one.
platform::Result<void> WriteResultFile(const ApplyCommand& command, const ApplyResult& result);

// Where the helper's one line of progress goes (standard output).
using SayFn = void (*)(std::string_view line);

// The whole helper: the exit status (see ExitStatus). The line "watching
// <exe>" tells the app kit that the launcher is held and it may end;
// "refused ..." or "failed ..." that nothing will happen.
int RunUpdateHelper(std::span<const std::string> args, SayFn say);

}  // namespace lumaro::updater
