// System error texts: the trim, the fallbacks and the NTDLL branch. The
// system's wording is its own (Wine's differs from Windows'), so texts are
// checked by their shape and the fallbacks by values written here.

#include <gtest/gtest.h>

#include "platform/error_text.h"
#include "platform/tests/win_test_files.h"

namespace lumaro::platform {
namespace {

bool EndsInAsciiWhitespace(const std::string& text) {
  return !text.empty() && std::string_view(" \t\r\n\f\v").find(text.back()) != std::string_view::npos;
}

// Wine's texts end in "\r\n", as Windows' do: the trim has work to do.
TEST(SystemMessageText, IsTheSystemTextWithTrailingWhitespaceTrimmed) {
  for (const std::int32_t code : {2, 5, 32, 183}) {
    const std::string text = SystemMessageText(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_FALSE(EndsInAsciiWhitespace(text)) << code << ": " << text;
    EXPECT_FALSE(text.starts_with("OS Error ")) << code << " has a system text: " << text;
  }
  EXPECT_NE(SystemMessageText(2), SystemMessageText(5));
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(183)), SystemMessageText(183) + " (os error 183)");
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
