// Prints the text an error dialog shows for an operating-system code, computed
// from this system's own FormatMessageW so tests never carry Windows' or
// Wine's wording:  lmr-oserror N  ->  "<system text> (os error N)", UTF-8.
// With --bare only the system text is printed.
#include "tools/wine/tool_util.h"

#include <string>

namespace {

std::string SystemMessageText(int32_t code) {
  std::wstring buffer(2048, L'\0');
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const void* source = nullptr;
  auto lookup = static_cast<uint32_t>(code);
  // NT status codes carried as errors are looked up in ntdll's table.
  if ((lookup & 0x10000000u) != 0) {
    if (HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL"); ntdll != nullptr) {
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
      source = ntdll;
      lookup &= ~0x10000000u;
    }
  }
  const DWORD length = FormatMessageW(flags, source, lookup, 0, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr);
  if (length == 0) {
    const auto error = static_cast<int32_t>(GetLastError());
    return "OS Error " + std::to_string(static_cast<int32_t>(lookup)) +
           " (FormatMessageW() returned error " + std::to_string(error) + ")";
  }
  buffer.resize(length);
  for (size_t i = 0; i < buffer.size(); ++i) {
    const wchar_t c = buffer[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < buffer.size() && buffer[i + 1] >= 0xDC00 && buffer[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      return "OS Error " + std::to_string(static_cast<int32_t>(lookup)) +
             " (FormatMessageW() returned invalid UTF-16)";
    }
  }
  std::string text = lmr_tool::ToUtf8(buffer);
  while (!text.empty()) {
    const char last = text.back();
    if (last != ' ' && last != '\t' && last != '\n' && last != '\f' && last != '\r') break;
    text.pop_back();
  }
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool bare = false;
  int arg = 1;
  if (argc == 3 && std::wstring_view(argv[1]) == L"--bare") {
    bare = true;
    arg = 2;
  } else if (argc != 2) {
    std::fprintf(stderr, "usage: lmr-oserror [--bare] CODE\n");
    return 2;
  }
  const auto code = lmr_tool::ParseU32(argv[arg]);
  if (!code) {
    std::fprintf(stderr, "lmr-oserror: bad code\n");
    return 2;
  }
  const auto signed_code = static_cast<int32_t>(*code);
  std::string text = SystemMessageText(signed_code);
  if (!bare) text += " (os error " + std::to_string(signed_code) + ")";
  lmr_tool::WriteStdout(text);
  return 0;
}
