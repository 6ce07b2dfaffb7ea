// UTF-8 validation and conversion, and the two white-space rules.

#include "platform/text.h"

#include <gtest/gtest.h>

namespace lumaro::platform {
namespace {

TEST(IsWellFormedUtf8, AcceptsValidAndRejectsEveryMalformedShape) {
  for (const char* ok : {"", "abc", "Gói ứng dụng", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF",
                         "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(IsWellFormedUtf8(ok)) << ok;
  }
  for (const char* bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3",
                          "a\xE1\xBB", "\xFF"}) {
    EXPECT_FALSE(IsWellFormedUtf8(bad)) << testing::PrintToString(std::string(bad));
  }
}

TEST(Utf16, RoundTripsAndRefusesUnpairedSurrogates) {
  const std::string text = "Lumaro · Máy nhà \xF0\x9F\x98\x80";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.substr(0, 9), u"Lumaro · ");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))).has_value());
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))).has_value());
  // An embedded NUL survives; the system call will stop at it.
  EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)).size(), 3u);
}

TEST(IsBlankUnicode, EveryWhiteSpaceCharacterIsBlank) {
  EXPECT_TRUE(IsBlankUnicode(""));
  EXPECT_TRUE(IsBlankUnicode("\r\n \t\v\f"));
  EXPECT_TRUE(IsBlankUnicode("\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8"
                             "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"));
  EXPECT_FALSE(IsBlankUnicode("\xE2\x80\x8B"));  // U+200B is not White_Space
  EXPECT_FALSE(IsBlankUnicode("  x  "));
  EXPECT_FALSE(IsBlankUnicode("\xFF"));
}

TEST(TrimTrailingAsciiWhitespace, StopsAtVerticalTabAndNonAscii) {
  EXPECT_EQ(TrimTrailingAsciiWhitespace("Access denied.\r\n"), "Access denied.");
  EXPECT_EQ(TrimTrailingAsciiWhitespace(" x \t\f\n\r "), " x");
  EXPECT_EQ(TrimTrailingAsciiWhitespace("x\v\r\n"), "x\v");
  EXPECT_EQ(TrimTrailingAsciiWhitespace("x\xC2\xA0\n"), "x\xC2\xA0");
  EXPECT_EQ(TrimTrailingAsciiWhitespace("\r\n"), "");
}

}  // namespace
}  // namespace lumaro::platform
