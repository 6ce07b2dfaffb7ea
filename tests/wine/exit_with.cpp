// Test program for lmr-runner: ends with the 32-bit exit code given as its
// argument (decimal or 0x hex), so exact codes such as 259 or 0xC0000005 can
// be checked end to end.
#include "tools/wine/tool_util.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const auto code = lmr_tool::ParseU32(argv[1]);
  if (!code) return 2;
  ExitProcess(*code);
}
