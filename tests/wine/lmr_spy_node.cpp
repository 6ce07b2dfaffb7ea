// Stands in for node.exe where a test must see exactly how the launcher
// started the application. Appends one JSON line per run (command line, argv,
// working folder, whole environment block, standard handles) to the file named
// by LMR_SPY_RECORD, or to spy-node.jsonl beside LMR_DEVICE_FILE, then follows
// "spy-control.txt" in its own folder, one key=value a line:
//   exec=CMDLINE   start a program and wait for it (e.g. a window)
//   sleep_ms=N     sleep
//   stderr_hex=HEX write these bytes raw to the standard error handle
//   crash=1        access violation (exit code 0xC0000005)
//   exit=N         exit code (decimal or 0x hex), default 0
#include "tools/wine/tool_util.h"

#include <string>
#include <vector>

namespace {

std::wstring OwnFolder() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

bool Variable(const wchar_t* name, std::wstring* value) {
  value->assign(32768, L'\0');
  SetLastError(0);
  const DWORD length = GetEnvironmentVariableW(name, value->data(), static_cast<DWORD>(value->size()));
  const bool present = length != 0 || GetLastError() == 0;
  value->resize(length);
  return present;
}

std::string HandleJson(HANDLE handle) {
  std::string json = "{\"type\":";
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return json + "null,\"path\":null}";
  json += std::to_string(GetFileType(handle));
  std::wstring path(32768, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                 FILE_NAME_NORMALIZED);
  path.resize(length < path.size() ? length : 0);
  json += ",\"path\":" + (length ? lmr_tool::JsonString(path) : std::string("null")) + "}";
  return json;
}

std::string RecordLine(int argc, wchar_t** argv) {
  std::wstring cwd(32768, L'\0');
  cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
  std::string line = "{\"pid\":" + std::to_string(GetCurrentProcessId());
  line += ",\"command_line\":" + lmr_tool::JsonString(GetCommandLineW());
  line += ",\"argv\":[";
  for (int i = 0; i < argc; ++i) line += (i ? "," : "") + lmr_tool::JsonString(argv[i]);
  line += "],\"cwd\":" + lmr_tool::JsonString(cwd);
  line += ",\"env\":[";
  if (wchar_t* block = GetEnvironmentStringsW(); block != nullptr) {
    bool first = true;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
      line += (first ? "" : ",") + lmr_tool::JsonString(entry);
      first = false;
    }
    FreeEnvironmentStringsW(block);
  }
  line += "],\"stdin\":" + HandleJson(GetStdHandle(STD_INPUT_HANDLE));
  line += ",\"stdout\":" + HandleJson(GetStdHandle(STD_OUTPUT_HANDLE));
  line += ",\"stderr\":" + HandleJson(GetStdHandle(STD_ERROR_HANDLE));
  // The null device as this process opens it itself, to compare with.
  const HANDLE nul = CreateFileW(L"\\\\.\\NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  line += ",\"nul\":" + HandleJson(nul);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  line += ",\"tick\":" + std::to_string(GetTickCount64()) + "}\n";
  return line;
}

void AppendRecord(const std::string& line) {
  std::wstring path;
  if (!Variable(L"LMR_SPY_RECORD", &path) || path.empty()) {
    std::wstring device;
    if (!Variable(L"LMR_DEVICE_FILE", &device)) return;
    path = device.substr(0, device.find_last_of(L"\\/") + 1) + L"spy-node.jsonl";
  }
  // Concurrent runs append whole lines; the open is retried while another holds it.
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(file);
      return;
    }
    Sleep(10);
  }
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) break;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

void RunAndWait(const std::string& command_line) {
  std::wstring line = lmr_tool::ToUtf16(command_line);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  AppendRecord(RecordLine(argc, argv));

  uint32_t exit_code = 0;
  const std::string control = ReadWholeFile(OwnFolder() + L"spy-control.txt");
  size_t start = 0;
  while (start < control.size()) {
    size_t end = control.find('\n', start);
    if (end == std::string::npos) end = control.size();
    std::string line = control.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "exec") {
      RunAndWait(value);
    } else if (key == "sleep_ms") {
      Sleep(lmr_tool::ParseU32(lmr_tool::ToUtf16(value)).value_or(0));
    } else if (key == "stderr_hex") {
      const std::string bytes = FromHex(value);
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
                &written, nullptr);
    } else if (key == "crash" && value == "1") {
      // No debugger and no crash dialog: the process just ends with the fault.
      SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
      *static_cast<volatile int*>(nullptr) = 1;
    } else if (key == "exit") {
      exit_code = lmr_tool::ParseU32(lmr_tool::ToUtf16(value)).value_or(0);
    }
  }
  ExitProcess(exit_code);
}
