// Installing the test binary's own embedded package: a fresh install, the
// states of an existing runtime folder, leftovers and the lost race. Needs
// the Compression API (the stand-in cabinet.dll in system32 under Wine).

#include "launcher/runtime_install.h"

#include <gtest/gtest.h>

#include "launcher/build_id.h"
#include "platform/win32.h"
#include "platform/launch_error.h"
#include "platform/path_rules.h"
#include "platform/tests/win_test_files.h"

namespace lumaro::launcher {
namespace {

namespace fs = std::filesystem;
using lumaro::testing::ListTree;
using lumaro::testing::ReadFileBytes;
using lumaro::testing::TempDir;
using lumaro::testing::WriteFileBytes;
using platform::LaunchError;
using Tree = std::vector<std::string>;

// Names the folders only; EnsureRuntime never compares it with the record.
constexpr std::string_view kBuildId = "00ff00ff00ff00ff";
const Tree kInstalled = {"home.mjs", "lib/", "lib/x.js", "node.exe", "ready"};

std::string RuntimeOf(const TempDir& data_root) {
  return platform::JoinPath(data_root.str(), RuntimeDirName(kBuildId));
}

TEST(EnsureRuntime, InstallsThroughAStagingFolderAndOneRename) {
  TempDir data_root;
  const std::string runtime = RuntimeOf(data_root);
  auto result = EnsureRuntime(data_root.str(), kBuildId, runtime);
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error(), [](std::int32_t c) {
    return std::string("code ") + std::to_string(c);
  });
  EXPECT_EQ(ListTree(runtime), kInstalled);
  EXPECT_EQ(fs::file_size(fs::path(runtime) / "ready"), 0u);
  EXPECT_EQ(ReadFileBytes(fs::path(runtime) / "lib" / "x.js"), "module.exports = 42;\n");
  EXPECT_EQ(ListTree(data_root.path()).size(), kInstalled.size() + 1) << "no staging folder left";
  EXPECT_TRUE(RuntimeComplete(runtime));
  // A complete runtime is used as it is, extra files and all.
  WriteFileBytes(fs::path(runtime) / "extra", "mine");
  EXPECT_TRUE(EnsureRuntime(data_root.str(), kBuildId, runtime));
  EXPECT_EQ(ReadFileBytes(fs::path(runtime) / "extra"), "mine");
}

TEST(EnsureRuntime, ADamagedRuntimeIsRefusedAndLeftAlone) {
  const struct {
    const char* what;
    void (*damage)(const fs::path& runtime);
  } cases[] = {
      {"no ready", [](const fs::path& r) { fs::remove(r / "ready"); }},
      {"no node.exe", [](const fs::path& r) { fs::remove(r / "node.exe"); }},
      {"no home.mjs", [](const fs::path& r) { fs::remove(r / "home.mjs"); }},
      {"ready is a folder",
       [](const fs::path& r) {
         fs::remove(r / "ready");
         fs::create_directory(r / "ready");
       }},
      {"a file instead of the folder",
       [](const fs::path& r) {
         fs::remove_all(r);
         WriteFileBytes(r, "not a folder");
       }},
  };
  for (const auto& c : cases) {
    TempDir data_root;
    const std::string runtime = RuntimeOf(data_root);
    ASSERT_TRUE(EnsureRuntime(data_root.str(), kBuildId, runtime)) << c.what;
    c.damage(runtime);
    const Tree before = ListTree(data_root.path());
    auto result = EnsureRuntime(data_root.str(), kBuildId, runtime);
    ASSERT_FALSE(result) << c.what;
    EXPECT_EQ(result.error(), LaunchError::InvalidPackage()) << c.what;
    EXPECT_EQ(ListTree(data_root.path()), before) << c.what;
  }
}

TEST(EnsureRuntime, LeftoverStagingFolders) {
  TempDir data_root;
  const std::string runtime = RuntimeOf(data_root);
  // Another process id's leftover is not ours and stays.
  const std::string other = platform::JoinPath(data_root.str(), StagingDirName(kBuildId, 1));
  fs::create_directory(other);
  WriteFileBytes(fs::path(other) / "partial", "x");
  // One with our own name (a reused process id) stops the install.
  const std::string ours =
      platform::JoinPath(data_root.str(), StagingDirName(kBuildId, GetCurrentProcessId()));
  fs::create_directory(ours);
  auto result = EnsureRuntime(data_root.str(), kBuildId, runtime);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(183));
  EXPECT_FALSE(fs::exists(runtime));

  fs::remove(ours);
  ASSERT_TRUE(EnsureRuntime(data_root.str(), kBuildId, runtime));
  EXPECT_EQ(ReadFileBytes(fs::path(other) / "partial"), "x");
}

TEST(PublishStaging, ALostRaceToACompleteRuntimeCountsAsInstalled) {
  TempDir data_root;
  const std::string runtime = RuntimeOf(data_root);
  ASSERT_TRUE(EnsureRuntime(data_root.str(), kBuildId, runtime));  // the winner
  const std::string staging = data_root / "install-00ff00ff00ff00ff-999";
  fs::create_directory(staging);
  WriteFileBytes(fs::path(staging) / "ready", "");
  EXPECT_TRUE(PublishStaging(staging, runtime));
  EXPECT_TRUE(fs::exists(staging)) << "the loser's staging folder stays";
  EXPECT_EQ(ListTree(runtime), kInstalled);

  // A failed rename with no complete runtime behind it stays an error, the
  // rename's own: here the staging folder has gone meanwhile (2).
  fs::remove(fs::path(runtime) / "ready");
  fs::remove_all(staging);
  auto result = PublishStaging(staging, runtime);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(2));
}

}  // namespace
}  // namespace lumaro::launcher
