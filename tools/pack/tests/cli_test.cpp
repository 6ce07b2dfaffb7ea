// lmr-pack and lmr-record as a build runs them: exit codes for usage, bad
// input and I/O failures, the outputs' exact form, and unchanged outputs left
// untouched.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "package/payload_format.h"
#include "platform/byte_order.h"
#include "tools/common/unique_fd.h"
#include "tools/pack/lzms_stream.h"
#include "tools/pack/package_record.h"
#include "tools/pack/tests/temp_tree.h"
#include "tools/pack/tests/tool_run.h"

namespace lumaro::pack {
namespace {

using testing::AllocationCap;
using testing::Execute;
using testing::Quote;
using testing::ReadText;
using testing::TempTree;
using testing::ToolRun;

// The chunk cache goes into the scratch folder, never the user's own.
ToolRun Pack(const TempTree& scratch, const std::string& args) {
  return Execute(scratch, LMR_PACK_PATH, args, "XDG_CACHE_HOME=" + Quote((scratch / "cache").string()));
}

TEST(PackCli, UsageErrorsExitWith2) {
  TempTree scratch;
  scratch.Basics();
  const std::string app = Quote(scratch.root().string());
  const std::string outputs = " --record " + Quote((scratch / "r.bin").string());
  for (const std::string& args : {std::string(""), "--frobnicate " + app + outputs, app,  // nothing to write
                                  app + " " + app + outputs, "--level 0 " + app + outputs,
                                  "--level x " + app + outputs, "--threads 0 " + app + outputs,
                                  "--chunk-size 64K " + app + outputs, "--chunk-size 1000000 " + app + outputs,
                                  "--chunk-size 128M " + app + outputs, "--build-id 0123 " + app + outputs,
                                  app + " --record"}) {
    const ToolRun run = Pack(scratch, args);
    EXPECT_EQ(run.exit_code, 2) << args << "\n" << run.err;
    EXPECT_NE(run.err.find("lmr-pack:"), std::string::npos) << args;
  }
  const ToolRun help = Pack(scratch, "--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Exit codes"), std::string::npos);

  // A missing argument is named, and the help is sent to by the command the
  // vendor typed.
  EXPECT_EQ(Pack(scratch, outputs).err, "lmr-pack: APP_DIR is required\nTry lmr-pack --help.\n");
  ::setenv("LUMARO_COMMAND", "./lumaro pack", 1);
  const ToolRun typed = Pack(scratch, app);
  ::unsetenv("LUMARO_COMMAND");
  EXPECT_EQ(typed.err, "lmr-pack: nothing to write: give --record and --constants\nTry ./lumaro pack --help.\n");

  // A mistyped option is named as one, with the option it may have meant.
  for (const auto& [args, said] : std::vector<std::pair<std::string, std::string>>{
           {"--product Acme " + app + outputs, "unknown option --product (did you mean --product-name?)"},
           {app + " --frobnicate=1" + outputs, "unknown option --frobnicate"},
           {app + " " + app + outputs, "unexpected argument " + scratch.root().string()},
       }) {
    EXPECT_EQ(Pack(scratch, args).err, "lmr-pack: " + said + "\nTry lmr-pack --help.\n") << args;
  }
}

// An identity or version refusal exits as its source says: 2 for what was
// typed, 3 for what package.json says; a default as what it was taken from.
TEST(PackCli, ValueRefusalsExitAsTheirSourceSays) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  const std::string args = Quote(app.root().string()) + " --record " + Quote((scratch / "r.bin").string());
  ToolRun run = Pack(scratch, "--product-name CON " + args);
  EXPECT_EQ(run.exit_code, 2) << run.err;
  EXPECT_EQ(run.err.rfind("lmr-pack: the data folder \"CON\", taken from the product name \"CON\" (--product-name)", 0),
            0u) << run.err;
  run = Pack(scratch, "--version 1.2.x " + args);
  EXPECT_EQ(run.exit_code, 2) << run.err;
  EXPECT_EQ(run.err.rfind("lmr-pack: --version \"1.2.x\" cannot be used: it is not one to four numbers", 0), 0u)
      << run.err;
  app.File("package.json", R"({"version": "1.2.x", "productName": "CON"})");
  run = Pack(scratch, args);
  EXPECT_EQ(run.exit_code, 3) << run.err;
  EXPECT_EQ(run.err.rfind("lmr-pack: package.json's \"version\" \"1.2.x\" cannot be used: it is not one", 0), 0u)
      << run.err;
  EXPECT_FALSE(std::filesystem::exists(scratch / "r.bin"));
}

TEST(PackCli, BadInputExitsWith3AndNamesThePath) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  app.File("lib/PRN.js", "x");
  const ToolRun run = Pack(scratch, Quote(app.root().string()) + " --record " + Quote((scratch / "r.bin").string()));
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_NE(run.err.find((app / "lib/PRN.js").string()), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(scratch / "r.bin"));

  // A name cannot forge a line of the message or reach the terminal raw.
  TempTree odd;
  odd.Basics();
  odd.File("lib/a\nb\x1b[2J.js", "x");
  const ToolRun escaped = Pack(scratch, Quote(odd.root().string()) + " --record " + Quote((scratch / "r.bin").string()));
  EXPECT_EQ(escaped.exit_code, 3);
  EXPECT_NE(escaped.err.find("lib/a\\x0ab\\x1b[2J.js"), std::string::npos) << escaped.err;
  EXPECT_EQ(escaped.err.find('\x1b'), std::string::npos) << escaped.err;
  EXPECT_EQ(escaped.err.find('\n'), escaped.err.size() - 1) << escaped.err;

  const ToolRun missing = Pack(scratch, Quote((scratch / "nope").string()) + " --record " + Quote((scratch / "r.bin").string()));
  EXPECT_EQ(missing.exit_code, 3) << missing.err;

  // What the vendor can do about a missing node.exe.
  TempTree no_node;
  no_node.File("home.mjs", "1");
  const ToolRun without = Pack(scratch, Quote(no_node.root().string()) + " --record " + Quote((scratch / "r.bin").string()));
  EXPECT_EQ(without.exit_code, 3);
  EXPECT_NE(without.err.find("node.exe\" is missing; the launcher starts it. --node VERSION (./lumaro pack) gives"),
            std::string::npos) << without.err;
}

// Output to /dev/null or a pipe goes into it: renaming a temporary over it
// would replace the device (as root, /dev/null became a regular file).
TEST(PackOutput, WritesIntoAFifoInsteadOfReplacingIt) {
  TempTree scratch;
  const auto fifo = scratch / "out.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  const auto written = WriteFileIfChanged(fifo, std::string_view("payload"));
  reader.join();
  ASSERT_TRUE(written) << written.error().message;
  EXPECT_EQ(received, "payload");
  struct stat info {};
  ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Someone who can write beside the output plants a link where the temporary
// file goes: it must not be written through, nor end up as the output.
TEST(PackOutput, NeverWritesThroughALinkPlantedAtTheTemporaryName) {
  TempTree scratch;
  scratch.File("victim", "keep");
  const auto out = scratch / "r.bin";
  scratch.Link("r.bin.tmp-" + std::to_string(::getpid()), scratch / "victim");
  const auto written = WriteFileIfChanged(out, std::string_view("payload"));
  ASSERT_TRUE(written) << written.error().message;
  EXPECT_EQ(ReadText(scratch / "victim"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(out));
  EXPECT_EQ(ReadText(out), "payload");
}

// An output named by a link is never written through, whatever it leads to:
// a FIFO (a check of the target, then an open by name, meet different files
// when someone swaps the link in between) or a file of someone else's.
TEST(PackOutput, NeverWritesThroughALinkAtTheOutput) {
  TempTree scratch;
  scratch.File("victim", "keep");
  ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0600), 0);
  // A reader already waiting: a write through the link would not block.
  tools::UniqueFd reader(::open((scratch / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  for (const char* target : {"pipe", "victim"}) {
    SCOPED_TRACE(target);
    const auto out = scratch / "out";
    std::filesystem::remove(out);
    scratch.Link("out", scratch / target);
    const auto written = WriteFileIfChanged(out, std::string_view("payload"));
    ASSERT_FALSE(written);
    EXPECT_NE(written.error().message.find("symbolic link"), std::string::npos) << written.error().message;
    EXPECT_TRUE(std::filesystem::is_symlink(out));
  }
  char received[16];
  EXPECT_EQ(::read(reader.get(), received, sizeof received), 0) << "written into the FIFO through the link";
  EXPECT_EQ(ReadText(scratch / "victim"), "keep");
}

TEST(PackCli, UnwritableOutputExitsWith4) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  const ToolRun run = Pack(scratch, "--level 10 " + Quote(app.root().string()) + " --record " +
                                    Quote((scratch / "no/such/dir/r.bin").string()));
  EXPECT_EQ(run.exit_code, 4) << run.err;
  EXPECT_NE(run.err.find("no/such/dir/r.bin"), std::string::npos) << run.err;
}

TEST(PackCli, WritesRecordConstantsAndArchiveAndLeavesThemAloneWhenUnchanged) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  app.File("lib/x.js", std::string(10000, 'q'));
  app.Folder("empty");
  const auto record = scratch / "payload.bin";
  const auto constants = scratch / "payload_constants.cpp";
  const auto archive = scratch / "archive.bin";
  const std::string args = Quote(app.root().string()) + " --record " + Quote(record.string()) + " --constants " +
                           Quote(constants.string()) + " --archive-out " + Quote(archive.string()) +
                           " --print-build-id";
  const ToolRun first = Pack(scratch, args);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  ASSERT_EQ(first.out.size(), package::kBuildIdSize + 1);  // the BuildId and a newline
  EXPECT_NE(first.err.find("3 files"), std::string::npos) << first.err;
  EXPECT_NE(first.err.find("empty folder(s) not carried: empty"), std::string::npos) << first.err;

  const std::string record_bytes = ReadText(record);
  const std::string archive_bytes = ReadText(archive);
  ASSERT_GT(record_bytes.size(), package::kRecordHeadSize);
  EXPECT_EQ(record_bytes.substr(0, package::kRecordMagic.size()),
            std::string_view(package::kRecordMagic.data(), package::kRecordMagic.size()));
  EXPECT_EQ(record_bytes.substr(package::kBuildIdOffset, package::kBuildIdSize),
            first.out.substr(0, package::kBuildIdSize));
  EXPECT_EQ(platform::LoadLe32(record_bytes.data() + package::kRecordSizeOffset), archive_bytes.size());
  const auto build_id = BuildIdOf(std::as_bytes(std::span(archive_bytes.data(), archive_bytes.size())));
  EXPECT_EQ(std::string(build_id.begin(), build_id.end()), first.out.substr(0, package::kBuildIdSize));

  char crc[16];
  std::snprintf(crc, sizeof crc, "0x%08lXu",
                crc32(0, reinterpret_cast<const Bytef*>(archive_bytes.data()), archive_bytes.size()));
  const std::string expected_constants =
      "// Generated by lmr-pack. Do not edit.\n"
      "#include <cstddef>\n"
      "#include <cstdint>\n"
      "namespace lumaro::package {\n"
      "// \"LMRC\", PACKAGE_SIZE, COMPRESSED_SIZE, PACKAGE_CRC32\n"
      "extern const std::uint32_t kPayloadConstants[4] = {\n"
      "    0x43524D4Cu, " + std::to_string(archive_bytes.size()) + "u, " + std::to_string(record_bytes.size() - package::kRecordHeadSize) +
      "u, " + crc + "};\n";
  // The identity block follows (app_identity_test reads it back).
  EXPECT_EQ(ReadText(constants).substr(0, expected_constants.size()), expected_constants);

  const auto stamp = std::filesystem::last_write_time(record);
  const auto constants_stamp = std::filesystem::last_write_time(constants);
  std::filesystem::last_write_time(record, stamp - std::chrono::hours(1));
  std::filesystem::last_write_time(constants, constants_stamp - std::chrono::hours(1));
  const ToolRun again = Pack(scratch, "--quiet " + args);
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(std::filesystem::last_write_time(record), stamp - std::chrono::hours(1));
  EXPECT_EQ(std::filesystem::last_write_time(constants), constants_stamp - std::chrono::hours(1));

}

// A chosen BuildId would let new content reuse a runtime installed from old
// content; the tool refuses the option and writes nothing.
TEST(PackCli, RefusesAChosenBuildId) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  const auto record = scratch / "r.bin";
  for (const std::string option : {"--build-id 00000000DEADBEEF", "--build-id=00000000DEADBEEF"}) {
    const ToolRun run = Pack(scratch, option + " " + Quote(app.root().string()) + " --record " + Quote(record.string()));
    EXPECT_EQ(run.exit_code, 2) << option;
    EXPECT_NE(run.err.find("BuildId always comes from the package's content"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(record));
  }
}

// --best is 64 MiB chunks at the best level, and explicit options still win.
TEST(PackCli, BestIsTheLargestChunksAtTheBestLevel) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  std::string text;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of text\n";
  app.File("lib/text.txt", text);
  auto record_of = [&](const std::string& options) {
    const auto record = scratch / "r.bin";
    const ToolRun run = Pack(scratch, "--quiet --no-verify " + options + " " + Quote(app.root().string()) +
                                          " --record " + Quote(record.string()));
    EXPECT_EQ(run.exit_code, 0) << options << run.err;
    return ReadText(record);
  };
  const std::string best = record_of("--best");
  EXPECT_EQ(best, record_of("--chunk-size 64M --level " + std::to_string(kBestLevel)));
  EXPECT_NE(best, record_of(""));  // the default level packs this text differently
  EXPECT_EQ(record_of("--best --level 7"), record_of("--level 7 --chunk-size 64M"));
  EXPECT_EQ(record_of("--chunk-size 1M --best"), record_of("--chunk-size 1M --level " + std::to_string(kBestLevel)));
}

// Warnings name the first ten foreign addons and count the rest; the pack
// still succeeds, and the summary counts them all.
TEST(PackCli, ForeignAddonsAreNamedThenCountedAndThePackGoesOn) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  for (int i = 0; i < 12; ++i) app.File("node_modules/m" + std::to_string(i) + "/linux.node", "\x7f" "ELF\x02");
  app.File("node_modules/ok/readme.md", "\x7f" "ELF but not an addon");
  const std::string record = (scratch / "r.bin").string();
  const ToolRun run = Pack(scratch, Quote(app.root().string()) + " --record " + Quote(record));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(record));
  std::size_t named = 0;
  for (std::size_t at = 0; (at = run.err.find("linux.node is ELF (Linux)", at)) != std::string::npos; ++at) ++named;
  EXPECT_EQ(named, 10u) << run.err;
  EXPECT_EQ(run.err.find("readme.md"), std::string::npos);
  EXPECT_NE(run.err.find("2 more native addons"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("; 12 native addon warning(s)"), std::string::npos) << run.err;
  // Warnings are not the summary: --quiet keeps them.
  EXPECT_NE(Pack(scratch, "--quiet " + Quote(app.root().string()) + " --record " + Quote(record)).err.find("m0/linux.node"),
            std::string::npos);
}

// --strict turns each warning into a refusal that writes nothing; the names
// in a refusal and in the summary are escaped like every other.
TEST(PackCli, StrictRefusesWhatWouldOnlyBeWarned) {
  TempTree scratch;
  const auto record = scratch / "r.bin";
  const std::string outputs = " --record " + Quote(record.string());
  TempTree addon;
  addon.Basics();
  addon.File("node_modules/m/linux.node", "\x7f" "ELF\x02");
  TempTree empty;
  empty.Basics();
  empty.Folder("logs\x1b[2J");

  const ToolRun addon_run = Pack(scratch, "--strict " + Quote(addon.root().string()) + outputs);
  EXPECT_EQ(addon_run.exit_code, 3) << addon_run.err;
  EXPECT_NE(addon_run.err.find("--strict: nothing written, because of 1 native addon(s) not for Windows x64; "
                               "install the app's Windows packages with npm ci --os=win32 --cpu=x64"),
            std::string::npos) << addon_run.err;
  const ToolRun empty_run = Pack(scratch, "--strict --quiet " + Quote(empty.root().string()) + outputs);
  EXPECT_EQ(empty_run.exit_code, 3) << empty_run.err;
  EXPECT_NE(empty_run.err.find("1 empty folder(s) that cannot be carried (logs\\x1b[2J)"), std::string::npos)
      << empty_run.err;
  EXPECT_FALSE(std::filesystem::exists(record));

  const ToolRun warned = Pack(scratch, Quote(empty.root().string()) + outputs);
  EXPECT_EQ(warned.exit_code, 0) << warned.err;
  EXPECT_NE(warned.err.find("empty folder(s) not carried: logs\\x1b[2J"), std::string::npos) << warned.err;
  EXPECT_EQ(warned.err.find('\x1b'), std::string::npos) << warned.err;
}

// wimlib's "Ran out of memory" is the same out of memory as any other.
TEST(PackCli, CompressorOutOfMemoryIsStatus6) {
  if (!testing::kCanCapAllocations) GTEST_SKIP() << "needs the sanitizer's allocation cap";
  TempTree scratch;
  TempTree app;
  app.Basics();
  std::mt19937 rng(7);
  std::string text(2 << 20, ' ');
  for (char& c : text) c = static_cast<char>('a' + rng() % 26);
  app.File("lib/text.txt", text);
  const auto record = scratch / "r.bin";
  // The 2 MiB archive and its buffers fit under 4 MiB; the compressor's
  // match finder for a 2 MiB chunk does not.
  const ToolRun run = Execute(scratch, LMR_PACK_PATH, "--quiet --threads 1 " + Quote(app.root().string()) +
                                                          " --record " + Quote(record.string()), AllocationCap(4));
  EXPECT_EQ(run.exit_code, 6) << run.err;
  EXPECT_NE(run.err.find("lmr-pack: out of memory\n"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(record));
}

TEST(PackCli, ThousandsOfFilesAreToldToBundle) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  const std::string args = Quote(app.root().string()) + " --no-verify --record " + Quote((scratch / "r.bin").string());
  for (int i = 0; i < 2998; ++i) app.File("node_modules/f" + std::to_string(i / 100) + "/" + std::to_string(i) + ".js");
  const ToolRun at_limit = Pack(scratch, args);
  ASSERT_EQ(at_limit.exit_code, 0) << at_limit.err;
  EXPECT_EQ(at_limit.err.find("bundle"), std::string::npos) << at_limit.err;
  app.File("one-more.js");
  const ToolRun over = Pack(scratch, args);
  EXPECT_NE(over.err.find("3001 files make a slow first launch"), std::string::npos) << over.err;
}

TEST(RecordTool, WrapsOddArchivesWithOverrides) {
  TempTree scratch;
  // One entry, no home.mjs, one trailing byte: the pack tool would refuse it.
  const std::string raw("\x01\x00\x01\x00\x03\x00\x00\x00" "aXYZ!", 13);
  scratch.File("raw.bin", raw);
  const auto record = scratch / "r.bin";
  const auto constants = scratch / "c.cpp";
  const std::string outputs = " --archive " + Quote((scratch / "raw.bin").string()) + " --record " +
                              Quote(record.string()) + " --constants " + Quote(constants.string());

  ToolRun run = Execute(scratch, LMR_RECORD_PATH, outputs + " --build-id-bytes 00ff41424344454647484950515253ab --package-size 99");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::string bytes = ReadText(record);
  const std::string magic(package::kRecordMagic.data(), package::kRecordMagic.size());
  EXPECT_EQ(bytes.substr(0, package::kBuildIdOffset), magic + std::string("\x0D\x00\x00\x00", 4));
  EXPECT_EQ(bytes.substr(package::kBuildIdOffset, package::kBuildIdSize), std::string("\x00\xff" "ABCDEFGHIPQRS\xab", 16));
  EXPECT_NE(ReadText(constants).find("0x43524D4Cu, 99u, "), std::string::npos);
  auto stream = std::as_bytes(std::span(bytes).subspan(package::kRecordHeadSize));
  EXPECT_TRUE(VerifyStream(stream, std::as_bytes(std::span(raw.data(), raw.size()))));

  run = Execute(scratch, LMR_RECORD_PATH, outputs + " --build-id zzzzzzzzzzzzzzzz --corrupt-stream");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  bytes = ReadText(record);
  EXPECT_EQ(bytes.substr(package::kBuildIdOffset, package::kBuildIdSize), "zzzzzzzzzzzzzzzz");
  EXPECT_NE(ReadText(constants).find("0x43524D4Cu, 13u, "), std::string::npos);
  stream = std::as_bytes(std::span(bytes).subspan(package::kRecordHeadSize));
  EXPECT_FALSE(VerifyStream(stream, std::as_bytes(std::span(raw.data(), raw.size()))));

  EXPECT_EQ(Execute(scratch, LMR_RECORD_PATH, "--archive x").exit_code, 2);
  EXPECT_EQ(Execute(scratch, LMR_RECORD_PATH, outputs + " --build-id short").exit_code, 2);
}

}  // namespace
}  // namespace lumaro::pack

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;

// The cache changes how long a pack takes, never its bytes: cold, warm and
// --no-cache give one record; --no-cache neither reads nor writes it; the
// default folder follows XDG_CACHE_HOME.
TEST(PackCli, TheChunkCacheLeavesTheRecordAsItWas) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  std::string text;
  for (int i = 0; text.size() < (3 << 20); ++i) text += "row " + std::to_string(i * 7919L % 5000) + "\n";
  app.File("lib/text.txt", text);
  const std::string base = "--chunk-size 1M --level 5 " + Quote(app.root().string()) + " --record ";
  auto record_of = [&](const std::string& options, const std::string& expected_summary) {
    const auto record = scratch / "r.bin";
    fs::remove(record);
    const ToolRun run = Pack(scratch, options + " " + base + Quote(record.string()));
    EXPECT_EQ(run.exit_code, 0) << options << run.err;
    EXPECT_NE(run.err.find(expected_summary), std::string::npos) << options << run.err;
    return ReadText(record);
  };
  const auto chosen = scratch / "chosen";
  const std::string cold = record_of("--cache " + Quote(chosen.string()), ", 0 of 4 chunks from the cache");
  const std::size_t entries = std::distance(fs::directory_iterator(chosen), fs::directory_iterator());
  EXPECT_EQ(entries, 4u);
  EXPECT_EQ(record_of("--cache " + Quote(chosen.string()), ", 4 of 4 chunks from the cache"), cold);
  const std::string uncached = record_of("--no-cache", "BuildId");
  EXPECT_EQ(uncached, cold);
  EXPECT_FALSE(fs::exists(scratch / "cache"));  // XDG_CACHE_HOME's folder, untouched
  EXPECT_EQ(record_of("", ", 0 of 4 chunks from the cache"), cold);
  EXPECT_TRUE(fs::is_directory(scratch / "cache" / "lumaro" / "chunks"));

  // A cache that cannot be used is a warning; the pack goes on.
  fs::create_directory(scratch / "open");
  ::chmod((scratch / "open").c_str(), 0777);
  EXPECT_EQ(record_of("--cache " + Quote((scratch / "open").string()), "not using the chunk cache"), cold);
}

// A release with a version carries .lumaro/release.json, last; one without
// carries none; an app folder with a .lumaro of its own is refused.
TEST(PackCli, TheReleaseFileFollowsTheVersion) {
  TempTree scratch;
  TempTree app;
  app.Basics();
  const auto archive = scratch / "a.bin";
  auto pack = [&](const std::string& options) {
    fs::remove(archive);
    return Pack(scratch, "--quiet --no-cache " + options + " " + Quote(app.root().string()) + " --archive-out " +
                             Quote(archive.string()));
  };
  const std::string release_tail = ".lumaro/release.json";
  auto ends_with_release = [&](const std::string& json) { return ReadText(archive).ends_with(release_tail + json); };
  ASSERT_EQ(pack("").exit_code, 0);
  EXPECT_EQ(ReadText(archive).find(release_tail), std::string::npos);

  ASSERT_EQ(pack("--version 2.3.4-rc.1").exit_code, 0);
  EXPECT_TRUE(ends_with_release(R"({"version":"2.3.4-rc.1"})"));
  EXPECT_EQ(ReadText(archive).substr(0, 2), std::string("\x03\x00", 2));  // three entries

  app.File("package.json", R"({"name": "x", "version": "1.5.0-beta.2"})");
  ASSERT_EQ(pack("").exit_code, 0);
  EXPECT_TRUE(ends_with_release(R"({"version":"1.5.0-beta.2"})"));

  app.File(".Lumaro/notes.txt", "mine");
  const ToolRun refused = pack("--version 2.3.4");
  EXPECT_EQ(refused.exit_code, 3);
  EXPECT_NE(refused.err.find(".Lumaro\": the name .lumaro is reserved"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(archive));
}

}  // namespace
}  // namespace lumaro::pack
