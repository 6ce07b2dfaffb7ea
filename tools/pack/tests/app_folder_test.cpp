// Folder -> archive: the bytes read back through the launcher's own archive
// reader, the order and separators, determinism and the BuildId, links, and
// what is swapped in while the folder is packed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "package/archive.h"
#include "tools/common/unique_fd.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/native_addons.h"
#include "tools/pack/payload_output.h"
#include "tools/pack/release_file.h"
#include "tools/pack/release_version.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack {
namespace {

using testing::ReadText;
using testing::TempTree;
using Entries = std::vector<std::pair<std::string, std::string>>;

std::vector<std::byte> PackFolder(const std::filesystem::path& root) {
  auto folder = ScanAppFolder(root);
  EXPECT_TRUE(folder) << folder.error().message;
  if (!folder) return {};
  auto archive = ReadAppArchive(*folder);
  EXPECT_TRUE(archive) << archive.error().message;
  return archive ? *archive : std::vector<std::byte>{};
}

// Reads an archive the way the launcher does.
Entries Unpack(std::span<const std::byte> archive) {
  Entries entries;
  auto cursor = package::ArchiveCursor::Open(archive);
  EXPECT_TRUE(cursor);
  if (!cursor) return entries;
  for (unsigned i = 0; i < cursor->entry_count(); ++i) {
    auto head = cursor->NextHead();
    EXPECT_TRUE(head);
    if (!head) return entries;
    auto data = cursor->TakeData(head->data_length);
    EXPECT_TRUE(data);
    if (!data) return entries;
    entries.emplace_back(std::string(head->name),
                         std::string(reinterpret_cast<const char*>(data->data()), data->size()));
  }
  EXPECT_TRUE(cursor->AtEnd());
  return entries;
}

// node.exe, then dependencies, then the app's own files: a change to the app
// moves only the chunks from it to the end.
TEST(AppFolder, RoundTripsInLayoutOrderWithSlashes) {
  TempTree tree;
  tree.Basics();
  tree.File("lib/b.js", "b");
  tree.File("lib/a.js", "a");
  tree.File("lib/deep/z.txt", std::string(5000, 'z'));
  tree.File("Zeta.txt", "");
  tree.File("lib-x", "dash sorts before slash");
  tree.File("t\xC3\xAAn.txt", "utf-8 name");  // 0xC3 sorts after every ASCII byte
  tree.File("node_modules/zed/index.js", "dep z");
  tree.File("node_modules/abc/index.js", "dep a");
  tree.File("packages/tool/node_modules/x.js", "nested dep");
  tree.File("node_modules_notes.txt", "not a dependency");

  const Entries expected = {
      {"node.exe", "MZ fake node"},
      {"node_modules/abc/index.js", "dep a"},
      {"node_modules/zed/index.js", "dep z"},
      {"packages/tool/node_modules/x.js", "nested dep"},
      {"Zeta.txt", ""},
      {"home.mjs", "console.log('hi');\n"},
      {"lib-x", "dash sorts before slash"},
      {"lib/a.js", "a"},
      {"lib/b.js", "b"},
      {"lib/deep/z.txt", std::string(5000, 'z')},
      {"node_modules_notes.txt", "not a dependency"},
      {"t\xC3\xAAn.txt", "utf-8 name"},
  };
  EXPECT_EQ(Unpack(PackFolder(tree.root())), expected);
}

// The release file comes last of all, with exactly the bytes the app kit
// reads, and passes the launcher's name rules on the way.
TEST(AppFolder, ReleaseFileGoesLastWithItsCompactJson) {
  TempTree tree;
  tree.Basics();
  tree.File("zz.js", "z");
  auto folder = ScanAppFolder(tree.root());
  ASSERT_TRUE(folder) << folder.error().message;
  const std::string content = ReleaseFileContent("1.5.0-beta.2+build.5");
  EXPECT_EQ(content, R"({"version":"1.5.0-beta.2+build.5"})");
  auto added = AddGeneratedFile(*folder, SourceFile{std::string(kReleaseFileName), {}, content.size(), 0, 0, content});
  ASSERT_TRUE(added) << added.error().message;
  ASSERT_NE(FindAppFile(*folder, "home.mjs"), nullptr);
  auto archive = ReadAppArchive(*folder);
  ASSERT_TRUE(archive) << archive.error().message;
  const Entries entries = Unpack(*archive);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries.front().first, "node.exe");
  EXPECT_EQ(entries.back(), (std::pair<std::string, std::string>{".lumaro/release.json", content}));
}

TEST(AppFolder, RefusesAFolderThatBringsItsOwnLumaroFolder) {
  for (const std::string name : {".lumaro/release.json", ".LuMaRo/x.txt", ".lumaro"}) {
    TempTree tree;
    tree.Basics();
    tree.File(name, "{}");
    auto folder = ScanAppFolder(tree.root());
    ASSERT_FALSE(folder) << name;
    EXPECT_EQ(folder.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(folder.error().message.find("reserved"), std::string::npos) << folder.error().message;
    EXPECT_NE(folder.error().message.find(name.substr(0, 7)), std::string::npos) << folder.error().message;
  }
  TempTree empty;
  empty.Basics();
  empty.Folder(".lumaro");
  EXPECT_FALSE(ScanAppFolder(empty.root()));
}

TEST(AppFolder, SameFolderGivesSameBytesAndOneByteChangesTheBuildId) {
  TempTree tree;
  tree.Basics();
  for (int i = 0; i < 40; ++i) tree.File("lib/m" + std::to_string(i) + ".js", std::string(i * 7, 'x'));
  const auto first = PackFolder(tree.root());
  const auto second = PackFolder(tree.root());
  EXPECT_EQ(first, second);
  EXPECT_EQ(BuildIdOf(first), BuildIdOf(second));

  tree.File("lib/m20.js", std::string(139, 'x') + "y");
  const auto changed = PackFolder(tree.root());
  ASSERT_EQ(changed.size(), first.size());
  EXPECT_NE(BuildIdOf(changed), BuildIdOf(first));

  const auto id = BuildIdOf(first);
  for (char c : id) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << c;
}

TEST(AppFolder, BuildIdIsTheSha256Prefix) {
  // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223...
  const std::string abc = "abc";
  const auto id = BuildIdOf(std::as_bytes(std::span(abc.data(), abc.size())));
  EXPECT_EQ(std::string(id.begin(), id.end()), "ba7816bf8f01cfea");
}

TEST(AppFolder, FollowsLinksThatStayInside) {
  TempTree tree;
  tree.Basics();
  tree.File("real/x.js", "x");
  tree.Link("alias.js", tree / "real/x.js");
  tree.Link("lib", "real");  // relative link to a sibling folder
  const Entries expected = {
      {"node.exe", "MZ fake node"}, {"alias.js", "x"},  {"home.mjs", "console.log('hi');\n"},
      {"lib/x.js", "x"}, {"real/x.js", "x"},
  };
  EXPECT_EQ(Unpack(PackFolder(tree.root())), expected);
}

TEST(AppFolder, ReportsOutermostEmptyFolders) {
  TempTree tree;
  tree.Basics();
  tree.Folder("empty/inner");
  tree.Folder("empty b");
  tree.Folder("lib/nothing");
  tree.File("lib/x.js", "x");
  auto folder = ScanAppFolder(tree.root());
  ASSERT_TRUE(folder) << folder.error().message;
  EXPECT_EQ(folder->empty_folders, (std::vector<std::string>{"empty", "empty b", "lib/nothing"}));
  EXPECT_EQ(folder->files.size(), 3u);
}

// Between the scan and the read, someone who can write to the folder swaps a
// scanned file. The read must take the very file the scan saw, or nothing.
TEST(AppFolder, RefusesAFileSwappedBetweenScanAndRead) {
  TempTree outside;
  outside.File("secret", std::string(40, 's'));
  const struct {
    const char* label;
    std::function<void(const TempTree&)> swap;
  } cases[] = {
      {"a link to a file of the same size", [&](const TempTree& t) { t.Link("z.js", outside / "secret"); }},
      {"a FIFO", [](const TempTree& t) { ASSERT_EQ(::mkfifo((t / "z.js").c_str(), 0600), 0); }},
      {"another file of the same size", [](const TempTree& t) { t.File("z.js", std::string(40, 'y')); }},
      {"a file of another size", [](const TempTree& t) { t.File("z.js", std::string(41, 'z')); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempTree tree;
    tree.Basics();
    tree.File("z.js", std::string(40, 'z'));
    auto folder = ScanAppFolder(tree.root());
    ASSERT_TRUE(folder) << folder.error().message;
    // Moved aside, not removed: a new file must not get its inode back.
    std::filesystem::rename(tree / "z.js", tree / "z.old");
    c.swap(tree);
    const auto archive = ReadAppArchive(*folder);
    ASSERT_FALSE(archive);
    EXPECT_NE(archive.error().message.find((tree / "z.js").string()), std::string::npos) << archive.error().message;
  }
}

// Someone who can write to the folder swaps a folder on a link's way with a
// link to outside, over and over, while the folder is packed. Whatever the
// timing, nothing from outside may end up in the package: the walk never
// resolves a path a second time, where the swap could slip in between.
TEST(AppFolder, NeverPacksAFileFromOutsideWhileAFolderIsSwapped) {
  TempTree outside;
  outside.File("secret/f", "SECRET!!");
  outside.Link("swap", outside / "secret");
  TempTree tree;
  tree.Basics();
  tree.File("d/f", "inside!!");
  tree.Link("alias", "d/f");
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    while (!stop) ::renameat2(AT_FDCWD, (tree / "d").c_str(), AT_FDCWD, (outside / "swap").c_str(), RENAME_EXCHANGE);
  });
  int packed = 0;
  for (int i = 0; i < 20000; ++i) {
    const auto folder = ScanAppFolder(tree.root());
    if (!folder) continue;
    const auto archive = ReadAppArchive(*folder);
    if (!archive) continue;
    ++packed;
    const std::string_view text(reinterpret_cast<const char*>(archive->data()), archive->size());
    if (text.find("SECRET") != std::string_view::npos) {
      ADD_FAILURE() << "packed a file from outside the folder, try " << i;
      break;
    }
  }
  stop = true;
  swapper.join();
  EXPECT_GT(packed, 0) << "the swaps never let a pack through: the test proved nothing";
}

// Every read of the folder goes through the scan's checked open: the addon
// check and package.json as well as the archive. What is swapped in after
// the scan is refused at once, a FIFO never waited on. The FIFO here has
// bytes waiting and a writer open, so that a plain open and read would take
// them rather than hang the test.
TEST(AppFolder, EveryReadRefusesWhatIsSwappedInAfterTheScan) {
  TempTree outside;
  outside.File("package.json", R"({"version": "6.6.6"})");
  outside.File("addon.node", "\x7f" "ELF" + std::string(4092, 'e'));
  const struct {
    const char* label;
    std::function<tools::UniqueFd(const TempTree&, const char*)> swap;
  } cases[] = {
      {"a FIFO with bytes waiting",
       [&](const TempTree& t, const char* name) {
         EXPECT_EQ(::mkfifo((t / name).c_str(), 0600), 0);
         tools::UniqueFd end(::open((t / name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
         const std::string bytes = ReadText(outside.root() / std::filesystem::path(name).filename());
         EXPECT_EQ(::write(end.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
         return end;
       }},
      {"a link to a file outside",
       [&](const TempTree& t, const char* name) {
         t.Link(name, outside.root() / std::filesystem::path(name).filename());
         return tools::UniqueFd();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempTree tree;
    tree.Basics();
    tree.File("lib/addon.node", "MZ" + std::string(4094, 'm'));
    tree.File("package.json", R"({"version": "1.2.3"})");
    const auto folder = ScanAppFolder(tree.root());
    ASSERT_TRUE(folder) << folder.error().message;
    std::vector<tools::UniqueFd> ends;
    for (const char* name : {"lib/addon.node", "package.json"}) {
      std::filesystem::rename(tree / name, tree / (std::string(name) + ".old"));
      ends.push_back(c.swap(tree, name));
    }
    const auto addons = FindForeignAddons(*folder);
    ASSERT_FALSE(addons) << "read " << addons->size() << " addon(s) anyway";
    EXPECT_EQ(addons.error().error_class, ErrorClass::kIo);
    EXPECT_NE(addons.error().message.find((tree / "lib/addon.node").string()), std::string::npos)
        << addons.error().message;
    const auto package_json = ReadPackageJson(*folder);
    ASSERT_FALSE(package_json) << "read package.json anyway";
    EXPECT_EQ(package_json.error().error_class, ErrorClass::kIo);
    EXPECT_NE(package_json.error().message.find((tree / "package.json").string()), std::string::npos)
        << package_json.error().message;
  }
}

// The walk keeps its own stack: a deep tree must not overflow the thread's.
TEST(AppFolder, WalksTwoThousandNestedFolders) {
  TempTree tree;
  tree.Basics();
  // Made one level at a time: libstdc++'s create_directories stops short of PATH_MAX.
  std::string deep;
  int at = ::open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < 2000 && at >= 0; ++i) {
    deep += "d/";
    if (i == 500) {
      ASSERT_EQ(::mkdirat(at, "empty", 0700), 0);
    }
    ASSERT_EQ(::mkdirat(at, "d", 0700), 0);
    const int next = ::openat(at, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(at);
    at = next;
  }
  ASSERT_GE(at, 0);
  const int file = ::openat(at, "x.js", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  ::close(file);
  ::close(at);
  auto folder = ScanAppFolder(tree.root());
  ASSERT_TRUE(folder) << folder.error().message;
  ASSERT_EQ(folder->files.size(), 3u);
  EXPECT_EQ(folder->files[1].name, deep + "x.js");
  EXPECT_EQ(folder->empty_folders, std::vector<std::string>{deep.substr(0, 1000) + "empty"});
  const auto archive = ReadAppArchive(*folder);
  EXPECT_TRUE(archive) << archive.error().message;
}

TEST(ArchiveWriter, WritesOddPackagesAsGiven) {
  const std::string data = "payload";
  const ArchiveInput entries[] = {
      {"z", std::as_bytes(std::span(data.data(), data.size()))},
      {"a\\b", {}},
  };
  auto archive = WriteArchive(entries);
  ASSERT_TRUE(archive);
  const Entries expected = {{"z", "payload"}, {"a\\b", ""}};
  EXPECT_EQ(Unpack(*archive), expected);

  const ArchiveInput unnamed[] = {{"", {}}};
  EXPECT_FALSE(WriteArchive(unnamed));
  const ArchiveInput too_long[] = {{std::string(65536, 'a'), {}}};
  EXPECT_FALSE(WriteArchive(too_long));
}

}  // namespace
}  // namespace lumaro::pack
