// RunApplication under Wine against recording_node.exe copied in as node.exe: the
// command line, folder, environment and standard handles the child gets, and
// how its exit code and captured error output become the result.

#include "launcher/app_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

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

struct Record {
  std::map<std::string, std::string> fields;
  std::vector<std::string> environment;
};

std::optional<Record> ReadRecord(const std::string& path) {
  const auto text = ReadFileBytes(path);
  if (!text) return std::nullopt;
  Record record;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const std::string line = text->substr(start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "env") {
      record.environment.push_back(value);
    } else {
      record.fields[key] = value;
    }
  }
  return record;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

LaunchError AppStopped() {
  return LaunchError::Message(ErrorKind::kOther, std::string(platform::kAppStoppedMessage));
}

class RunApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVariable("FAKE_NODE_RECORD", record_path_);
    MakeRuntime("runtime-0123456789abcdef");
  }
  void TearDown() override {
    for (const std::string& name : variables_) {
      SetEnvironmentVariableW(platform::ToWide(name).c_str(), nullptr);
    }
  }

  void MakeRuntime(std::string_view name) {
    runtime_ = root_ / name;
    ASSERT_TRUE(CreateDirectoryW(platform::ToWide(runtime_).c_str(), nullptr));
    const std::string fake = testing::ExeFolder() + "\\recording_node.exe";
    ASSERT_TRUE(CopyFileW(platform::ToWide(fake).c_str(),
                          platform::ToWide(runtime_ + "\\node.exe").c_str(), TRUE))
        << "recording_node.exe must stand beside the test, error " << GetLastError();
    ASSERT_TRUE(WriteFileBytes(runtime_ + "\\home.mjs", "// not run by the stand-in\n"));
  }

  // Set in this process, so the child inherits it; removed after the test.
  void SetVariable(const std::string& name, const std::string& value) {
    ASSERT_TRUE(SetEnvironmentVariableW(platform::ToWide(name).c_str(),
                                        platform::ToWide(value).c_str()));
    variables_.push_back(name);
  }

  platform::Result<void> Run() { return RunApplication(root_.str(), runtime_, device_); }

  platform::Result<void> RunExiting(std::uint32_t code, std::string_view error_output) {
    SetVariable("FAKE_NODE_EXIT", std::to_string(code));
    SetVariable("FAKE_NODE_STDERR_HEX", Hex(error_output));
    return Run();
  }

  TempDir root_{"app"};
  const std::string device_ = root_ / "device.local.json";
  const std::string log_ = root_ / "startup.log";
  const std::string record_path_ = root_ / "record.txt";
  std::string runtime_;
  std::vector<std::string> variables_;
};

TEST_F(RunApplicationTest, StartsNodeOnHomeWithDesktopInRuntimeDir) {
  const auto result = Run();
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  const auto record = ReadRecord(record_path_);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->fields.at("cmdline"),
            "\"" + runtime_ + "\\node.exe\" " + runtime_ + "\\home.mjs --desktop");
  EXPECT_EQ(record->fields.at("cwd"), runtime_);
  EXPECT_EQ(record->fields.at("stdin_eof"), "1");
  EXPECT_EQ(record->fields.at("stdout_ok"), "1");
  EXPECT_EQ(ReadFileBytes(log_), "");
}

TEST_F(RunApplicationTest, PathWithASpaceIsQuoted) {
  MakeRuntime("run time");
  ASSERT_TRUE(Run());
  const auto record = ReadRecord(record_path_);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->fields.at("cmdline"),
            "\"" + runtime_ + "\\node.exe\" \"" + runtime_ + "\\home.mjs\" --desktop");
  EXPECT_EQ(record->fields.at("cwd"), runtime_);
}

TEST_F(RunApplicationTest, EnvironmentChangesApplyInAnyLetterCase) {
  SetVariable("NODE_OPTIONS", "--inspect");
  SetVariable("node_path", "C:\\mods");
  SetVariable("lmr_device_file", "stale");
  SetVariable("=Q:", "Q:\\lmr");  // a per-drive current-folder entry
  SetVariable("LMR_TEST_KEPT", "kept \xc3\xa9");
  ASSERT_TRUE(Run());
  const auto record = ReadRecord(record_path_);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->fields.at("device_count"), "1");
  EXPECT_EQ(record->fields.at("device"), device_);
  EXPECT_EQ(record->fields.at("node_options_count"), "0");
  EXPECT_EQ(record->fields.at("node_path_count"), "0");
  const auto& env = record->environment;
  EXPECT_NE(std::find(env.begin(), env.end(), "=Q:=Q:\\lmr"), env.end());
  EXPECT_NE(std::find(env.begin(), env.end(), "LMR_TEST_KEPT=kept \xc3\xa9"), env.end());
}

// Windows wants the block sorted by CompareStringOrdinal with case ignored,
// which upper-cases before comparing: "LMR_DEVICEa" comes before
// "LMR_DEVICE_FILE" ('A' 0x41 < '_' 0x5F), where a plain ordinal order puts it
// after ('_' < 'a' 0x61). LMR_DEVICE_FILE is the launcher's own change, the
// others come from its environment.
TEST_F(RunApplicationTest, BlockArrivesInCaseInsensitiveOrdinalOrder) {
  const std::vector<std::string> ours = {"LMR_DEVICEz", "LMR_DEVICEB", "LMR_DEVICEa"};
  for (const std::string& name : ours) SetVariable(name, "1");
  std::vector<std::wstring> expected;
  for (const std::string& name : ours) expected.push_back(platform::ToWide(name));
  expected.push_back(L"LMR_DEVICE_FILE");
  const auto ignoring_case = [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  };
  std::sort(expected.begin(), expected.end(), ignoring_case);
  std::vector<std::wstring> ordinal = expected;
  std::sort(ordinal.begin(), ordinal.end());
  ASSERT_NE(expected, ordinal) << "the names must tell the two orders apart";

  ASSERT_TRUE(Run());
  const auto record = ReadRecord(record_path_);
  ASSERT_TRUE(record);
  std::vector<std::wstring> received;
  for (const std::string& entry : record->environment) {
    const std::wstring name = platform::ToWide(entry.substr(0, entry.find('=', 1)));
    if (std::find(expected.begin(), expected.end(), name) != expected.end()) {
      received.push_back(name);
    }
  }
  EXPECT_EQ(received, expected);
}

TEST_F(RunApplicationTest, ExitZeroIsSuccessAndTheLogStaysAsWritten) {
  ASSERT_TRUE(WriteFileBytes(log_, "the previous run's output, longer than this one's\n"));
  const auto result = RunExiting(0, "warning\n");
  ASSERT_TRUE(result) << platform::RenderLaunchError(result.error());
  EXPECT_EQ(ReadFileBytes(log_), "warning\n");
}

TEST_F(RunApplicationTest, NonZeroExitShowsTheOutputExactly) {
  ASSERT_TRUE(WriteFileBytes(log_, "the previous run's output, longer than this one's\n"));
  const auto result = RunExiting(3, "boom\n");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Message(ErrorKind::kOther, "boom\n"));
  EXPECT_EQ(ReadFileBytes(log_), "boom\n");
}

TEST_F(RunApplicationTest, BlankOrMalformedOutputGivesTheFixedMessage) {
  for (const std::string_view output : {"", " \r\n\t\n", "Error: x\n\xff"}) {
    const auto result = RunExiting(1, output);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), AppStopped()) << Hex(output);
  }
}

TEST_F(RunApplicationTest, AnyNonZeroCodeFailsIncludingACrash) {
  const auto still_active = RunExiting(259, "");
  ASSERT_FALSE(still_active);
  EXPECT_EQ(still_active.error(), AppStopped());

  // An access violation (0xC0000005) after the app's last words: they are the message.
  SetVariable("FAKE_NODE_CRASH", "1");
  const auto crashed = RunExiting(0, "about to crash\n");
  ASSERT_FALSE(crashed);
  EXPECT_EQ(crashed.error(), LaunchError::Message(ErrorKind::kOther, "about to crash\n"));
}

TEST_F(RunApplicationTest, LogHeldWithoutWriteSharingStopsBeforeTheStart) {
  ASSERT_TRUE(WriteFileBytes(log_, "held"));
  const auto lock = HoldOpen(log_, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(lock);
  const auto result = Run();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(32));
  EXPECT_FALSE(PathExists(record_path_)) << "the child must not have started";
}

TEST_F(RunApplicationTest, FailedStartLeavesAnEmptyLog) {
  ASSERT_TRUE(WriteFileBytes(log_, "old"));
  ASSERT_TRUE(WriteFileBytes(runtime_ + "\\node.exe", "this is not a program\r\n"));
  auto result = Run();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(193));  // ERROR_BAD_EXE_FORMAT
  EXPECT_EQ(ReadFileBytes(log_), "");

  ASSERT_TRUE(WriteFileBytes(log_, "old"));
  ASSERT_TRUE(DeleteFileW(platform::ToWide(runtime_ + "\\node.exe").c_str()));
  result = Run();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(2));
  EXPECT_EQ(ReadFileBytes(log_), "");
  EXPECT_FALSE(PathExists(record_path_));
}

// The exit code comes back as the full 32-bit value, crash codes included.
TEST_F(RunApplicationTest, ChildCommandReportsExactExitCodes) {
  const auto run = [&](std::string_view crash) {
    ChildCommand command(runtime_ + "\\node.exe");
    command.SetVariable("FAKE_NODE_CRASH", crash);
    if (crash.empty()) command.RemoveVariable("FAKE_NODE_CRASH");
    command.SetStdin(NullDevice{});
    command.SetStdout(NullDevice{});
    command.SetStderr(NullDevice{});
    return command.RunToExit();
  };
  SetVariable("FAKE_NODE_EXIT", "0xC0000135");
  EXPECT_EQ(run(""), 0xC0000135u);
  EXPECT_EQ(run("1"), 0xC0000005u);
}

}  // namespace
}  // namespace lumaro::launcher
