// Watching, starting and timing processes through kernel32.

#include "platform/process_watch.h"

#include <cstdlib>

#include "platform/wide.h"
#include "platform/win32_error.h"

namespace lumaro::platform {

Result<UniqueHandle> OpenProcessToWatch(std::uint32_t process_id) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return Fail(LastError());
  return process;
}

Result<std::string> ProcessImagePath(NativeHandle process) {
  // The call reports "too small" only by failing with 122.
  auto name = FillWideBuffer(
      [process](wchar_t* buffer, DWORD size) -> DWORD {
        DWORD length = size;
        if (QueryFullProcessImageNameW(process, 0, buffer, &length)) return length;
        // Too small: a full buffer with the error still set makes it double.
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? size : 0;
      },
      MAX_PATH);
  if (!name) return Fail(std::move(name.error()));
  return FromWide(*name);
}

Result<void> WaitForProcessEnd(NativeHandle process) {
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return Fail(LastError());
  return {};
}

Result<bool> WaitForProcessEnd(NativeHandle process, std::uint32_t milliseconds) {
  switch (WaitForSingleObject(process, milliseconds)) {
    case WAIT_OBJECT_0: return true;
    case WAIT_TIMEOUT: return false;
    default: return Fail(LastError());
  }
}

Result<StartedProcess> StartProgram(std::string_view program, std::string_view working_folder) {
  // A NUL would end the name early: another program than the one meant.
  if (program.find('\0') != std::string_view::npos || working_folder.find('\0') != std::string_view::npos) {
    return Fail(LaunchError::Static(ErrorKind::kInvalidInput, kNulInPathMessage));
  }
  // The program is named in full and quoted: no search, whatever it holds.
  const std::wstring application = ToWide(program);
  std::wstring command_line = L"\"" + application + L"\"";
  const std::wstring folder = ToWide(working_folder);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, folder.c_str(), &startup, &info)) {
    return Fail(LastError());
  }
  UniqueHandle thread(info.hThread);
  return StartedProcess{UniqueHandle(info.hProcess), info.dwProcessId};
}

std::vector<std::string> CommandLineArguments() {
  // mingw's runtime splits the command line as the Microsoft C runtime does.
  std::vector<std::string> arguments;
  for (int i = 1; i < __argc; ++i) arguments.push_back(FromWide(__wargv[i]));
  return arguments;
}

Result<void> WriteStandardOutputAndClose(std::string_view text) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return {};
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  UniqueFileHandle owned(output);
  DWORD written = 0;
  // A pipe takes a short line whole or not at all.
  if (!WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return Fail(LastError());
  if (written != text.size()) return Fail(LaunchError::Static(ErrorKind::kWriteZero, kWriteZeroMessage));
  return {};
}

std::uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

void SleepMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace lumaro::platform
