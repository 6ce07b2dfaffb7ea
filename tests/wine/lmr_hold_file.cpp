// Holds a file open with a chosen access and share mode, so that tests can
// make another process's open fail with a sharing violation (Linux-side opens
// are not seen by Wine's share checks).
//   lmr-hold-file --path P [--access read|write|none] [--share none|read|write|rw|all]
//                 [--create] [--lifetime-ms N] [--ready-file F] [--stop-file S]
// The ready file says "held" once the handle is open, or "failed=CODE".
#include "tools/wine/tool_util.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
  std::wstring path, ready, stop;
  DWORD access = GENERIC_READ, share = 0, disposition = OPEN_EXISTING, lifetime = 30000;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view opt = argv[i];
    if (opt == L"--create") {
      disposition = OPEN_ALWAYS;
      continue;
    }
    if (i + 1 >= argc) return 2;
    const std::wstring_view value = argv[++i];
    if (opt == L"--path") {
      path = value;
    } else if (opt == L"--ready-file") {
      ready = value;
    } else if (opt == L"--stop-file") {
      stop = value;
    } else if (opt == L"--lifetime-ms") {
      lifetime = lmr_tool::ParseU32(value).value_or(30000);
    } else if (opt == L"--access") {
      access = value == L"read" ? GENERIC_READ : value == L"write" ? GENERIC_WRITE : 0;
    } else if (opt == L"--share") {
      share = value == L"read"    ? FILE_SHARE_READ
              : value == L"write" ? FILE_SHARE_WRITE
              : value == L"rw"    ? FILE_SHARE_READ | FILE_SHARE_WRITE
              : value == L"all"   ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                  : 0;
    } else {
      std::fprintf(stderr,
                   "usage: lmr-hold-file --path P [--access read|write|none] "
                   "[--share none|read|write|rw|all] [--create] [--lifetime-ms N] "
                   "[--ready-file F] [--stop-file S]\n");
      return 2;
    }
  }
  if (path.empty()) return 2;
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (!ready.empty()) lmr_tool::WriteWholeFile(ready, "failed=" + std::to_string(error));
    return 3;
  }
  if (!ready.empty()) lmr_tool::WriteWholeFile(ready, "held");
  const ULONGLONG deadline = GetTickCount64() + lifetime;
  while (GetTickCount64() < deadline) {
    if (!stop.empty() && lmr_tool::FileExists(stop)) break;
    Sleep(20);
  }
  CloseHandle(file);
  return 0;
}
