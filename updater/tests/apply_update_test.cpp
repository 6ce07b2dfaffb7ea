// The update helper's Win32 steps under Wine, against real processes: a
// stand-in launcher is named by its image, waited for, and its exe replaced
// by a staged one once it has ended; a replace refused while the exe is held
// is tried again, then given up with the staged exe kept.
// Wine, like Windows, refuses to rename over a running exe (5); "in use" by
// another session is also provoked with a handle held without delete
// sharing, which both refuse.

#include "updater/apply_update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_swap.h"
#include "platform/process_watch.h"
#include "platform/tests/win_test_files.h"
#include "platform/win32.h"

namespace lumaro::updater {
namespace {

using namespace std::chrono_literals;
using testing::HoldOpen;
using testing::PathExists;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr char kStagedName[] = "update-0123456789abcdef.exe";
constexpr char kTrailer[] = "-- the new version's bytes --";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// Work on a thread of its own, so that a test can see it still waiting.
// (std::async would pull a second std::type_info into a static mingw link.)
template <class T>
class InBackground {
 public:
  template <class Work>
  explicit InBackground(Work work)
      : thread_([this, work = std::move(work)]() mutable {
          value_ = work();
          done_ = true;
        }) {}
  ~InBackground() {
    if (thread_.joinable()) thread_.join();
  }
  bool DoneWithin(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done_ && std::chrono::steady_clock::now() < deadline) Sleep(10);
    return done_;
  }
  T Get() {
    thread_.join();
    return std::move(value_);
  }

 private:
  T value_{};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// An app folder with the stand-in as App.exe, and a data folder beside it
// holding the staged new version (the stand-in with bytes appended).
class Release {
 public:
  Release() {
    auto stand_in = ReadFileBytes(testing::ExeFolder() + "\\stand_in_launcher.exe");
    EXPECT_TRUE(stand_in.has_value());
    old_bytes = stand_in.value_or("");
    new_bytes = old_bytes + kTrailer;
    EXPECT_TRUE(std::filesystem::create_directory(dir.path() / "data"));
    EXPECT_TRUE(WriteFileBytes(exe, old_bytes));
    EXPECT_TRUE(WriteFileBytes(staged, new_bytes));
  }

  ApplyCommand Command(std::uint32_t pid, std::uint32_t retry_ms = 2000) const {
    ApplyCommand command;
    command.launcher_pid = pid;
    command.staged = staged;
    command.size = new_bytes.size();
    command.retry_ms = retry_ms;
    return command;
  }

  platform::StartedProcess Start() const {
    auto started = platform::StartProgram(exe, dir.str());
    EXPECT_TRUE(started.has_value());
    return started ? std::move(*started) : platform::StartedProcess{};
  }

  void Stop() const { EXPECT_TRUE(WriteFileBytes(dir / "stop", "")); }

  // The sizes of the versions started so far, in order.
  std::string Started() const { return ReadFileBytes(dir / "started.log").value_or(""); }

  TempDir dir{"apply"};
  std::string exe = dir / "App.exe";
  std::string staged = dir.str() + "\\data\\" + kStagedName;
  std::string result_file = dir.str() + "\\data\\update-result.json";
  std::string old_bytes, new_bytes;
};

TEST(ApplyUpdateWinTest, WatchesTheLauncherAndReplacesItsExeOnlyOnceItHasEnded) {
  Release release;
  auto launcher = release.Start();
  auto watch = StartWatching(release.Command(launcher.id));
  ASSERT_TRUE(watch.has_value()) << watch.error().detail;
  EXPECT_EQ(Lower(watch->exe), Lower(release.exe));

  // No retries: only the wait keeps the rename from meeting the running exe.
  InBackground<ApplyResult> finished([&] { return FinishApply(release.Command(launcher.id, 0), std::move(*watch)); });
  EXPECT_FALSE(finished.DoneWithin(300ms)) << "did not wait for the launcher";
  EXPECT_EQ(ReadFileBytes(release.exe), release.old_bytes);
  release.Stop();
  const ApplyResult result = finished.Get();
  EXPECT_EQ(result.outcome, Outcome::kApplied) << result.detail << " " << result.os_code;
  EXPECT_EQ(ReadFileBytes(release.exe), release.new_bytes);
  EXPECT_FALSE(PathExists(release.staged));
}

TEST(ApplyUpdateWinTest, ARunningExeIsNotReplaced) {
  Release release;
  auto launcher = release.Start();
  auto replaced = platform::ReplaceFileWriteThrough(release.staged, release.exe);
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error().os_code(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(IsInUse(replaced.error().os_code()));
  release.Stop();
  EXPECT_EQ(ReadFileBytes(release.exe), release.old_bytes);
}

TEST(ApplyUpdateWinTest, WaitsForAProcessWithinAndWithoutABound) {
  Release release;
  auto launcher = release.Start();
  EXPECT_EQ(platform::WaitForProcessEnd(launcher.process.get(), 50), false);
  release.Stop();
  EXPECT_TRUE(platform::WaitForProcessEnd(launcher.process.get()).has_value());
  EXPECT_EQ(platform::WaitForProcessEnd(launcher.process.get(), 0), true);
}

TEST(ApplyUpdateWinTest, RefusesAStagedExeOfTheWrongSizeOrMissingAndChangesNothing) {
  Release release;
  auto launcher = release.Start();
  ApplyCommand wrong_size = release.Command(launcher.id);
  wrong_size.size += 1;
  auto watch = StartWatching(wrong_size);
  ASSERT_FALSE(watch.has_value());
  EXPECT_EQ(watch.error().step, "staged");
  EXPECT_EQ(watch.error().detail, "the staged exe is " + std::to_string(release.new_bytes.size()) + " bytes, not " +
                                      std::to_string(wrong_size.size));

  ApplyCommand missing = release.Command(launcher.id);
  missing.staged = release.dir.str() + "\\data\\update-fedcba9876543210.exe";
  auto no_file = StartWatching(missing);
  ASSERT_FALSE(no_file.has_value());
  EXPECT_EQ(no_file.error().step, "staged");
  EXPECT_EQ(no_file.error().os_code, 2);

  release.Stop();
  EXPECT_EQ(ReadFileBytes(release.exe), release.old_bytes);
  EXPECT_EQ(ReadFileBytes(release.staged), release.new_bytes);
}

TEST(ApplyUpdateWinTest, KeepsTryingWhileTheExeIsHeldThenKeepsTheStagedExe) {
  Release release;
  auto launcher = release.Start();
  auto watch = StartWatching(release.Command(launcher.id, 600));
  ASSERT_TRUE(watch.has_value()) << watch.error().detail;
  release.Stop();
  {
    // Another session has the exe open without delete sharing throughout.
    auto held = HoldOpen(release.exe, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(static_cast<bool>(held));
    const auto start = std::chrono::steady_clock::now();
    const ApplyResult result = FinishApply(release.Command(launcher.id, 600), std::move(*watch));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_EQ(result.outcome, Outcome::kInUse);
    EXPECT_EQ(result.step, "replace");
    EXPECT_EQ(result.os_code, ERROR_ACCESS_DENIED);  // what MoveFileExW reports for a held target
  }
  EXPECT_EQ(ReadFileBytes(release.exe), release.old_bytes);
  EXPECT_EQ(ReadFileBytes(release.staged), release.new_bytes);

  // Held for a moment only: a later try within the time succeeds.
  auto again = release.Start();
  auto watch_again = StartWatching(release.Command(again.id, 10'000));
  ASSERT_TRUE(watch_again.has_value()) << watch_again.error().detail;
  auto held = HoldOpen(release.exe, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(static_cast<bool>(held));
  InBackground<ApplyResult> finished(
      [&] { return FinishApply(release.Command(again.id, 10'000), std::move(*watch_again)); });
  EXPECT_FALSE(finished.DoneWithin(700ms));
  held.reset();
  const ApplyResult result = finished.Get();
  EXPECT_EQ(result.outcome, Outcome::kApplied) << result.detail << " " << result.os_code;
  EXPECT_EQ(ReadFileBytes(release.exe), release.new_bytes);
}

// Wine maps Z: to the Linux root, and /dev/shm is another file system than
// the temporary folder's: a rename from one to the other fails as it does
// between two Windows volumes.
class OtherVolume {
 public:
  OtherVolume() {
    std::error_code ignored;
    std::filesystem::create_directory(path, ignored);
  }
  ~OtherVolume() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string str() const { return testing::Utf8(path); }

  std::filesystem::path path = std::filesystem::path(L"Z:\\dev\\shm") /
                               (L"lumaro-apply-" + std::to_wstring(GetCurrentProcessId()));
};

TEST(ApplyUpdateWinTest, AStagedExeOnAnotherVolumeIsCopiedBesideTheExeAndRenamedFromThere) {
  Release release;
  OtherVolume volume;
  if (!PathExists(volume.str())) GTEST_SKIP() << "no second volume at " << volume.str();
  const std::string staged = volume.str() + "\\" + kStagedName;
  ASSERT_TRUE(WriteFileBytes(staged, release.new_bytes));
  ASSERT_TRUE(WriteFileBytes(volume.str() + "\\probe", ""));
  auto across = platform::ReplaceFileWriteThrough(volume.str() + "\\probe", release.dir / "probe");
  ASSERT_FALSE(across.has_value());
  ASSERT_TRUE(IsOtherVolume(across.error().os_code())) << across.error().os_code();

  // Held throughout: the copy goes, the staged exe stays for the next try.
  auto launcher = release.Start();
  ApplyCommand command = release.Command(launcher.id, 0);
  command.staged = staged;
  auto watch = StartWatching(command);
  ASSERT_TRUE(watch.has_value()) << watch.error().detail;
  release.Stop();
  {
    auto held = HoldOpen(release.exe, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(static_cast<bool>(held));
    const ApplyResult result = FinishApply(command, std::move(*watch));
    EXPECT_EQ(result.outcome, Outcome::kInUse) << result.detail << " " << result.os_code;
  }
  EXPECT_EQ(ReadFileBytes(release.exe), release.old_bytes);
  EXPECT_FALSE(PathExists(CopyPathFor(release.exe)));
  EXPECT_EQ(ReadFileBytes(staged), release.new_bytes);

  auto again = release.Start();
  command.launcher_pid = again.id;
  auto watch_again = StartWatching(command);
  ASSERT_TRUE(watch_again.has_value()) << watch_again.error().detail;
  const ApplyResult result = FinishApply(command, std::move(*watch_again));
  EXPECT_EQ(result.outcome, Outcome::kApplied) << result.detail << " " << result.os_code;
  EXPECT_EQ(ReadFileBytes(release.exe), release.new_bytes);
  EXPECT_FALSE(PathExists(CopyPathFor(release.exe)));
  EXPECT_FALSE(PathExists(staged));
}

std::vector<std::string> g_said;
void Record(std::string_view line) { g_said.emplace_back(line); }

TEST(ApplyUpdateWinTest, TheWholeHelperSwapsRestartsTheNewVersionAndLeavesItsResult) {
  Release release;
  auto launcher = release.Start();
  g_said.clear();
  const std::vector<std::string> args = {"apply", "--launcher-pid", std::to_string(launcher.id), "--new",
                                         release.staged, "--size", std::to_string(release.new_bytes.size()),
                                         "--restart"};
  InBackground<int> helper([&] { return RunUpdateHelper(args, &Record); });
  EXPECT_FALSE(helper.DoneWithin(300ms));
  release.Stop();
  ASSERT_EQ(helper.Get(), 0);
  ASSERT_EQ(g_said.size(), 1u);
  EXPECT_EQ(Lower(g_said[0]), Lower("watching " + release.exe + "\n"));
  auto text = ReadFileBytes(release.result_file);
  ASSERT_TRUE(text.has_value());
  ApplyResult applied;
  applied.outcome = Outcome::kApplied;
  applied.exe = release.exe;
  applied.staged = release.staged;
  applied.restart_asked = true;
  EXPECT_EQ(Lower(*text), Lower(ResultJson(applied)));
  EXPECT_FALSE(PathExists(release.result_file + ".tmp"));
  // The restarted exe is the new one; it stops at once, the stop file being there.
  const std::string sizes = std::to_string(release.old_bytes.size()) + "\n" +
                            std::to_string(release.new_bytes.size()) + "\n";
  for (int i = 0; i < 500 && release.Started() != sizes; ++i) Sleep(20);
  EXPECT_EQ(release.Started(), sizes);
}

TEST(ApplyUpdateWinTest, TheWholeHelperSaysWhyItWillDoNothing) {
  Release release;
  g_said.clear();
  const std::vector<std::string> args = {"apply", "--launcher-pid", "1", "--new", release.exe, "--size", "1"};
  EXPECT_EQ(RunUpdateHelper(args, &Record), kUsageStatus);
  ASSERT_EQ(g_said.size(), 1u);
  EXPECT_EQ(g_said[0], "refused --new takes the full path of a staged update-<16 hex digits>.exe, not " +
                           release.exe + "\n");
  EXPECT_FALSE(PathExists(release.result_file));
}

}  // namespace
}  // namespace lumaro::updater
