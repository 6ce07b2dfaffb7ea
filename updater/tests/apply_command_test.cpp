// The helper's command line, the names it accepts, its retry rule and the
// result file's text.

#include "updater/apply_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumaro::updater {
namespace {

constexpr char kStaged[] = "C:\\Users\\an\\AppData\\Local\\Lumaro\\update-0123456789abcdef.exe";

std::expected<ApplyCommand, std::string> Parse(std::vector<std::string> args) {
  return ParseApplyCommand(args);
}

TEST(ApplyCommandTest, ReadsEveryOption) {
  auto command = Parse({"apply", "--launcher-pid", "4312", "--new", kStaged, "--size", "5000000000", "--restart",
                        "--retry-ms", "750"});
  ASSERT_TRUE(command) << command.error();
  EXPECT_EQ(command->launcher_pid, 4312u);
  EXPECT_EQ(command->staged, kStaged);
  EXPECT_EQ(command->size, 5'000'000'000u);
  EXPECT_TRUE(command->restart);
  EXPECT_EQ(command->retry_ms, 750u);

  auto plain = Parse({"apply", "--new", kStaged, "--size", "1", "--launcher-pid", "8"});
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_FALSE(plain->restart);
  EXPECT_EQ(plain->retry_ms, kDefaultRetryMs);
}

TEST(ApplyCommandTest, RefusesWhatItCannotActOnSafely) {
  const std::string pid = "--launcher-pid";
  const struct {
    std::vector<std::string> args;
    std::string refusal;
  } cases[] = {
      {{}, "the first argument must be the command \"apply\""},
      {{"swap", pid, "1"}, "the first argument must be the command \"apply\""},
      {{"apply", "--new", kStaged, "--size", "1"}, "--launcher-pid is missing"},
      {{"apply", pid, "1", "--size", "1"}, "--new is missing"},
      {{"apply", pid, "1", "--new", kStaged}, "--size is missing"},
      {{"apply", pid, "0", "--new", kStaged, "--size", "1"}, "--launcher-pid takes a process id, not 0"},
      {{"apply", pid, "-3", "--new", kStaged, "--size", "1"}, "--launcher-pid takes a process id, not -3"},
      {{"apply", pid, "4294967296", "--new", kStaged, "--size", "1"},
       "--launcher-pid takes a process id, not 4294967296"},
      {{"apply", pid, "1", "--new", kStaged, "--size", "0"}, "--size takes the staged exe's size in bytes, not 0"},
      {{"apply", pid, "1", "--new", kStaged, "--size", "12x"},
       "--size takes the staged exe's size in bytes, not 12x"},
      {{"apply", pid, "1", "--new", kStaged, "--size", "1", "--retry-ms", ""}, "--retry-ms takes milliseconds, not "},
      {{"apply", pid, "1", "--new", kStaged, "--size"}, "--size needs a value"},
      {{"apply", pid, "1", "--new", kStaged, "--size", "1", "--force"}, "unknown option --force"},
      // Only a staged name, in full: never the exe itself, never a relative path.
      {{"apply", pid, "1", "--new", "update-0123456789abcdef.exe", "--size", "1"},
       "--new takes the full path of a staged update-<16 hex digits>.exe, not update-0123456789abcdef.exe"},
      {{"apply", pid, "1", "--new", "C:\\Apps\\SoTay.exe", "--size", "1"},
       "--new takes the full path of a staged update-<16 hex digits>.exe, not C:\\Apps\\SoTay.exe"},
  };
  for (const auto& c : cases) {
    auto command = ParseApplyCommand(c.args);
    ASSERT_FALSE(command) << c.refusal;
    EXPECT_EQ(command.error(), c.refusal);
  }
}

TEST(ApplyCommandTest, NamesAnExeOnlyByItsFullPath) {
  for (const char* path : {"C:\\Apps\\SoTay.exe", "d:/apps/SoTay.EXE", "\\\\server\\share\\SoTay.Exe",
                           "Z:\\tmp\\a b\\Lumaro.exe"}) {
    EXPECT_TRUE(IsExePath(path)) << path;
  }
  for (const char* path : {"SoTay.exe", "apps\\SoTay.exe", "\\apps\\SoTay.exe", "C:SoTay.exe", "C:\\Apps\\SoTay",
                           "C:\\Apps\\SoTay.exe.txt", "C:\\Apps\\.exe", "\\\\\\x.exe", ""}) {
    EXPECT_FALSE(IsExePath(path)) << path;
  }
  EXPECT_FALSE(IsExePath(std::string("C:\\a.exe\0.txt", 14)));
}

TEST(ApplyCommandTest, StagedNamesAreTheKitsOwn) {
  EXPECT_TRUE(IsStagedName("update-0123456789abcdef.exe"));
  for (const char* name : {"update-0123456789ABCDEF.exe", "update-0123456789abcde.exe",
                           "update-0123456789abcdef0.exe", "update-0123456789abcdeg.exe",
                           "update-0123456789abcdef.exe.partial", "Update-0123456789abcdef.exe", "SoTay.exe"}) {
    EXPECT_FALSE(IsStagedName(name)) << name;
  }
  EXPECT_EQ(FolderOf(kStaged), "C:\\Users\\an\\AppData\\Local\\Lumaro");
  EXPECT_EQ(FileNameOf("C:/a/b.exe"), "b.exe");
  EXPECT_EQ(ResultPathFor(kStaged), "C:\\Users\\an\\AppData\\Local\\Lumaro\\update-result.json");
}

TEST(ApplyCommandTest, RetriesOnlyWhileTheExeIsInUseAndTimeIsLeft) {
  EXPECT_TRUE(ShouldRetryReplace(5, 0, 1000));
  EXPECT_TRUE(ShouldRetryReplace(32, 999, 1000));
  EXPECT_TRUE(ShouldRetryReplace(33, 10, 1000));
  EXPECT_FALSE(ShouldRetryReplace(32, 1000, 1000));
  EXPECT_FALSE(ShouldRetryReplace(5, 0, 0));
  // Missing file, other volume, full disk: waiting changes nothing.
  for (int code : {2, 3, 17, 112, 87}) EXPECT_FALSE(ShouldRetryReplace(code, 0, 1000)) << code;
}

TEST(ApplyCommandTest, ResultIsOneLineOfJsonWithPathsEscaped) {
  ApplyResult result;
  result.outcome = Outcome::kInUse;
  result.step = "replace";
  result.os_code = 32;
  result.detail = "said \"no\"\tthen\x01";
  result.exe = "C:\\Ứng dụng\\SoTay.exe";
  result.staged = kStaged;
  result.restart_asked = true;
  result.restart_os_code = -5;
  EXPECT_EQ(ResultJson(result),
            "{\"outcome\":\"in-use\",\"step\":\"replace\",\"osCode\":32,"
            "\"detail\":\"said \\\"no\\\"\\u0009then\\u0001\",\"exe\":\"C:\\\\Ứng dụng\\\\SoTay.exe\","
            "\"staged\":\"C:\\\\Users\\\\an\\\\AppData\\\\Local\\\\Lumaro\\\\update-0123456789abcdef.exe\","
            "\"restart\":true,\"restartOsCode\":-5}\n");
  EXPECT_EQ(ExitStatus(Outcome::kApplied), 0);
  EXPECT_EQ(ExitStatus(Outcome::kFailed), 1);
  EXPECT_EQ(ExitStatus(Outcome::kInUse), 3);
}

}  // namespace
}  // namespace lumaro::updater
