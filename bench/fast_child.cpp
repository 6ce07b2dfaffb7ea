// A trivial console program: exits 0 at once, whatever its arguments. Packed
// as node.exe it makes the launcher's own cost visible; with --hold-ms N as
// its first arguments it waits N ms first, so its memory can be read.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc > 2 && std::wcscmp(argv[1], L"--hold-ms") == 0) Sleep(static_cast<DWORD>(_wtoi(argv[2])));
  return 0;
}
