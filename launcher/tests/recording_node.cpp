// Stands in for node.exe wherever a test must see how the launcher started the
// application, and make it behave like one that fails. Told what to do by
// variables, which reach it through the launcher's environment:
//   FAKE_NODE_RECORD=PATH    append a record of this run (below) to PATH
//   FAKE_NODE_EXEC=CMDLINE   start a program and wait for it (e.g. a window)
//   FAKE_NODE_SLEEP_MS=N     sleep
//   FAKE_NODE_STDERR_HEX=HEX write these bytes raw to the standard error handle
//   FAKE_NODE_CRASH=X        access violation (exit code 0xC0000005), no debugger
//   FAKE_NODE_EXIT=N         exit code (decimal or 0x hex), default 0
// The record is "key=value" lines, from "pid=" to "end=1": cmdline, arg (one
// per argument, as the C runtime splits them), cwd, how many LMR_DEVICE_FILE,
// NODE_OPTIONS and NODE_PATH entries the block holds, device, whether standard
// input reads as empty and output takes writes, the type and final path of
// each standard handle and of the null device opened here, then env (one per
// entry of the block).
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring Variable(const wchar_t* name, bool* present = nullptr) {
  std::wstring value(32768, L'\0');
  SetLastError(0);
  const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  const bool found = n > 0 || GetLastError() == 0;
  if (present) *present = found;
  value.resize(found ? n : 0);
  return value;
}

bool NameIs(std::wstring_view entry, const wchar_t* name) {
  const size_t equals = entry.size() > 1 ? entry.find(L'=', 1) : std::wstring_view::npos;
  if (equals == std::wstring_view::npos) return false;
  return CompareStringOrdinal(entry.data(), static_cast<int>(equals), name, -1, TRUE) ==
         CSTR_EQUAL;
}

std::string HandleFields(const char* key, HANDLE handle) {
  std::string type = "none", path;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    type = std::to_string(GetFileType(handle));
    std::wstring final_path(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(handle, final_path.data(),
                                              static_cast<DWORD>(final_path.size()),
                                              FILE_NAME_NORMALIZED);
    final_path.resize(n < final_path.size() ? n : 0);
    path = Utf8(final_path);
  }
  return std::string(key) + "_type=" + type + "\n" + key + "_path=" + path + "\n";
}

std::string Record(int argc, wchar_t** argv) {
  std::string record = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
  record += "cmdline=" + Utf8(GetCommandLineW()) + "\n";
  for (int i = 0; i < argc; ++i) record += "arg=" + Utf8(argv[i]) + "\n";
  std::wstring cwd(32768, L'\0');
  cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
  record += "cwd=" + Utf8(cwd) + "\n";

  int devices = 0, options = 0, paths = 0;
  std::string entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p != L'\0'; p += std::wcslen(p) + 1) {
      const std::wstring_view entry(p);
      devices += NameIs(entry, L"LMR_DEVICE_FILE");
      options += NameIs(entry, L"NODE_OPTIONS");
      paths += NameIs(entry, L"NODE_PATH");
      entries += "env=" + Utf8(entry) + "\n";
    }
    FreeEnvironmentStringsW(block);
  }
  record += "device_count=" + std::to_string(devices) + "\n";
  record += "device=" + Utf8(Variable(L"LMR_DEVICE_FILE")) + "\n";
  record += "node_options_count=" + std::to_string(options) + "\n";
  record += "node_path_count=" + std::to_string(paths) + "\n";

  // Standard input and output should be the null device: reads end at once
  // and writes are swallowed.
  char byte;
  DWORD got = 1;
  const BOOL read_ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
  record += "stdin_eof=" + std::to_string(read_ok && got == 0) + "\n";
  DWORD put = 0;
  const BOOL write_ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "out", 3, &put, nullptr);
  record += "stdout_ok=" + std::to_string(write_ok && put == 3) + "\n";
  record += HandleFields("stdin", GetStdHandle(STD_INPUT_HANDLE));
  record += HandleFields("stdout", GetStdHandle(STD_OUTPUT_HANDLE));
  record += HandleFields("stderr", GetStdHandle(STD_ERROR_HANDLE));
  // The null device as this process opens it itself, to compare with.
  const HANDLE nul = CreateFileW(L"\\\\.\\NUL", GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  record += HandleFields("nul", nul);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  return record + entries + "end=1\n";
}

// Concurrent runs append whole records; the open is retried while another
// run holds the file.
void AppendRecord(const std::wstring& path, const std::string& record) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
      CloseHandle(file);
      return;
    }
    Sleep(10);
  }
}

std::string FromHex(const std::wstring& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return out;
}

void RunAndWait(std::wstring command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool present = false;
  const std::wstring record = Variable(L"FAKE_NODE_RECORD", &present);
  if (present && !record.empty()) AppendRecord(record, Record(argc, argv));

  if (const std::wstring exec = Variable(L"FAKE_NODE_EXEC"); !exec.empty()) RunAndWait(exec);
  if (const std::wstring sleep = Variable(L"FAKE_NODE_SLEEP_MS"); !sleep.empty()) {
    Sleep(std::wcstoul(sleep.c_str(), nullptr, 0));
  }
  const std::string err = FromHex(Variable(L"FAKE_NODE_STDERR_HEX"));
  if (!err.empty()) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), err.data(), static_cast<DWORD>(err.size()), &written,
              nullptr);
  }
  Variable(L"FAKE_NODE_CRASH", &present);
  if (present) {
    // No crash dialog and no debugger writing to the error output: the
    // process just ends with the fault. Written through a volatile pointer so
    // the compiler can't turn it into a trap instruction.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    static int* volatile target = nullptr;
    *target = 1;
  }
  ExitProcess(static_cast<UINT>(std::wcstoul(Variable(L"FAKE_NODE_EXIT").c_str(), nullptr, 0)));
}
