// Thin Win32 services for the launcher: system error texts, UTF-16 paths for
// system calls, the environment, the executable's path and the error dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/win32.h"

namespace lumaro::platform {

// The system's description of an error code, trailing ASCII white space
// trimmed; the NTDLL table for codes with bit 0x10000000 (NT statuses).
std::string SystemMessageText(std::int32_t code);

inline std::string RenderLaunchError(const LaunchError& error) {
  return RenderLaunchError(error, &SystemMessageText);
}

// Plain UTF-16 with a terminating NUL, for names and texts.
std::wstring ToWide(std::string_view utf8);
std::string FromWide(std::wstring_view utf16);

// A path as it must reach a file-system call: NUL-terminated UTF-16, made
// absolute and given "\\?\" where needed. A NUL inside is refused.
Result<std::wstring> ToSystemPath(std::string_view path);

// GetFullPathNameW, in full whatever the length.
Result<std::string> FullPathName(std::string_view path);

// nullopt when the variable is missing; a defined but empty one gives "".
std::optional<std::string> ReadEnvironmentVariable(std::string_view name);

// The running executable's full path.
Result<std::string> ModuleFileName();

// Ends the process at once, without a dialog: running out of memory is not a
// LaunchError, and reporting it could need memory too.
[[noreturn]] void TerminateOnOutOfMemory();

// MessageBoxW with the error icon and a single OK button.
void ShowErrorDialog(std::string_view text, std::string_view caption);

// Restores and brings to the front the top-level window with this title, if
// there is one (FindWindowW, ShowWindow(SW_RESTORE), SetForegroundWindow).
void ActivateWindowByTitle(std::string_view title);

}  // namespace lumaro::platform
