// Starts a program with an adjusted environment and reports its exact 32-bit
// exit code. Wine lays the profile folders (LOCALAPPDATA, ...) over whatever
// the Linux side sets, so they can only be changed from inside Windows.
//   lmr-runner [--set N=V]... [--unset N]... [--cwd DIR] [--timeout-ms N]
//              [--exit-file PATH] -- PROGRAM [ARGS...]
#include "tool_util.h"

#include <string>

namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "lmr-runner: %s\n", why);
  std::fprintf(stderr,
               "usage: lmr-runner [--set NAME=VALUE]... [--unset NAME]... [--cwd DIR]\n"
               "                  [--timeout-ms N] [--exit-file PATH] -- PROGRAM [ARGS...]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* cwd = nullptr;
  const wchar_t* exit_file = nullptr;
  DWORD timeout = INFINITE;
  int i = 1;
  for (; i < argc; ++i) {
    const std::wstring_view opt = argv[i];
    if (opt == L"--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return Usage("option without a value");
    const wchar_t* value = argv[++i];
    if (opt == L"--set") {
      if (!lmr_tool::SetFromAssignment(value)) return Usage("--set needs NAME=VALUE");
    } else if (opt == L"--unset") {
      SetEnvironmentVariableW(value, nullptr);
    } else if (opt == L"--cwd") {
      cwd = value;
    } else if (opt == L"--timeout-ms") {
      const auto ms = lmr_tool::ParseU32(value);
      if (!ms) return Usage("bad --timeout-ms");
      timeout = *ms;
    } else if (opt == L"--exit-file") {
      exit_file = value;
    } else {
      return Usage("unknown option");
    }
  }
  if (i >= argc) return Usage("no program given");

  std::wstring line;
  for (int a = i; a < argc; ++a) {
    if (a > i) line += L' ';
    lmr_tool::AppendQuoted(line, argv[a]);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd, &startup,
                      &process)) {
    const DWORD error = GetLastError();
    std::printf("start-failed=%lu\n", error);
    std::fflush(stdout);
    return 3;
  }
  CloseHandle(process.hThread);

  if (WaitForSingleObject(process.hProcess, timeout) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    std::printf("timeout\n");
    std::fflush(stdout);
    return 4;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);

  char text[32];
  const int n = std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(code));
  if (exit_file != nullptr &&
      !lmr_tool::WriteWholeFile(exit_file, std::string_view(text, static_cast<size_t>(n)) )) {
    std::fprintf(stderr, "lmr-runner: cannot write the exit file: %lu\n", GetLastError());
  }
  std::printf("exit=%s\n", text);
  std::fflush(stdout);
  return 0;
}
