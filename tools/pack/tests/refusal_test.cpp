// What the pack tool refuses, and that each refusal names the offending path
// and says why: trees on disk for what only a folder can show, name lists
// for what Linux cannot create.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/pack/app_folder.h"
#include "tools/pack/package_names.h"
#include "tools/pack/tests/temp_tree.h"
#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"

namespace lumaro::pack {
namespace {

using testing::TempTree;
using namespace tools;

struct TreeCase {
  const char* label;
  std::function<void(const TempTree&)> build;
  std::string names;   // the path the message must name
  std::string reason;  // a word of the reason
};

TEST(Refusals, TreesNameThePathAndTheReason) {
  const TreeCase cases[] = {
      {"reserved", [](auto& t) { t.File("lib/CON"); }, "lib/CON", "reserved device name"},
      {"reserved+ext", [](auto& t) { t.File("lib/nul.txt"); }, "lib/nul.txt", "reserved device name"},
      {"reserved com", [](auto& t) { t.File("com7.js"); }, "com7.js", "reserved device name"},
      {"reserved com0", [](auto& t) { t.File("COM0"); }, "COM0", "reserved device name"},
      {"reserved superscript", [](auto& t) { t.File("lpt\xC2\xB2.txt"); }, "lpt\xC2\xB2.txt", "reserved device name"},
      {"reserved lpt", [](auto& t) { t.File("x/LPT1.log"); }, "x/LPT1.log", "reserved device name"},
      {"reserved spaced", [](auto& t) { t.File("Aux .txt"); }, "Aux .txt", "reserved device name"},
      {"trailing dot", [](auto& t) { t.File("lib/a."); }, "lib/a.", "ends in a dot or a space"},
      {"trailing space dir", [](auto& t) { t.File("lib /x.js"); }, "lib /x.js", "ends in a dot or a space"},
      {"less-than", [](auto& t) { t.File("a<b"); }, "a<b", "Windows does not allow"},
      {"pipe", [](auto& t) { t.File("d/a|b"); }, "d/a|b", "Windows does not allow"},
      {"quote", [](auto& t) { t.File("a\"b"); }, "a\"b", "Windows does not allow"},
      {"question", [](auto& t) { t.File("what?"); }, "what?", "Windows does not allow"},
      {"star", [](auto& t) { t.File("*.js"); }, "*.js", "Windows does not allow"},
      {"colon later", [](auto& t) { t.File("ab:c"); }, "ab:c", "Windows does not allow"},
      {"drive", [](auto& t) { t.File("C:x"); }, "C:x", "archive name rules"},
      {"control", [](auto& t) { t.File("tab\there"); }, "tab\there", "control character"},
      {"backslash", [](auto& t) { t.File("lib\\x.js"); }, "lib\\x.js", "backslash"},
      {"not utf-8", [](auto& t) { t.File("\xFF.js"); }, "\xFF.js", "UTF-8"},
      {"case collision", [](auto& t) { t.File("README"); t.File("readme"); }, "README", "letter case"},
      {"folder case", [](auto& t) { t.File("Lib/a.js"); t.File("lib/b.js"); }, "Lib", "letter case"},
      {"utf-8 case", [](auto& t) { t.File("\xC3\x89t\xC3\xA9"); t.File("\xC3\xA9t\xC3\xA9"); }, "t\xC3\xA9", "letter case"},
      {"8.3 alias", [](auto& t) { t.File("abcdefghi.js"); t.File("abcdef~1.js"); }, "abcdef~1.js", "short (8.3)"},
      {"8.3 alias names both", [](auto& t) { t.File("lib/abcdefghi.js"); t.File("lib/ABCDEF~1.JS"); },
       "lib/abcdefghi.js", "short (8.3)"},
      {"8.3 alias of a folder", [](auto& t) { t.File("lib/long folder/x"); t.File("lib/LONGF~12"); },
       "lib/LONGF~12", "short (8.3)"},
      {"ready file", [](auto& t) { t.File("ready"); }, "ready", "\"ready\""},
      {"ready folder", [](auto& t) { t.File("READY/x"); }, "READY", "\"ready\""},
      {"no node", [](auto& t) { std::filesystem::remove(t / "node.exe"); }, "node.exe", "missing"},
      {"no home", [](auto& t) { std::filesystem::remove(t / "home.mjs"); }, "home.mjs", "missing"},
      {"Node.exe only", [](auto& t) { std::filesystem::rename(t / "node.exe", t / "Node.exe"); }, "node.exe", "missing"},
      {"link outside", [](auto& t) { t.Link("hosts", "/etc/hostname"); }, "hosts", "outside the app folder"},
      {"link up", [](auto& t) { t.Link("lib/up", "../.."); }, "lib/up", "outside the app folder"},
      {"loop to root", [](auto& t) { t.Link("lib/root", ".."); }, "lib/root", "loop"},
      {"loop to self", [](auto& t) { t.Link("self", "."); }, "self", "loop"},
      {"dangling", [](auto& t) { t.Link("gone", "nowhere"); }, "gone", "cannot be resolved"},
      {"fifo", [](auto& t) { ::mkfifo((t / "pipe").c_str(), 0600); }, "pipe", "neither a file nor a folder"},
      {"4 GiB", [](auto& t) {
         t.File("big.bin");
         std::filesystem::resize_file(t / "big.bin", std::uintmax_t{1} << 32);  // sparse
       }, "big.bin", "4 GiB"},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempTree tree;
    tree.Basics();
    c.build(tree);
    auto folder = ScanAppFolder(tree.root());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(folder.error().message.find(c.names), std::string::npos) << folder.error().message;
    EXPECT_NE(folder.error().message.find(c.reason), std::string::npos) << folder.error().message;
    EXPECT_NE(folder.error().message.find(tree.root().string()), std::string::npos) << folder.error().message;
  }
}

TEST(Refusals, AcceptsNamesThatOnlyLookOdd) {
  TempTree tree;
  tree.Basics();
  const std::vector<std::string> odd = {"..a", ".config/x", "a..b", "CONSOLE.js", "COM10", "LPT", "nul_x",
                                        "a b", " lead", "x.READY", "ready.txt", "sub/ready", "sub/tilde~1",
                                        "sub/plain.js", "sub/~1", "abc~x.js", "other/long-name.js",
                                        "#hash", "%20", "t\xC3\xAAn.js", "\xF0\x9F\x98\x80.js"};
  for (const auto& name : odd) tree.File(name, name);
  auto folder = ScanAppFolder(tree.root());
  ASSERT_TRUE(folder) << folder.error().message;
  EXPECT_EQ(folder->files.size(), odd.size() + 2);
}

std::vector<std::string> WithBasics(std::vector<std::string> names) {
  names.push_back("node.exe");
  names.push_back("home.mjs");
  return names;
}

TEST(Refusals, NamesLinuxCannotMakeButALibraryCallerCan) {
  struct NameCase {
    std::vector<std::string> names;
    std::string reason;
  };
  const NameCase cases[] = {
      {{std::string(65536, 'n')}, "65,535 bytes"},
      {{std::string(256, 'n')}, "255 UTF-16 units"},
      {{"a//b"}, "empty component"},
      {{"a/"}, "empty component"},
      {{"/abs"}, "archive name rules"},
      {{"a/../b"}, "archive name rules"},
      {{"a/./b"}, "\".\" or \"..\""},
      {{""}, "empty"},
      {{"dup", "dup"}, "appears twice"},
      {{"a", "a/b"}, "both a file and a folder"},
      {{"A", "a/b"}, "letter case"},
      {{std::string("nul\0x", 5)}, "control character"},
  };
  for (const NameCase& c : cases) {
    auto checked = CheckPackageNames(WithBasics(c.names), "app");
    ASSERT_FALSE(checked) << c.reason;
    EXPECT_EQ(checked.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(checked.error().message.find(c.reason), std::string::npos) << checked.error().message;
  }

  std::vector<std::string> many;
  for (int i = 0; i < 65533; ++i) many.push_back(Concat("f", std::to_string(i)));
  EXPECT_TRUE(CheckPackageNames(WithBasics(many))) << "65,535 names";
  many.push_back("f65533");
  auto too_many = CheckPackageNames(WithBasics(many), "/src/app");
  ASSERT_FALSE(too_many);
  EXPECT_NE(too_many.error().message.find("\"/src/app\" holds 65536 files"), std::string::npos)
      << too_many.error().message;
}

TEST(WindowsNames, ShortNameShapes) {
  for (std::string_view plain : {"node.exe", "A", "ABCDEFGH.TXT", "readme", "x_1-2.js", "abcdef~1.js"}) {
    EXPECT_TRUE(IsPlainShortName(plain)) << plain;
  }
  for (std::string_view other : {"abcdefghi.js", "a.json", "a b.js", "a.b.c", "a.", ".git", "t\xC3\xAA.js", "a+b"}) {
    EXPECT_FALSE(IsPlainShortName(other)) << other;
  }
  for (std::string_view alias : {"ABCDEF~1.JS", "abcdef~1.js", "AB12C~9", "X~123456", "~1"}) {
    EXPECT_TRUE(IsShortNameAliasForm(alias)) << alias;
  }
  for (std::string_view other : {"abc~.js", "abc~x1.js", "abcdefg~1.json", "~1~a", "abcdefghi~1"}) {
    EXPECT_FALSE(IsShortNameAliasForm(other)) << other;
  }
}

TEST(WindowsNames, CaseFoldKeyFoldsAsciiAndLatin) {
  EXPECT_EQ(CaseFoldKey("ab/Cd.js"), "AB/CD.JS");
  EXPECT_EQ(CaseFoldKey("\xC3\xA9"), "\xC3\x89");      // é -> É
  EXPECT_EQ(CaseFoldKey("\xD0\xB4"), "\xD0\x94");      // д -> Д
  EXPECT_EQ(CaseFoldKey("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  // Per UTF-16 unit, as Windows compares names: no expansion, no folding
  // into ASCII.
  EXPECT_EQ(CaseFoldKey("stra\xC3\x9F" "e"), "STRA\xC3\x9F" "E");                   // ß stays
  EXPECT_EQ(CaseFoldKey("\xC4\xB1\xC5\xBF"), "\xC4\xB1\xC5\xBF");                    // ı, ſ stay
  EXPECT_EQ(CaseFoldKey("\xC3\xBF\xCF\x82\xE1\xBB\x95"), "\xC5\xB8\xCE\xA3\xE1\xBB\x94");  // ÿ ς ổ
}

}  // namespace
}  // namespace lumaro::pack
