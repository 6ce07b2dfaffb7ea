// The install's flushes, seen by a stand-in for NtFlushBuffersFileEx that
// records each call and forwards to FlushFileBuffers, beside a recording full
// flush: every file written out before the marker exists, one full flush on
// the marker before the rename, the fallback on a refusal, and failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/build_id.h"
#include "launcher/runtime_install.h"
#include "platform/install_flush.h"
#include "platform/launch_error.h"
#include "platform/path_rules.h"
#include "platform/tests/win_test_files.h"
#include "platform/win32.h"

namespace lumaro::launcher {
namespace {

using lumaro::testing::PathExists;
using lumaro::testing::TempDir;
using platform::InstallFlush;
using platform::LaunchError;
using platform::NativeHandle;
using platform::NtStatus;

constexpr std::string_view kBuildId = "00ff00ff00ff00ff";
// The test payload's files, in archive order.
const std::vector<std::string> kFiles = {"node.exe", "home.mjs", "lib/x.js"};

struct FlushCall {
  std::string folder;  // "install" or "runtime": the folder the file was in
  std::string file;    // relative to that folder, "/"-separated
  bool full = false;
  std::uint32_t flags = 0;  // the no-sync call's
  bool marker_existed = false;
  bool runtime_existed = false;

  bool operator==(const FlushCall&) const = default;
};

void PrintTo(const FlushCall& c, std::ostream* os) {
  *os << (c.full ? "full " : "no-sync ") << c.folder << ":" << c.file << " flags=" << c.flags
      << (c.marker_existed ? " marker" : "") << (c.runtime_existed ? " runtime" : "");
}

// What the stand-in does at the no-sync call of a given index.
struct Recorder {
  std::string staging;
  std::string runtime;
  std::vector<FlushCall> calls;
  int no_sync_calls = 0;
  int answer_at = -1;       // the index of the no-sync call that gets `answer`
  NtStatus answer = 0;
};
Recorder* g_recorder = nullptr;

void Record(NativeHandle file, bool full, std::uint32_t flags) {
  wchar_t buffer[1024];
  const DWORD length = GetFinalPathNameByHandleW(file, buffer, 1024, 0);
  std::string path = lumaro::testing::Utf8(std::wstring(buffer, std::min<DWORD>(length, 1024)));
  std::replace(path.begin(), path.end(), '\\', '/');
  FlushCall call;
  for (const char* folder : {"install", "runtime"}) {
    const auto at = path.rfind(std::string("/") + folder + "-");
    if (at == std::string::npos) continue;
    call.folder = folder;
    call.file = path.substr(path.find('/', at + 1) + 1);
  }
  call.full = full;
  call.flags = flags;
  call.marker_existed = PathExists(g_recorder->staging + "\\ready");
  call.runtime_existed = PathExists(g_recorder->runtime);
  g_recorder->calls.push_back(call);
}

NtStatus StandInFlushEx(NativeHandle file, std::uint32_t flags, void* parameters,
                        std::uint32_t parameters_size, void* io_status) {
  EXPECT_EQ(parameters, nullptr);
  EXPECT_EQ(parameters_size, 0u);
  Record(file, false, flags);
  if (g_recorder->no_sync_calls++ == g_recorder->answer_at) return g_recorder->answer;
  if (!FlushFileBuffers(file)) return static_cast<NtStatus>(0xC0000185);  // STATUS_IO_DEVICE_ERROR
  static_cast<IO_STATUS_BLOCK*>(io_status)->Status = 0;
  return 0;
}

platform::Result<void> RecordingFullFlush(NativeHandle file) {
  Record(file, true, 0);
  return InstallFlush::FullFlush(file);
}

InstallFlush WithStandIn() { return InstallFlush(&StandInFlushEx, &RecordingFullFlush); }
InstallFlush WithoutNtFlushBuffersFileEx() { return InstallFlush(nullptr, &RecordingFullFlush); }

// One install into a fresh data root, recorded.
class FlushedInstall {
 public:
  explicit FlushedInstall(int answer_at = -1, NtStatus answer = 0) {
    recorder_.staging =
        platform::JoinPath(data_root_.str(), StagingDirName(kBuildId, GetCurrentProcessId()));
    recorder_.runtime = platform::JoinPath(data_root_.str(), RuntimeDirName(kBuildId));
    recorder_.answer_at = answer_at;
    recorder_.answer = answer;
    g_recorder = &recorder_;
  }
  ~FlushedInstall() { g_recorder = nullptr; }

  platform::Result<void> Run(InstallFlushSource source) {
    return EnsureRuntime(data_root_.str(), kBuildId, recorder_.runtime, source);
  }
  const std::vector<FlushCall>& calls() const { return recorder_.calls; }
  bool RuntimeExists() const { return PathExists(recorder_.runtime); }
  bool Complete() const { return RuntimeComplete(recorder_.runtime); }

 private:
  TempDir data_root_;
  Recorder recorder_;
};

FlushCall NoSync(const std::string& file) { return {"install", file, false, 0x2, false, false}; }
FlushCall Full(const std::string& file) {
  return {"install", file, true, 0, file == "ready", false};
}

std::size_t FullFlushes(const std::vector<FlushCall>& calls) {
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(),
                                                [](const FlushCall& c) { return c.full; }));
}

TEST(InstallFlush, EveryFileWrittenOutThenOneFullFlushOnTheMarkerBeforeTheRename) {
  FlushedInstall install;
  ASSERT_TRUE(install.Run(&WithStandIn));
  std::vector<FlushCall> expected;
  for (const auto& file : kFiles) expected.push_back(NoSync(file));
  expected.push_back(Full("ready"));
  EXPECT_EQ(install.calls(), expected);
  EXPECT_TRUE(install.Complete());
  std::printf("full flushes per install: %zu with NtFlushBuffersFileEx\n",
              FullFlushes(install.calls()));
}

TEST(InstallFlush, WithoutTheFunctionEveryFileAndTheMarkerIsFlushedInFull) {
  FlushedInstall install;
  ASSERT_TRUE(install.Run(&WithoutNtFlushBuffersFileEx));
  std::vector<FlushCall> expected;
  for (const auto& file : kFiles) expected.push_back(Full(file));
  expected.push_back(Full("ready"));
  EXPECT_EQ(install.calls(), expected);
  EXPECT_TRUE(install.Complete());
  std::printf("full flushes per install: %zu without it\n", FullFlushes(install.calls()));
}

TEST(InstallFlush, ARefusedNoSyncFlushFallsBackToFullFlushesFromThatFileOn) {
  for (const std::uint32_t refusal :
       {0xC000000Du, 0xC00000BBu, 0xC0000010u, 0xC0000002u, 0xC00000AFu}) {
    FlushedInstall install(1, static_cast<NtStatus>(refusal));
    ASSERT_TRUE(install.Run(&WithStandIn)) << std::hex << refusal;
    const std::vector<FlushCall> expected = {NoSync(kFiles[0]), NoSync(kFiles[1]), Full(kFiles[1]),
                                             Full(kFiles[2]), Full("ready")};
    EXPECT_EQ(install.calls(), expected) << std::hex << refusal;
    EXPECT_TRUE(install.Complete()) << std::hex << refusal;
  }
}

TEST(InstallFlush, AFailingFlushEndsTheInstallWithItsErrorAndNoRuntime) {
  const struct {
    std::uint32_t status;
    std::int32_t code;  // RtlNtStatusToDosError's
  } cases[] = {
      {0xC000007Fu, 112},   // STATUS_DISK_FULL
      {0xC0000022u, 5},     // STATUS_ACCESS_DENIED
      {0xC0000185u, 1117},  // STATUS_IO_DEVICE_ERROR
  };
  for (const auto& c : cases) {
    FlushedInstall install(1, static_cast<NtStatus>(c.status));
    auto result = install.Run(&WithStandIn);
    ASSERT_FALSE(result) << std::hex << c.status;
    EXPECT_EQ(result.error(), LaunchError::Os(c.code)) << std::hex << c.status;
    EXPECT_EQ(install.calls(), (std::vector<FlushCall>{NoSync(kFiles[0]), NoSync(kFiles[1])}));
    EXPECT_FALSE(install.RuntimeExists()) << std::hex << c.status;
  }
}

}  // namespace
}  // namespace lumaro::launcher
