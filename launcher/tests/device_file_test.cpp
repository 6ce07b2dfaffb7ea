// SeedDeviceFile under Wine, in-process: the seed stands beside this test
// executable, DataRoot is a fresh temporary folder per test. Failures of the
// final move and of the write are provoked through the write primitive.

#include "launcher/device_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/error_text.h"
#include "platform/tests/win_test_files.h"
#include "platform/wide.h"
#include "platform/win32.h"

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::LaunchError;
using testing::HoldOpen;
using testing::PathExists;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::size_t CountEntries(const std::string& folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(testing::FromUtf8(folder))) {
    ++n;
  }
  return n;
}

class SeedDeviceFileTest : public ::testing::Test {
 protected:
  // The executable's folder is shared between runs: no seed before or after.
  void SetUp() override { RemoveSeed(); }
  void TearDown() override { RemoveSeed(); }
  void RemoveSeed() {
    std::error_code ignored;
    std::filesystem::remove_all(testing::FromUtf8(seed_), ignored);
  }

  TempDir data_root_{"seed"};
  const std::string seed_ = testing::ExeFolder() + "\\device.local.json";
  const std::string device_ = data_root_ / "device.local.json";
  const std::string temp_ =
      data_root_ / ("device.local.json." + std::to_string(GetCurrentProcessId()) + ".tmp");
};

TEST_F(SeedDeviceFileTest, WithoutSeedHandsOnThePathAndCreatesNothing) {
  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(*result, device_);
  EXPECT_EQ(CountEntries(data_root_.str()), 0u);
}

TEST_F(SeedDeviceFileTest, CopiesTheSeedByteForByte) {
  std::string content = "{\r\n \"id\": \"\xff\xfe\"\n}";
  content.push_back('\0');
  for (int i = 0; content.size() < 300000; ++i) content += static_cast<char>(i * 7);
  ASSERT_TRUE(WriteFileBytes(seed_, content));

  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(*result, device_);
  EXPECT_EQ(ReadFileBytes(device_), content);
  EXPECT_EQ(ReadFileBytes(seed_), content);
  EXPECT_EQ(CountEntries(data_root_.str()), 1u) << "the temporary was moved, not copied";
}

TEST_F(SeedDeviceFileTest, EmptySeedGivesEmptyDeviceFile) {
  ASSERT_TRUE(WriteFileBytes(seed_, ""));
  ASSERT_TRUE(SeedDeviceFile(data_root_.str()));
  EXPECT_EQ(ReadFileBytes(device_), "");
}

TEST_F(SeedDeviceFileTest, ExistingDeviceFileIsLeftAloneAndTheSeedIsNotRead) {
  ASSERT_TRUE(WriteFileBytes(device_, "mine"));
  ASSERT_TRUE(WriteFileBytes(seed_, "seed"));
  // Opening the seed for reading would now fail with a sharing violation.
  const auto lock = HoldOpen(seed_, GENERIC_READ, 0);
  ASSERT_TRUE(lock);

  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(*result, device_);
  EXPECT_EQ(ReadFileBytes(device_), "mine");
}

TEST_F(SeedDeviceFileTest, FolderInDataRootCountsAsExisting) {
  ASSERT_TRUE(CreateDirectoryW(platform::ToWide(device_).c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(seed_, "seed"));
  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, device_);
  EXPECT_TRUE(std::filesystem::is_directory(testing::FromUtf8(device_)));
  EXPECT_EQ(CountEntries(data_root_.str()), 1u);
}

TEST_F(SeedDeviceFileTest, FolderBesideTheExecutableIsNotASeed) {
  ASSERT_TRUE(CreateDirectoryW(platform::ToWide(seed_).c_str(), nullptr));
  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(*result, device_);
  EXPECT_EQ(CountEntries(data_root_.str()), 0u);
}

TEST_F(SeedDeviceFileTest, SeedLockedAgainstReadingFailsWithSharingViolation) {
  ASSERT_TRUE(WriteFileBytes(seed_, "seed"));
  const auto lock = HoldOpen(seed_, GENERIC_READ, FILE_SHARE_WRITE);
  ASSERT_TRUE(lock);
  const auto result = SeedDeviceFile(data_root_.str());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(32));
  EXPECT_EQ(CountEntries(data_root_.str()), 0u);
}

TEST_F(SeedDeviceFileTest, LeftoverTemporaryOfADeadLauncherIsRewritten) {
  ASSERT_TRUE(WriteFileBytes(temp_, "a much longer leftover from a launcher that died"));
  ASSERT_TRUE(WriteFileBytes(seed_, "short"));
  ASSERT_TRUE(SeedDeviceFile(data_root_.str()));
  EXPECT_EQ(ReadFileBytes(device_), "short");
  EXPECT_FALSE(PathExists(temp_));
}

// Write primitives standing in for NtWriteFile.
std::string g_appearing_item;

platform::WriteAttempt AppearThenWrite(platform::NativeHandle file,
                                       const std::byte* data, std::uint32_t length) {
  WriteFileBytes(g_appearing_item, "theirs");
  return platform::NtWriteChunk(file, data, length);
}

platform::WriteAttempt DiskFull(platform::NativeHandle, const std::byte*, std::uint32_t) {
  return {static_cast<platform::NtStatus>(0xC000007F), 0};  // STATUS_DISK_FULL
}

platform::WriteAttempt AcceptsNothing(platform::NativeHandle,
                                      const std::byte*, std::uint32_t) { return {0, 0}; }

platform::WriteAttempt SevenAtATime(platform::NativeHandle file,
                                    const std::byte* data, std::uint32_t length) {
  return platform::NtWriteChunk(file, data, std::min<std::uint32_t>(length, 7));
}

TEST_F(SeedDeviceFileTest, DeviceFileAppearingMeanwhileIsNeverOverwritten) {
  ASSERT_TRUE(WriteFileBytes(seed_, "seed bytes"));
  g_appearing_item = device_;
  const auto result = SeedDeviceFile(data_root_.str(), &AppearThenWrite);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(183));
  EXPECT_EQ(ReadFileBytes(device_), "theirs");
  EXPECT_EQ(ReadFileBytes(temp_), "seed bytes") << "the finished copy stays behind";
}

TEST_F(SeedDeviceFileTest, FailedWriteLeavesNoDeviceFileAndTheNextLaunchSeeds) {
  ASSERT_TRUE(WriteFileBytes(seed_, "seed bytes"));
  auto result = SeedDeviceFile(data_root_.str(), &DiskFull);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(112));  // ERROR_DISK_FULL
  EXPECT_FALSE(PathExists(device_));

  result = SeedDeviceFile(data_root_.str(), &AcceptsNothing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Static(ErrorKind::kWriteZero, platform::kWriteZeroMessage));
  EXPECT_FALSE(PathExists(device_));

  result = SeedDeviceFile(data_root_.str(), &SevenAtATime);
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(ReadFileBytes(device_), "seed bytes");
}

}  // namespace
}  // namespace lumaro::launcher
