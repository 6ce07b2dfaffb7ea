// The data folder step in-process: how LOCALAPPDATA becomes DataRoot. A
// relative value is made absolute once, so the application never receives a
// path that it would resolve again from inside RuntimeDir.

#include "launcher/launch_sequence.h"

#include <gtest/gtest.h>

#include "package/payload_record.h"
#include "platform/wide.h"
#include "platform/tests/win_test_files.h"

namespace lumaro::launcher {
namespace {

namespace fs = std::filesystem;
using lumaro::testing::TempDir;

// This binary's payload was packed with no identity setting: Lumaro's own,
// byte for byte, is what the generated constants carry.
TEST(EmbeddedIdentityTest, WithoutSettingsItIsLumaros) {
  const auto identity = package::EmbeddedIdentity();
  ASSERT_TRUE(identity);
  EXPECT_EQ(*identity, (package::IdentityFields{"Lumaro", "Lumaro", "Local\\Lumaro.Desktop.2026",
                                                "Lumaro · Máy nhà"}));
}

constexpr std::string_view kDataFolder = "Lumaro";

// Sets LOCALAPPDATA (or removes it) and the current folder for one test.
class DataRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
  }
  static void SetLocalAppData(const char* value) {
    SetEnvironmentVariableW(L"LOCALAPPDATA",
                            value ? platform::ToWide(value).c_str() : nullptr);
  }
  TempDir dir_;
  fs::path saved_cwd_;
};

TEST_F(DataRootTest, MissingVariableIsTheNoDataFolderMessage) {
  SetLocalAppData(nullptr);
  auto result = EnsureDataRoot(kDataFolder);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), platform::LaunchError::Message(
                                platform::ErrorKind::kOther,
                                "Không tìm thấy thư mục dữ liệu Windows."));
  EXPECT_TRUE(lumaro::testing::ListTree(dir_.path()).empty());
}

TEST_F(DataRootTest, EmptyAndRelativeValuesBecomeAbsoluteOnce) {
  // The current folder is the test's own: what the value names below it,
  // then "\Lumaro".
  const struct {
    const char* value;
    std::string expected;
  } cases[] = {
      {"", dir_.str() + "\\Lumaro"},
      {"rel\\dữ liệu", dir_.str() + "\\rel\\dữ liệu\\Lumaro"},
  };
  for (const auto& c : cases) {
    SetLocalAppData(c.value);
    EXPECT_EQ(EnsureDataRoot(kDataFolder), c.expected) << c.value;
    EXPECT_TRUE(fs::is_directory(lumaro::testing::FromUtf8(c.expected))) << c.expected;
  }
}

TEST_F(DataRootTest, AbsoluteValuesAreUsedAsReturned) {
  const std::string base = dir_ / "Người dùng\\AppData Local";
  SetLocalAppData(base.c_str());
  EXPECT_EQ(EnsureDataRoot(kDataFolder), base + "\\Lumaro");
  SetLocalAppData((base + "\\").c_str());
  EXPECT_EQ(EnsureDataRoot(kDataFolder), base + "\\Lumaro");
  EXPECT_TRUE(fs::is_directory(lumaro::testing::FromUtf8(base + "\\Lumaro")));
}

}  // namespace
}  // namespace lumaro::launcher
