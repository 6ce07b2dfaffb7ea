// The unpacker against real files: every way an archive can be wrong, what
// each leaves behind, and names that must never reach the file system.

#include "package/unpack.h"

#include <gtest/gtest.h>

#include "platform/launch_error.h"
#include "package/tests/archive_builder.h"
#include "platform/tests/win_test_files.h"

namespace lumaro::package {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;
using lumaro::testing::ListTree;
using lumaro::testing::ReadFileBytes;
using lumaro::testing::TempDir;
using lumaro::testing::WriteFileBytes;
using platform::LaunchError;
using Tree = std::vector<std::string>;

std::vector<std::byte> Bytes(std::string_view text) {
  const auto span = std::as_bytes(std::span(text));
  return {span.begin(), span.end()};
}

TEST(UnpackPackage, WritesFilesAndTheirFolders) {
  TempDir dir;
  const auto archive = ArchiveBuilder()
                           .Add("home.mjs", "export {}")
                           .Add("lib/a/b/f.txt", "deep")
                           .Add("lib\\x.js", "x")
                           .Add("empty", "")
                           .Add("a//b/./c", "c")
                           .Add("..a", "dots")
                           .Build();
  ASSERT_TRUE(UnpackPackage(archive, dir.str()));
  EXPECT_EQ(ListTree(dir.path()), (Tree{"..a", "a/", "a/b/", "a/b/c", "empty", "home.mjs", "lib/",
                                        "lib/a/", "lib/a/b/", "lib/a/b/f.txt", "lib/x.js"}));
  EXPECT_EQ(ReadFileBytes(dir.path() / "lib/a/b/f.txt"), "deep");
  EXPECT_EQ(fs::file_size(dir.path() / "empty"), 0u);
}

TEST(UnpackPackage, FormatFaultsAndWhatTheyLeave) {
  const struct {
    const char* what;
    std::vector<std::byte> archive;
    Tree left;
  } cases[] = {
      {"empty archive", {}, {}},
      {"one byte", Bytes(std::string_view("\x00", 1)), {}},
      {"count 0 then a byte", Bytes(std::string_view("\x00\x00\x01", 3)), {}},
      {"count larger than entries", ArchiveBuilder().Add("a", "1").BuildWithCount(2), {"a"}},
      {"header cut short", ArchiveBuilder().Add("a", "1").AddRaw("\x05").BuildWithCount(2), {"a"}},
      {"name past the end",
       ArchiveBuilder().Add("a", "1").AddRaw(std::string_view("\x09\x00\x00\x00\x00\x00xy", 8))
           .BuildWithCount(2),
       {"a"}},
      {"name not UTF-8", ArchiveBuilder().Add("a", "1").Add("b\xC3", "2").Build(), {"a"}},
      {"data past the end",
       ArchiveBuilder().Add("a", "1").AddRaw(std::string_view("\x01\x00\x09\x00\x00\x00" "bxy", 9))
           .BuildWithCount(2),
       {"a", "b"}},
      {"one byte too many", ArchiveBuilder().Add("a", "1").Add("d/b", "2").AddRaw("!").Build(),
       {"a", "d/", "d/b"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto result = UnpackPackage(c.archive, dir.str());
    ASSERT_FALSE(result) << c.what;
    EXPECT_EQ(result.error(), LaunchError::InvalidPackage()) << c.what;
    EXPECT_EQ(ListTree(dir.path()), c.left) << c.what;
  }
}

TEST(UnpackPackage, TwoZeroBytesAreAnEmptyPackage) {
  TempDir dir;
  EXPECT_TRUE(UnpackPackage(Bytes(std::string_view("\x00\x00", 2)), dir.str()));
  EXPECT_TRUE(ListTree(dir.path()).empty());
}

TEST(UnpackPackage, RefusedNamesCreateNothing) {
  for (const char* name : {"", ".", "..", "./x", ".\\x", "a/../b", "..\\x", "/x", "\\x", "C:x",
                           "d:\\x", "\\\\srv\\share\\x", "//x", "\\\\?\\C:\\x"}) {
    TempDir dir;
    auto result = UnpackPackage(ArchiveBuilder().Add(name, "evil").Build(), dir.str());
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error(), LaunchError::InvalidPackage()) << name;
    EXPECT_TRUE(ListTree(dir.path()).empty()) << name;
  }
}

TEST(UnpackPackage, CollisionsFailAndKeepTheFirstFile) {
  for (const char* second : {"a/b", "a\\b", "A/B"}) {
    TempDir dir;
    auto result = UnpackPackage(ArchiveBuilder().Add("a/b", "first").Add(second, "second").Build(),
                                dir.str());
    ASSERT_FALSE(result) << second;
    EXPECT_EQ(result.error(), LaunchError::Os(80)) << second;
    EXPECT_EQ(ReadFileBytes(dir.path() / "a" / "b"), "first");
  }
}

TEST(UnpackPackage, AFolderBlockedByAFileFailsWith183) {
  TempDir dir;
  auto result = UnpackPackage(ArchiveBuilder().Add("a", "file").Add("a/b", "x").Build(), dir.str());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(183));
  EXPECT_EQ(ListTree(dir.path()), Tree{"a"});
}

TEST(UnpackPackage, ANulInANameIsRefusedAtTheSystemCall) {
  TempDir dir;
  auto result =
      UnpackPackage(ArchiveBuilder().Add(std::string_view("ok/x\0y", 6), "z").Build(), dir.str());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Static(platform::ErrorKind::kInvalidInput,
                                                platform::kNulInPathMessage));
}

platform::WriteAttempt WritesNothing(platform::NativeHandle,
                                     const std::byte*, std::uint32_t) { return {0, 0}; }

TEST(UnpackPackage, AWriteOfZeroBytesFails) {
  TempDir dir;
  UnpackOptions options;
  options.write = &WritesNothing;
  auto result = UnpackPackage(ArchiveBuilder().Add("f", "data").Build(), dir.str(), options);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Static(platform::ErrorKind::kWriteZero,
                                                "failed to write whole buffer"));
  EXPECT_EQ(ListTree(dir.path()), Tree{"f"});
}

TEST(UnpackPackage, DeepNamesBeyondTheClassicLimitAreWrittenInFull) {
  TempDir dir;
  std::string name;
  while (name.size() < 300) name += std::string(50, 'n') + "/";
  name += "leaf.txt";
  ASSERT_TRUE(UnpackPackage(ArchiveBuilder().Add(name, "leaf").Build(), dir.str()));
  EXPECT_EQ(ReadFileBytes(dir.path() / lumaro::testing::FromUtf8(name)), "leaf");
}

}  // namespace
}  // namespace lumaro::package
