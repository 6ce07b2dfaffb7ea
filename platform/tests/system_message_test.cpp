// System error texts: the trim, the fallbacks and the NTDLL branch. The
// expected texts are computed with FormatMessageW here, never hard-coded:
// Wine's wording differs from Windows'.

#include <gtest/gtest.h>

#include "platform/error_text.h"
#include "platform/wide.h"
#include "platform/text.h"

namespace lumaro::platform {
namespace {

// What FormatMessageW says for a code, or the error it fails with.
struct Lookup {
  DWORD length;
  std::wstring text;
  DWORD error;
};
Lookup Format(DWORD flags, const void* source, DWORD code) {
  wchar_t buffer[2048] = {};
  const DWORD n = FormatMessageW(flags, source, code, 0, buffer, 2048, nullptr);
  const DWORD error = GetLastError();
  return {n, std::wstring(buffer, n), error};
}

TEST(SystemMessageText, IsTheSystemTextWithTrailingWhitespaceTrimmed) {
  for (const std::int32_t code : {2, 5, 32, 183}) {
    const Lookup expected = Format(0x1200, nullptr, code);
    ASSERT_NE(expected.length, 0u) << code;
    const std::string want(TrimTrailingAsciiWhitespace(FromWide(expected.text)));
    EXPECT_EQ(SystemMessageText(code), want);
    EXPECT_EQ(RenderLaunchError(LaunchError::Os(code)),
              want + " (os error " + std::to_string(code) + ")");
  }
}

TEST(SystemMessageText, ACodeWithoutMessageNamesTheFormatMessageError) {
  constexpr std::int32_t kNoSuchCode = 0x0000FFF0;
  const Lookup lookup = Format(0x1200, nullptr, kNoSuchCode);
  ASSERT_EQ(lookup.length, 0u) << "the system knows this code after all";
  EXPECT_EQ(SystemMessageText(kNoSuchCode),
            "OS Error 65520 (FormatMessageW() returned error " + std::to_string(lookup.error) + ")");
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(kNoSuchCode)),
            SystemMessageText(kNoSuchCode) + " (os error 65520)");
}

TEST(SystemMessageText, NtStatusCodesComeFromNtdllWithTheBitCleared) {
  // 0xD0000022: STATUS_ACCESS_DENIED with the customer bit, as a Win32 code.
  const std::int32_t code = static_cast<std::int32_t>(0xD0000022u);
  const Lookup lookup = Format(0x1A00, GetModuleHandleW(L"NTDLL.DLL"), 0xC0000022u);
  std::string expected;
  if (lookup.length == 0) {
    expected = "OS Error " + std::to_string(static_cast<std::int32_t>(0xC0000022u)) +
               " (FormatMessageW() returned error " + std::to_string(lookup.error) + ")";
  } else {
    expected = std::string(TrimTrailingAsciiWhitespace(FromWide(lookup.text)));
  }
  EXPECT_EQ(SystemMessageText(code), expected);
  // The suffix keeps the code as raised, signed.
  EXPECT_TRUE(RenderLaunchError(LaunchError::Os(code)).ends_with(" (os error -805306334)"));
}

}  // namespace
}  // namespace lumaro::platform
