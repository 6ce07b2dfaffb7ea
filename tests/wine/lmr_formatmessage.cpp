// Prints this system's own description of an error code exactly as
// FormatMessageW returns it (UTF-8, nothing trimmed), so that tests build the
// launcher's dialog text from the system's words without restating its code:
//   lmr-formatmessage N  ->  status 0 and the text, or status 1 and the
//   GetLastError value of the failed call, in decimal.
#include "tools/wine/tool_util.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
  const auto code = argc == 2 ? lmr_tool::ParseU32(argv[1]) : std::nullopt;
  if (!code) {
    std::fprintf(stderr, "usage: lmr-formatmessage CODE\n");
    return 2;
  }
  std::wstring buffer(2048, L'\0');
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      *code, 0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
  if (length == 0) {
    lmr_tool::WriteStdout(std::to_string(GetLastError()));
    return 1;
  }
  buffer.resize(length);
  lmr_tool::WriteStdout(lmr_tool::ToUtf8(buffer));
  return 0;
}
