// Holds a named mutex the way a running launcher does (initial owner TRUE),
// so a second launcher sees the guard taken.
//   lmr-hold-mutex --name N [--lifetime-ms T] [--ready-file F] [--stop-file S]
// The ready file says "created" or "existed" once the mutex is held.
#include "tools/wine/tool_util.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
  std::wstring name, ready, stop;
  DWORD lifetime = 30000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring_view opt = argv[i];
    if (opt == L"--name") name = argv[i + 1];
    else if (opt == L"--ready-file") ready = argv[i + 1];
    else if (opt == L"--stop-file") stop = argv[i + 1];
    else if (opt == L"--lifetime-ms") lifetime = lmr_tool::ParseU32(argv[i + 1]).value_or(30000);
    else return 2;
  }
  if (name.empty() || argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: lmr-hold-mutex --name N [--lifetime-ms T] [--ready-file F] "
                 "[--stop-file S]\n");
    return 2;
  }
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    std::fprintf(stderr, "lmr-hold-mutex: CreateMutexW failed: %lu\n", error);
    return 3;
  }
  if (!ready.empty()) {
    lmr_tool::WriteWholeFile(ready, error == ERROR_ALREADY_EXISTS ? "existed" : "created");
  }
  const ULONGLONG deadline = GetTickCount64() + lifetime;
  while (GetTickCount64() < deadline) {
    if (!stop.empty() && lmr_tool::FileExists(stop)) break;
    Sleep(20);
  }
  CloseHandle(mutex);
  return 0;
}
