// Test program for the dialog reader: shows one error message box with the
// given caption and text (MB_OK | MB_ICONERROR, as the launcher does) and then
// exits with the given code.   lmr-msgbox CAPTION TEXT [EXIT_CODE]
#include "tools/wine/tool_util.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 4) return 2;
  const auto code = argc == 4 ? lmr_tool::ParseU32(argv[3]) : std::optional<uint32_t>(1);
  if (!code) return 2;
  MessageBoxW(nullptr, argv[2], argv[1], MB_OK | MB_ICONERROR);
  ExitProcess(*code);
}
