// Build id validation and the folder names made from it.

#include "launcher/build_id.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace lumaro::launcher {
namespace {

std::optional<std::string_view> Validate(const char (&text)[17]) {
  static std::array<std::byte, 16> field;
  std::memcpy(field.data(), text, 16);
  return ValidateBuildId(std::span<const std::byte, 16>(field));
}

TEST(ValidateBuildId, AcceptsBothCasesAsStored) {
  EXPECT_EQ(Validate("01ca8e43785f62e0"), "01ca8e43785f62e0");
  EXPECT_EQ(Validate("01CA8E43785F62E0"), "01CA8E43785F62E0");
  EXPECT_EQ(Validate("0123456789abcdef"), "0123456789abcdef");
}

TEST(ValidateBuildId, RefusesAnythingButHexDigits) {
  EXPECT_FALSE(Validate("01ca8e43785f62eG"));
  // The neighbours of each hex range.
  for (const char* text : {"01ca8e43785f62e/", "01ca8e43785f62e:", "01ca8e43785f62e@", "01ca8e43785f62e`",
                           "01ca8e43785f62eg"}) {
    std::array<std::byte, 16> field;
    std::memcpy(field.data(), text, 16);
    EXPECT_FALSE(ValidateBuildId(std::span<const std::byte, 16>(field))) << text;
  }
  EXPECT_FALSE(Validate("01ca8e43785f62e "));
  EXPECT_FALSE(Validate("01ca8e43785f62e\x80"));
  EXPECT_FALSE(Validate("\xC3\xA9" "ca8e43785f62e0"));  // valid UTF-8, not hex
  EXPECT_FALSE(Validate("01ca8e4378\0f62e0"));
}

TEST(FolderNames, RuntimeAndStaging) {
  EXPECT_EQ(RuntimeDirName("01ca8e43785f62e0"), "runtime-01ca8e43785f62e0");
  EXPECT_EQ(StagingDirName("00ff00ff00ff00ff", 4312), "install-00ff00ff00ff00ff-4312");
  EXPECT_EQ(StagingDirName("00ff00ff00ff00ff", 4294967295u), "install-00ff00ff00ff00ff-4294967295");
}

}  // namespace
}  // namespace lumaro::launcher
