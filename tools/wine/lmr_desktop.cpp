// Keeps a prefix's desktop in use for as long as its server runs. Wine ends
// a desktop, and its explorer, about a second after the last program using
// it has gone. Two programs that start at once after that, a launcher and
// the dialog reader watching it, can come up on different desktop windows:
// the reader then never sees the launcher's dialog. Windows always has its
// desktop; the tests' prefixes do too.
//   lmr-desktop READY_FILE    writes READY_FILE once the desktop is up, then
//                             waits until the server ends (wineserver -k)
#include "tool_util.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lmr-desktop READY_FILE\n");
    return 2;
  }
  if (GetDesktopWindow() == nullptr) return 1;
  if (!lmr_tool::WriteWholeFile(argv[1], "ready\n")) return 1;
  Sleep(INFINITE);
  return 0;
}
