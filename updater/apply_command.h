// The update helper's command line and the decisions that need no Windows:
// which names it accepts, when a refused rename is tried again, and the
// result file that the app kit reads at the next start.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace lumaro::updater {

// How long a replace refused because the exe is in use is tried again, and
// how often.
inline constexpr std::uint32_t kDefaultRetryMs = 60'000;
inline constexpr std::uint32_t kRetryStepMs = 250;
inline constexpr std::string_view kResultFileName = "update-result.json";

// apply --launcher-pid PID --new STAGED.exe --size N [--restart] [--retry-ms MS]
struct ApplyCommand {
  std::uint32_t launcher_pid = 0;
  std::string staged;     // the verified new exe, in the data folder
  std::uint64_t size = 0;  // its size as the signed manifest gives it
  bool restart = false;   // start the exe once it is in place
  std::uint32_t retry_ms = kDefaultRetryMs;
};

// The command, or a one-line refusal naming what is wrong.
std::expected<ApplyCommand, std::string> ParseApplyCommand(std::span<const std::string> args);

// An absolute Win32 path, on a drive or a share, of a file named *.exe
// (ASCII case ignored).
bool IsExePath(std::string_view path);
// "update-" then 16 lower-case hexadecimal digits, then ".exe": the only name
// the app kit gives a staged exe.
bool IsStagedName(std::string_view file_name);
// The text before the last separator ("\" or "/"), and after it.
std::string_view FolderOf(std::string_view path);
std::string_view FileNameOf(std::string_view path);
// The file that receives the result: beside the staged exe.
std::string ResultPathFor(std::string_view staged);

// Whether a failed replace of the exe is tried again: only while it is in
// use (running somewhere, 5; open without delete sharing, 32; locked, 33)
// and within the time allowed. Anything else will not change by waiting.
bool IsInUse(std::int32_t code);
// Whether a rename failed only because its ends are on two volumes (17).
bool IsOtherVolume(std::int32_t code);
// Where the staged exe is copied when it is on another volume than the exe:
// beside the exe, so that the last step is still one rename.
std::string CopyPathFor(std::string_view exe);
bool ShouldRetryReplace(std::int32_t code, std::uint64_t elapsed_ms, std::uint32_t retry_ms);

enum class Outcome { kApplied, kInUse, kFailed };

struct ApplyResult {
  Outcome outcome = Outcome::kFailed;
  std::string step;  // where a failure stopped the helper: launcher, staged, wait, flush, replace
  std::int32_t os_code = 0;
  std::string detail;  // a short English explanation, for logs
  std::string exe;     // the launcher exe the helper replaced or meant to
  std::string staged;
  bool restart_asked = false;
  std::int32_t restart_os_code = 0;  // nonzero when the restart failed
};

// One line of JSON, ASCII control characters escaped; UTF-8 kept as it is.
std::string ResultJson(const ApplyResult& result);

// The helper's exit status: 0 applied, 1 failed, 3 left staged because the
// exe stayed in use; 2 is a command-line refusal.
inline constexpr int kUsageStatus = 2;
int ExitStatus(Outcome outcome);

}  // namespace lumaro::updater
