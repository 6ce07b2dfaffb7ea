// lmr-inspect as a vendor runs it: what a wrong command line says, and that
// running out of memory anywhere is status 6, never a damaged payload or an
// I/O failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/inspect/tests/test_image.h"
#include "tools/pack/tests/temp_tree.h"
#include "tools/pack/tests/tool_run.h"

namespace lumaro::inspect {
namespace {

using pack::testing::AllocationCap;
using pack::testing::Quote;
using pack::testing::TempTree;
using pack::testing::ToolRun;

ToolRun Inspect(const TempTree& scratch, const std::string& args, const std::string& environment = {}) {
  return pack::testing::Execute(scratch, LMR_INSPECT_PATH, args, environment);
}

void WriteFile(const std::filesystem::path& path, const testing::Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

TEST(InspectCli, UsageErrorsNameWhatIsWrong) {
  TempTree scratch;
  const std::pair<std::string, std::string> cases[] = {
      {"", "lmr-inspect: EXE is required\n"},
      {"--list --extract out x.exe", "lmr-inspect: --list and --extract do not go together\n"},
      {"--extract '' x.exe", "lmr-inspect: --extract: needs a folder\n"},
      {"--frobnicate x.exe", "lmr-inspect: unknown option --frobnicate\n"},
  };
  for (const auto& [args, message] : cases) {
    const ToolRun run = Inspect(scratch, args);
    EXPECT_EQ(run.exit_code, 2) << args;
    EXPECT_EQ(run.err, message + "Try lmr-inspect --help.\n") << args;
  }
  const ToolRun help = Inspect(scratch, "--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("  6  out of memory"), std::string::npos) << help.out;
}

TEST(InspectCli, OutOfMemoryIsStatus6WhereverItHappens) {
  if (!pack::testing::kCanCapAllocations) GTEST_SKIP() << "needs the sanitizer's allocation cap";
  TempTree scratch;
  // 8 MiB of package in a few KiB of exe: only the package buffer is over
  // the cap.
  const auto archive = testing::Archive({{"home.mjs", testing::AsBytes("1")},
                                         {"node.exe", testing::Bytes(8 << 20, std::byte{'z'})}});
  const auto payload = testing::MakePayload(archive);
  const auto exe = scratch / "Lumaro.exe";
  WriteFile(exe, testing::LauncherImage(payload.record, payload.Constants()));
  ASSERT_EQ(Inspect(scratch, Quote(exe.string())).exit_code, 0);
  ToolRun run = Inspect(scratch, Quote(exe.string()), AllocationCap(4));
  EXPECT_EQ(run.exit_code, 6) << run.out << run.err;
  // After the sanitizer's own warning about the failed allocation.
  EXPECT_TRUE(run.err.ends_with("\nlmr-inspect: " + exe.string() + ": out of memory\n")) << run.err;
  EXPECT_EQ(run.out, "");

  // An exe that does not fit in memory is not an I/O failure.
  const auto big = scratch / "Big.exe";
  std::filesystem::copy_file(exe, big);
  std::filesystem::resize_file(big, 8 << 20);
  run = Inspect(scratch, Quote(big.string()), AllocationCap(4));
  EXPECT_EQ(run.exit_code, 6) << run.err;
  EXPECT_TRUE(run.err.ends_with("\nlmr-inspect: " + big.string() + ": out of memory\n")) << run.err;
}

}  // namespace
}  // namespace lumaro::inspect
