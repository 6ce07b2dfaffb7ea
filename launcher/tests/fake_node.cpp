// A stand-in for node.exe in the application-process tests. Records how it
// was started (command line, folder, environment) into the file named by
// FAKE_NODE_RECORD, writes FAKE_NODE_STDERR_HEX to its error output as raw
// bytes (WriteFile: no text-mode "\r\n"), then exits with FAKE_NODE_EXIT or
// crashes when FAKE_NODE_CRASH is set.
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
  wchar_t buffer[32768];
  SetLastError(0);
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  const bool found = n > 0 || GetLastError() == 0;
  if (present) *present = found;
  return found ? std::wstring(buffer, n) : std::wstring();
}

bool NameIs(std::wstring_view entry, const wchar_t* name) {
  const size_t equals = entry.size() > 1 ? entry.find(L'=', 1) : std::wstring_view::npos;
  if (equals == std::wstring_view::npos) return false;
  return CompareStringOrdinal(entry.data(), static_cast<int>(equals), name, -1, TRUE) ==
         CSTR_EQUAL;
}

void WriteRecord(const std::wstring& path) {
  std::string record;
  record += "cmdline=" + Utf8(GetCommandLineW()) + "\n";
  wchar_t cwd[32768];
  const DWORD cwd_length = GetCurrentDirectoryW(32768, cwd);
  record += "cwd=" + Utf8(std::wstring_view(cwd, cwd_length)) + "\n";

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

  // Standard input and output are the null device: reads end at once and
  // writes are swallowed.
  char byte;
  DWORD got = 1;
  const BOOL read_ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
  record += "stdin_eof=" + std::to_string(read_ok && got == 0) + "\n";
  DWORD put = 0;
  const BOOL write_ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "out", 3, &put, nullptr);
  record += "stdout_ok=" + std::to_string(write_ok && put == 3) + "\n";
  record += entries;

  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
}

std::string FromHex(const std::wstring& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return out;
}

}  // namespace

int wmain() {
  bool present = false;
  const std::wstring record = Variable(L"FAKE_NODE_RECORD", &present);
  if (present) WriteRecord(record);

  const std::string err = FromHex(Variable(L"FAKE_NODE_STDERR_HEX"));
  if (!err.empty()) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), err.data(), static_cast<DWORD>(err.size()), &written,
              nullptr);
  }

  Variable(L"FAKE_NODE_CRASH", &present);
  if (present) {
    // Loaded through a volatile pointer so the compiler can't turn the write
    // into a trap instruction: this must be an access violation.
    static int* volatile target = nullptr;
    *target = 1;
  }
  ExitProcess(static_cast<UINT>(std::wcstoul(Variable(L"FAKE_NODE_EXIT").c_str(), nullptr, 0)));
}
