// A stand-in for node.exe in the sample app: it writes what it was given
// (command line, folder, device-file variable) into greeting.txt beside the
// device file, so the launcher can be shown without a real Node.js.
#include <windows.h>

#include <string>

int wmain(int, wchar_t**) {
  std::wstring report = L"command line: ";
  report += GetCommandLineW();
  wchar_t buffer[32768];
  DWORD n = GetCurrentDirectoryW(32768, buffer);
  report += L"\r\ncurrent folder: " + std::wstring(buffer, n);
  n = GetEnvironmentVariableW(L"LMR_DEVICE_FILE", buffer, 32768);
  const std::wstring device(buffer, n);
  report += L"\r\nLMR_DEVICE_FILE: " + device + L"\r\n";
  if (device.empty()) return 0;
  const std::wstring target = device.substr(0, device.find_last_of(L"\\/") + 1) + L"greeting.txt";
  HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, report.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, report.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
