// Stands in for node.exe inside test packages, so launcher tests run without
// a real Node.js. Reads "exit-code.txt" (decimal or 0x hex, default 0) and
// "stderr.txt" from its own folder, writes the latter to standard error and
// ends with the former. When LMR_FAKE_NODE_LOG names a file, appends one JSON
// line there: the command line, the working folder and LMR_DEVICE_FILE.
#include "tools/wine/tool_util.h"

#include <string>

namespace {

std::wstring OwnFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string ReadSmallFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes(1 << 20, '\0');
  DWORD got = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

std::wstring Variable(const wchar_t* name, bool* present) {
  std::wstring value(32768, L'\0');
  SetLastError(0);
  const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  *present = length != 0 || GetLastError() == 0;
  value.resize(length);
  return value;
}

}  // namespace

int wmain() {
  const std::wstring folder = OwnFolder();
  bool present = false;
  const std::wstring log = Variable(L"LMR_FAKE_NODE_LOG", &present);
  if (present && !log.empty()) {
    std::wstring cwd(32768, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    bool has_device = false;
    const std::wstring device = Variable(L"LMR_DEVICE_FILE", &has_device);
    std::string line = "{\"command_line\":" + lmr_tool::JsonString(GetCommandLineW()) +
                       ",\"cwd\":" + lmr_tool::JsonString(cwd) + ",\"device_file\":" +
                       (has_device ? lmr_tool::JsonString(device) : std::string("null")) + "}\n";
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(file);
    }
  }
  const std::string err = ReadSmallFile(folder + L"stderr.txt");
  if (!err.empty()) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), err.data(), static_cast<DWORD>(err.size()), &written,
              nullptr);
  }
  std::string code_text = ReadSmallFile(folder + L"exit-code.txt");
  while (!code_text.empty() && (code_text.back() == '\n' || code_text.back() == '\r' ||
                                code_text.back() == ' ')) {
    code_text.pop_back();
  }
  const auto code = code_text.empty() ? std::optional<uint32_t>(0)
                                      : lmr_tool::ParseU32(lmr_tool::ToUtf16(code_text));
  ExitProcess(code.value_or(0));
}
