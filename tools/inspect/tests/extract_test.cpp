// Extraction into scratch folders: a byte-identical tree with both
// separators honoured, and every refusal leaving the disk as it was: names
// the launcher would refuse, a folder that holds anything, an existing file,
// a link. A damaged stream is refused end to end (tests/e2e/test_inspect.py).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "tools/inspect/package_extract.h"
#include "tools/inspect/tests/test_image.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::inspect {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using pack::testing::ReadText;
using pack::testing::TempTree;

// Every file below root, by "/"-joined relative path, with its content.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) files[fs::relative(item.path(), root).generic_string()] = ReadText(item.path());
  }
  return files;
}

std::string Text(const Bytes& bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

struct Launcher {
  Bytes image;
  Inspection inspection;
};

Launcher Inspected(const std::vector<std::pair<std::string, Bytes>>& files) {
  const Payload p = MakePayload(Archive(files));
  Launcher out{LauncherImage(p.record, p.Constants()), {}};
  auto inspection = InspectImage(out.image);
  EXPECT_TRUE(inspection.has_value());
  if (inspection) out.inspection = std::move(*inspection);
  return out;
}

TEST(Extract, WritesTheTreeByteForByteWithBothSeparators) {
  const Bytes node = RandomBytes(70000, 3);
  const Launcher launcher = Inspected({{"home.mjs", AsBytes("export default 1;\n")},
                                       {"lib\\win\\a.js", AsBytes("a")},
                                       {"lib/win/b.js", AsBytes("b")},
                                       {"lib/./c.js", AsBytes("c")},
                                       {"lib//deep\\\\d.json", AsBytes("{}")},
                                       {"node.exe", node},
                                       {"Tệp rỗng.txt", {}}});
  ASSERT_TRUE(launcher.inspection.intact()) << launcher.inspection.damage.value_or("");
  TempTree scratch;
  const fs::path dir = scratch / "new/parents/out";  // missing, with missing parents
  const auto extracted = ExtractPackage(launcher.inspection, dir.string());
  ASSERT_TRUE(extracted.has_value()) << extracted.error().message;
  EXPECT_EQ(*extracted, 7u);
  EXPECT_EQ(Tree(dir), (std::map<std::string, std::string>{{"home.mjs", "export default 1;\n"},
                                                           {"lib/win/a.js", "a"},
                                                           {"lib/win/b.js", "b"},
                                                           {"lib/c.js", "c"},
                                                           {"lib/deep/d.json", "{}"},
                                                           {"node.exe", Text(node)},
                                                           {"Tệp rỗng.txt", ""}}));
}

TEST(Extract, UsesAnEmptyFolderAndRefusesOneThatHoldsAnything) {
  const Launcher launcher = Inspected({{"home.mjs", AsBytes("1")}, {"node.exe", AsBytes("2")}});
  TempTree scratch;
  scratch.Folder("empty");
  EXPECT_TRUE(ExtractPackage(launcher.inspection, (scratch / "empty").string()).has_value());
  EXPECT_EQ(Tree(scratch / "empty").size(), 2u);

  scratch.File("dotfile/.keep", "mine");
  scratch.Folder("subfolder/inner");
  scratch.File("a-file", "mine");
  for (const char* dir : {"dotfile", "subfolder", "a-file", "empty"}) {
    SCOPED_TRACE(dir);
    const auto before = Tree(scratch.root());
    const auto extracted = ExtractPackage(launcher.inspection, (scratch / dir).string());
    ASSERT_FALSE(extracted.has_value());
    EXPECT_EQ(extracted.error().error_class, ErrorClass::kRefused);
    EXPECT_EQ(Tree(scratch.root()), before);
  }
}

TEST(Extract, RefusesNamesTheLauncherWouldNotInstallBeforeTouchingTheDisk) {
  for (const auto& files : {std::vector<std::pair<std::string, Bytes>>{{"ok", AsBytes("1")}, {"../up", AsBytes("2")}},
                            std::vector<std::pair<std::string, Bytes>>{{"a/b", AsBytes("1")}, {"a\\b", AsBytes("2")}}}) {
    const Launcher launcher = Inspected(files);
    TempTree scratch;
    const auto extracted = ExtractPackage(launcher.inspection, (scratch / "out").string());
    ASSERT_FALSE(extracted.has_value());
    EXPECT_EQ(extracted.error().error_class, ErrorClass::kDamaged);
    EXPECT_FALSE(fs::exists(scratch / "out"));
  }
}

TEST(Extract, RefusesATargetThatIsALink) {
  const Launcher launcher = Inspected({{"home.mjs", AsBytes("1")}, {"node.exe", AsBytes("2")}});
  TempTree scratch;
  scratch.Folder("real");
  scratch.Link("out", scratch / "real");
  scratch.Link("dangling", scratch / "nowhere");
  // "out/." and "out/./" name out itself, as "out/" does.
  for (const std::string dir : {"out", "out/", "out/.", "out/./", "out/.//./", "dangling"}) {
    SCOPED_TRACE(dir);
    const auto extracted = ExtractPackage(launcher.inspection, (scratch / dir).string());
    ASSERT_FALSE(extracted.has_value());
    EXPECT_EQ(extracted.error().error_class, ErrorClass::kRefused);
    EXPECT_NE(extracted.error().message.find("symbolic link"), std::string::npos) << extracted.error().message;
  }
  EXPECT_TRUE(fs::is_empty(scratch / "real"));
  EXPECT_FALSE(fs::exists(scratch / "nowhere"));
}

// Below the emptiness check: what a folder filled behind our back holds is
// never overwritten, and no link in it is followed.
TEST(Extract, NeverOverwritesAFileNorFollowsALink) {
  const Launcher launcher = Inspected({{"home.mjs", AsBytes("new home")}, {"lib/a.js", AsBytes("new a")}});
  const auto& entries = *launcher.inspection.entries;
  TempTree outside;
  const struct {
    const char* label;
    std::function<void(const TempTree&)> plant;
  } cases[] = {
      {"an existing file", [](const TempTree& t) { t.File("lib/a.js", "mine"); }},
      {"a link as the file", [&](const TempTree& t) { t.Link("home.mjs", outside / "victim"); }},
      {"a link as the folder", [&](const TempTree& t) { t.Link("lib", outside.root()); }},
      {"a file as the folder", [](const TempTree& t) { t.File("lib", "mine"); }},
  };
  outside.File("victim", "untouched");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempTree target;
    c.plant(target);
    const auto outside_before = Tree(outside.root());
    UniqueFd root(::open(target.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto written = WriteEntries(root.get(), entries, target.root().string());
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().error_class, ErrorClass::kRefused) << written.error().message;
    EXPECT_EQ(Tree(outside.root()), outside_before);
  }
  TempTree target;
  target.File("lib/a.js", "mine");
  UniqueFd root(::open(target.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_FALSE(WriteEntries(root.get(), entries, target.root().string()).has_value());
  EXPECT_EQ(ReadText(target / "lib/a.js"), "mine");
}

}  // namespace
}  // namespace lumaro::inspect
