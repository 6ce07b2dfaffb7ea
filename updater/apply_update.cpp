// The update helper's steps, in order, each failure a result to report.

#include "updater/apply_update.h"

#include <utility>

#include "platform/file_swap.h"
#include "platform/fs.h"
#include "platform/process_watch.h"

namespace lumaro::updater {
namespace {

using platform::LaunchError;

ApplyResult Stopped(const ApplyCommand& command, std::string exe, Outcome outcome, std::string step,
                    const LaunchError& error, std::string detail) {
  ApplyResult result;
  result.outcome = outcome;
  result.step = std::move(step);
  result.os_code = error.os_code();
  result.detail = std::move(detail);
  result.exe = std::move(exe);
  result.staged = command.staged;
  result.restart_asked = command.restart;
  return result;
}

ApplyResult Failed(const ApplyCommand& command, std::string exe, std::string step, const LaunchError& error,
                   std::string detail) {
  return Stopped(command, std::move(exe), Outcome::kFailed, std::move(step), error, std::move(detail));
}

// The staged exe flushed to the disk, and its size as the manifest says.
std::expected<void, ApplyResult> CheckStaged(const ApplyCommand& command, const std::string& exe) {
  auto size = platform::FlushAndMeasure(command.staged);
  if (!size) return std::unexpected(Failed(command, exe, "staged", size.error(), "the staged exe cannot be opened"));
  if (*size != command.size) {
    return std::unexpected(Failed(command, exe, "staged", LaunchError::Kind(platform::ErrorKind::kInvalidData),
                                  "the staged exe is " + std::to_string(*size) + " bytes, not " +
                                      std::to_string(command.size)));
  }
  return {};
}

// The staged exe copied beside the exe and checked as it was: the copy's path.
std::expected<std::string, ApplyResult> CopyBesideExe(const ApplyCommand& command, const std::string& exe) {
  std::string copy = CopyPathFor(exe);
  auto size = platform::CopyAndFlush(command.staged, copy);
  if (!size) {
    (void)platform::DeleteFileAt(copy);
    return std::unexpected(
        Failed(command, exe, "replace", size.error(), "the staged exe cannot be copied beside the exe"));
  }
  if (*size != command.size) {
    (void)platform::DeleteFileAt(copy);
    return std::unexpected(Failed(command, exe, "replace", LaunchError::Kind(platform::ErrorKind::kInvalidData),
                                  "the copy beside the exe is " + std::to_string(*size) + " bytes, not " +
                                      std::to_string(command.size)));
  }
  return copy;
}

}  // namespace

std::expected<LauncherWatch, ApplyResult> StartWatching(const ApplyCommand& command) {
  auto process = platform::OpenProcessToWatch(command.launcher_pid);
  if (!process) return std::unexpected(Failed(command, "", "launcher", process.error(), "the launcher is not running"));
  auto exe = platform::ProcessImagePath(process->get());
  if (!exe) return std::unexpected(Failed(command, "", "launcher", exe.error(), "the launcher's exe has no name"));
  if (!IsExePath(*exe)) {
    return std::unexpected(Failed(command, *exe, "launcher", LaunchError::Kind(platform::ErrorKind::kInvalidInput),
                                  "the launcher does not run from an .exe"));
  }
  if (auto staged = CheckStaged(command, *exe); !staged) return std::unexpected(std::move(staged.error()));
  return LauncherWatch{std::move(*process), std::move(*exe)};
}

ApplyResult FinishApply(const ApplyCommand& command, LauncherWatch watch) {
  // A running exe cannot be replaced (5, under Wine too): only its end frees the path.
  if (auto ended = platform::WaitForProcessEnd(watch.process.get()); !ended) {
    return Failed(command, watch.exe, "wait", ended.error(), "waiting for the launcher failed");
  }
  watch.process.reset();
  // Flushed before the rename: a power cut after it must not find holes.
  if (auto staged = CheckStaged(command, watch.exe); !staged) return std::move(staged.error());
  std::string source = command.staged;
  const std::uint64_t start = platform::MonotonicMilliseconds();
  for (;;) {
    auto replaced = platform::ReplaceFileWriteThrough(source, watch.exe);
    if (replaced) {
      if (source != command.staged) (void)platform::DeleteFileAt(command.staged);
      return Stopped(command, watch.exe, Outcome::kApplied, "", LaunchError::Os(0), "");
    }
    const std::int32_t code = replaced.error().os_code();
    if (IsOtherVolume(code) && source == command.staged) {
      // No rename spans two volumes: a flushed copy beside the exe takes the
      // staged exe's place, and the swap stays one step.
      auto copied = CopyBesideExe(command, watch.exe);
      if (!copied) return std::move(copied.error());
      source = std::move(*copied);
      continue;
    }
    if (!ShouldRetryReplace(code, platform::MonotonicMilliseconds() - start, command.retry_ms)) {
      // The staged exe is what the next try starts from; a copy is not.
      if (source != command.staged) (void)platform::DeleteFileAt(source);
      if (IsInUse(code)) {
        return Stopped(command, watch.exe, Outcome::kInUse, "replace", replaced.error(),
                       "the exe stayed in use; the staged exe is kept for the next try");
      }
      return Failed(command, watch.exe, "replace", replaced.error(), "the exe could not be replaced");
    }
    platform::SleepMilliseconds(kRetryStepMs);
  }
}

platform::Result<void> WriteResultFile(const ApplyCommand& command, const ApplyResult& result) {
  const std::string target = ResultPathFor(command.staged);
  const std::string scratch = target + ".tmp";
  const std::string text = ResultJson(result);
  {
    auto file = platform::CreateOrReplaceFile(scratch);
    if (!file) return platform::Fail(std::move(file.error()));
    auto written = platform::WriteAll(file->get(), std::as_bytes(std::span(text)));
    if (!written) return written;
    if (auto flushed = platform::FlushFile(file->get()); !flushed) return flushed;
  }
  return platform::ReplaceFileWriteThrough(scratch, target);
}

int RunUpdateHelper(std::span<const std::string> args, SayFn say) {
  auto command = ParseApplyCommand(args);
  if (!command) {
    say("refused " + command.error() + "\n");
    return kUsageStatus;
  }
  auto watch = StartWatching(*command);
  if (!watch) {
    (void)WriteResultFile(*command, watch.error());
    say("failed " + watch.error().detail + "\n");
    return ExitStatus(watch.error().outcome);
  }
  const std::string exe = watch->exe;
  say("watching " + exe + "\n");
  ApplyResult result = FinishApply(*command, std::move(*watch));
  (void)WriteResultFile(*command, result);
  if (command->restart) {
    // Whichever exe is at the path now, old or new: the user asked for the app.
    auto started = platform::StartProgram(exe, FolderOf(exe));
    if (!started) {
      result.restart_os_code = started.error().os_code();
      (void)WriteResultFile(*command, result);
    }
  }
  return ExitStatus(result.outcome);
}

}  // namespace lumaro::updater
