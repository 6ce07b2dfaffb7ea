// System error texts: the trim, the fallbacks and the NTDLL branch. The
// system's wording is its own (Wine's differs from Windows'), so texts are
// checked against the system's raw text, Wine's own wording under Wine, and
// the fallbacks by values written here.

#include <gtest/gtest.h>

#include "platform/error_text.h"
#include "platform/tests/win_test_files.h"
#include "platform/wide.h"
#include "platform/win32.h"

namespace lumaro::platform {
namespace {

bool EndsInAsciiWhitespace(const std::string& text) {
  return !text.empty() && std::string_view(" \t\r\n\f\v").find(text.back()) != std::string_view::npos;
}

// The system's raw text, asked for here without the product's code.
std::wstring RawSystemText(std::int32_t code) {
  wchar_t buffer[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(code), 0, buffer, 512, nullptr);
  return std::wstring(buffer, length);
}

// System texts end in "\r\n", Wine's as Windows' do: the text is the
// system's own with exactly that trimmed.
TEST(SystemMessageText, IsTheSystemTextWithTrailingWhitespaceTrimmed) {
  for (const std::int32_t code : {2, 5, 32, 183}) {
    const std::wstring raw = RawSystemText(code);
    ASSERT_TRUE(raw.ends_with(L".\r\n")) << code;
    EXPECT_EQ(ToWide(SystemMessageText(code)) + L"\r\n", raw) << code;
  }
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(183)), SystemMessageText(183) + " (os error 183)");
}

// Wine's wording is its own English, fixed for its version; Windows' is in
// the user's display language and is never written into a test.
TEST(SystemMessageText, UnderWineIsWinesOwnText) {
  if (!lumaro::testing::RunningUnderWine()) GTEST_SKIP() << "Windows' wording is its own";
  EXPECT_EQ(SystemMessageText(2), "File not found.");
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(2)), "File not found. (os error 2)");
}

// 317: "the system cannot find message text for message number 0x%1".
TEST(SystemMessageText, ACodeWithoutMessageNamesTheFormatMessageError) {
  EXPECT_EQ(SystemMessageText(0xFFF0), "OS Error 65520 (FormatMessageW() returned error 317)");
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(0xFFF0)),
            "OS Error 65520 (FormatMessageW() returned error 317) (os error 65520)");
}

// 0xD0000022 is STATUS_ACCESS_DENIED with the customer bit, raised as a Win32
// code: its text is NTDLL's for 0xC0000022. Wine's NTDLL has no text for it
// (317), so there the fallback names the cleared code; Windows has a text.
TEST(SystemMessageText, NtStatusCodesComeFromNtdllWithTheBitCleared) {
  const auto code = static_cast<std::int32_t>(0xD0000022u);
  const std::string text = SystemMessageText(code);
  if (lumaro::testing::RunningUnderWine()) {
    EXPECT_EQ(text, "OS Error -1073741790 (FormatMessageW() returned error 317)");
  } else {
    EXPECT_FALSE(text.starts_with("OS Error ")) << text;
    EXPECT_FALSE(EndsInAsciiWhitespace(text)) << text;
  }
  // The suffix keeps the code as raised, signed.
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(code)), text + " (os error -805306334)");
}

}  // namespace
}  // namespace lumaro::platform
