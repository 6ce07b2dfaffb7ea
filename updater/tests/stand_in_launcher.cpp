// Stands in for a launcher in the update helper's tests: appends its own
// size to started.log beside it, then runs until a file "stop" appears
// beside it (60 s at most). A staged "new version" is this exe with bytes
// appended, so the size tells which version started.
#include <windows.h>

#include <string>

int wmain() {
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
  const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExW(exe.c_str(), GetFileExInfoStandard, &info)) return 2;
  const std::string line = std::to_string(info.nFileSizeLow) + "\n";
  HANDLE log = CreateFileW((folder + L"\\started.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
  const std::wstring stop = folder + L"\\stop";
  for (int i = 0; i < 3000 && GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(20);
  return 0;
}
