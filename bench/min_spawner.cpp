// The least a launcher must do to run an installed app: set the device file
// variable, start RUNTIME_DIR\node.exe RUNTIME_DIR\home.mjs --desktop in
// RUNTIME_DIR without a console window, wait, and pass the exit code on.
// The yardstick for the warm launch overhead. Built a second time with
// LMR_IMPORT_USER32 to show what loading user32.dll alone costs.
//   min_spawner RUNTIME_DIR DEVICE_FILE
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
#ifdef LMR_IMPORT_USER32
  if (argc > 99) MessageBoxW(nullptr, L"", L"", 0);  // never called: only the import counts
#endif
  const std::wstring runtime = argv[1];
  SetEnvironmentVariableW(L"LMR_DEVICE_FILE", argv[2]);
  SetEnvironmentVariableW(L"NODE_OPTIONS", nullptr);
  SetEnvironmentVariableW(L"NODE_PATH", nullptr);
  const std::wstring program = runtime + L"\\node.exe";
  std::wstring line = L"\"" + program + L"\" \"" + runtime + L"\\home.mjs\" --desktop";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, runtime.c_str(), &startup, &process)) {
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
