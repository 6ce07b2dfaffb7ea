// How each form of LaunchError becomes dialog text, and the kinds of codes.

#include "platform/launch_error.h"

#include <gtest/gtest.h>

namespace lumaro::platform {
namespace {

std::string FakeSystemText(std::int32_t code) { return "text of " + std::to_string(code); }

TEST(RenderLaunchError, EachForm) {
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(5), FakeSystemText), "text of 5 (os error 5)");
  // Codes are shown signed, as raised.
  EXPECT_EQ(RenderLaunchError(LaunchError::Os(0xC0000005u), FakeSystemText),
            "text of -1073741819 (os error -1073741819)");
  EXPECT_EQ(RenderLaunchError(LaunchError::Message(ErrorKind::kOther, "boom\n"), FakeSystemText),
            "boom\n");
  EXPECT_EQ(RenderLaunchError(LaunchError::InvalidPackage(), FakeSystemText),
            "Gói ứng dụng không hợp lệ.");
  EXPECT_EQ(RenderLaunchError(LaunchError::Kind(ErrorKind::kNotFound), FakeSystemText),
            "entity not found");
  EXPECT_EQ(RenderLaunchError(LaunchError::Kind(ErrorKind::kOutOfMemory), FakeSystemText),
            "out of memory");
  EXPECT_EQ(RenderLaunchError(LaunchError::Static(ErrorKind::kWriteZero, kWriteZeroMessage),
                              FakeSystemText),
            "failed to write whole buffer");
}

TEST(LaunchError, FixedTextsHaveTheirExactBytes) {
  EXPECT_EQ(kInvalidPackageMessage.size(), 36u);
  EXPECT_EQ(kNoDataFolderMessage.size(), 50u);
  EXPECT_EQ(kAppStoppedMessage.size(), 44u);
}

TEST(ErrorKindOfOsCode, NotFoundAndAlreadyExistsCodes) {
  for (int code : {2, 3, 15, 53, 67}) EXPECT_EQ(ErrorKindOfOsCode(code), ErrorKind::kNotFound);
  for (int code : {80, 183}) EXPECT_EQ(ErrorKindOfOsCode(code), ErrorKind::kAlreadyExists);
  EXPECT_EQ(ErrorKindOfOsCode(5), ErrorKind::kPermissionDenied);
  EXPECT_EQ(ErrorKindOfOsCode(32), ErrorKind::kOther);
  EXPECT_EQ(LaunchError::Os(183).kind(), ErrorKind::kAlreadyExists);
  EXPECT_EQ(LaunchError::InvalidPackage().kind(), ErrorKind::kInvalidData);
}

}  // namespace
}  // namespace lumaro::platform
