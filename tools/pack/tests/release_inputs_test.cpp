// What the release adds to a pack: the version rules (command line and
// package.json), node.exe from outside the folder, and which native addons
// are named as not for Windows x64.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/one_line.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/native_addons.h"
#include "tools/pack/node_exe_entry.h"
#include "tools/pack/release_version.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack {
namespace {

using testing::TempTree;

TEST(ReleaseVersion, NumbersAndTextOfWritableVersions) {
  struct Case {
    std::string text;
    std::array<std::uint16_t, 4> numbers;
  };
  for (const Case& c : std::vector<Case>{
           {"2.3.4", {2, 3, 4, 0}},
           {"7", {7, 0, 0, 0}},
           {"65535.0.65535.1", {65535, 0, 65535, 1}},
           {"1.5.0-beta.2", {1, 5, 0, 0}},
           {"1.0.0+build.5", {1, 0, 0, 0}},
           {"3.1-rc-1.x+exp.sha.5114f85", {3, 1, 0, 0}},
       }) {
    const auto version = ParseReleaseVersion(c.text);
    ASSERT_TRUE(version) << c.text << ": " << version.error();
    EXPECT_EQ(version->numbers, c.numbers) << c.text;
    EXPECT_EQ(version->text, c.text);
  }
  EXPECT_EQ(NumericVersion(*ParseReleaseVersion("1.5.0-beta.2")), "1.5.0.0");
}

TEST(ReleaseVersion, UnwritableVersionsAreRefusedByName) {
  for (const std::string text : {"", "banana", "70000.1.2", "1.65536", "1.2.3.4.5", "1..2", "1.2.", ".1", "-1.2", "1.2-",
                                 "1.2+", "1.2-be\"ta", "1.2-a..b", "v1.2.3", " 1.2", "1.2.3 ", "+1", "99999999999"}) {
    const auto version = ParseReleaseVersion(text);
    ASSERT_FALSE(version) << "accepted \"" << text << "\"";
    const std::string message = VersionRefusal(text, VersionSource::kFlag, version.error());
    EXPECT_NE(message.find(tools::Quoted(text) + " cannot be used: it "), std::string::npos) << message;
  }
}

// package.json as the scan saw it.
std::expected<std::optional<std::string>, PackError> JsonVersion(const TempTree& app) {
  const auto folder = ScanAppFolder(app.root());
  EXPECT_TRUE(folder) << folder.error().message;
  if (!folder) return std::unexpected(folder.error());
  auto package_json = ReadPackageJson(*folder);
  if (!package_json) return std::unexpected(package_json.error());
  return PackageJsonVersion(*package_json);
}

TEST(ReleaseVersion, PackageJsonVersionIsReadWithItsJsonRules) {
  TempTree app;
  app.Basics();
  EXPECT_EQ(*JsonVersion(app), std::nullopt) << "no package.json";
  app.File("package.json", R"({"name": "x", "scripts": {"version": "not this"}})");
  EXPECT_EQ(*JsonVersion(app), std::nullopt) << "no top-level version";
  // Escapes, a nested "version" first and the key last: only a JSON reader gets these right.
  app.File("package.json", "{\"engines\": {\"version\": \"0.1\"}, \"version\": \"1.5.0-\\u0062eta.2\"}");
  EXPECT_EQ(*JsonVersion(app), "1.5.0-beta.2");
  for (const std::string bad : {R"({"version": 2})", R"({"version": "1.0",)", "[1, 2"}) {
    app.File("package.json", bad);
    const auto version = JsonVersion(app);
    ASSERT_FALSE(version) << bad;
    EXPECT_EQ(version.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(version.error().message.find("package.json"), std::string::npos);
  }
}

TEST(NodeExeEntry, GivesTheTopLevelNodeExeUnlessTheFolderHasOne) {
  TempTree outside;
  outside.File("node-20.exe", "MZ official");
  TempTree app;
  app.File("home.mjs", "x");
  app.File("lib/node.exe", "MZ deeper down, not the one the launcher starts");
  const auto entry = NodeExeEntry(app.root(), outside / "node-20.exe");
  ASSERT_TRUE(entry) << entry.error().message;
  EXPECT_EQ(entry->name, "node.exe");
  EXPECT_EQ(entry->size, 11u);
  const std::vector<SourceFile> extra{*entry};
  const auto folder = ScanAppFolder(app.root(), extra);
  ASSERT_TRUE(folder) << folder.error().message;
  EXPECT_EQ(folder->files.size(), 3u);

  EXPECT_FALSE(NodeExeEntry(app.root(), outside / "missing.exe"));
  app.File("Node.EXE", "MZ the app's own");
  const auto refused = NodeExeEntry(app.root(), outside / "node-20.exe");
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find((app / "Node.EXE").string()), std::string::npos) << refused.error().message;
  EXPECT_NE(refused.error().message.find((outside / "node-20.exe").string()), std::string::npos);
}

std::vector<std::byte> Bytes(std::string_view text) {
  std::vector<std::byte> out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// A minimal PE head: MZ, e_lfanew at 0x3C, "PE\0\0" and the machine there.
std::vector<std::byte> PeHead(std::uint16_t machine, std::size_t pe_at = 0x80) {
  std::vector<std::byte> head(pe_at + 24);
  head[0] = std::byte{'M'};
  head[1] = std::byte{'Z'};
  head[0x3C] = static_cast<std::byte>(pe_at & 0xFF);
  head[0x3D] = static_cast<std::byte>(pe_at >> 8);
  std::memcpy(head.data() + pe_at, "PE\0\0", 4);
  head[pe_at + 4] = static_cast<std::byte>(machine & 0xFF);
  head[pe_at + 5] = static_cast<std::byte>(machine >> 8);
  return head;
}

TEST(NativeAddons, KindOfEachForeignBuild) {
  struct Case {
    std::string label;
    std::vector<std::byte> head;
    std::optional<std::string> kind;
  };
  std::vector<std::byte> far_pe = PeHead(0x8664, 0xF00);
  std::vector<std::byte> past_end = PeHead(0x8664);
  past_end.resize(0x84);  // "PE\0\0" but no machine field
  for (const Case& c : std::vector<Case>{
           {"Windows x64", PeHead(0x8664), std::nullopt},
           {"Windows x64, header far in", far_pe, std::nullopt},
           {"Windows ARM64", PeHead(0xAA64), "PE for ARM64"},
           {"Windows x86", PeHead(0x014C), "PE for x86 (32-bit)"},
           {"Linux", Bytes("\x7f" "ELF\x02\x01\x01"), "ELF (Linux)"},
           {"macOS 64-bit", Bytes("\xcf\xfa\xed\xfe\x0c\x00\x00\x01"), "Mach-O (macOS)"},
           {"macOS universal", Bytes("\xca\xfe\xba\xbe\x00\x00\x00\x02"), "Mach-O (macOS)"},
           {"MZ without a PE header in reach", past_end, "not an executable"},
           {"text", Bytes("module.exports = 1;\n"), "not an executable"},
           {"empty", {}, "not an executable"},
       }) {
    EXPECT_EQ(ForeignAddonKind(c.head), c.kind) << c.label;
  }
}

TEST(NativeAddons, OnlyNodeFilesInAnyCaseAreLookedAt) {
  for (const std::string name : {"a.node", "build/Release/addon.NODE", "x/y.Node"}) {
    EXPECT_TRUE(IsNativeAddonName(name)) << name;
  }
  for (const std::string name : {"node", ".node/x.js", "x/.node", "a.node.js", "a.nodes", "node.exe"}) {
    EXPECT_FALSE(IsNativeAddonName(name)) << name;
  }
}

}  // namespace
}  // namespace lumaro::pack
