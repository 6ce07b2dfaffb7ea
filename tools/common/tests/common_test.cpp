// What the pack tool and the inspector share: names shown on a terminal as
// text, never as commands, and the one path clash check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/common/one_line.h"
#include "tools/common/path_clash.h"

namespace lumaro::tools {
namespace {

TEST(OneLine, EscapesWhatATerminalWouldActOn) {
  const struct {
    std::string raw;
    std::string shown;
  } cases[] = {
      {"a\nb\x1b[2J\x7f", "a\\x0ab\\x1b[2J\\x7f"},
      {"\xC2\x80 \xC2\x9B" "31m \xC2\x9F", "\\u0080 \\u009b31m \\u009f"},         // C1 controls
      {"evil\xE2\x80\xAEsj.exe", "evil\\u202esj.exe"},                           // RIGHT-TO-LEFT OVERRIDE
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "\\u202a\\u202b\\u202c\\u202d"},
      {"\xE2\x81\xA6x\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9", "\\u2066x\\u2067\\u2068\\u2069"},  // isolates
      {"a\xE2\x80\x8B\xEF\xBB\xBF\xC2\xAD\xD8\x9C\xE2\x80\x8E" "b", "a\\u200b\\ufeff\\u00ad\\u061c\\u200eb"},  // invisible
      {"\x9B" "31m", "\\x9b31m"},                                                // not UTF-8: a raw CSI
      {"\xC0\x80 \xE2\x80 \xED\xA0\x80", "\\xc0\\x80 \\xe2\\x80 \\xed\\xa0\\x80"},  // overlong, cut, surrogate
      // Neighbours of the escaped ranges, and ordinary letters, stay.
      {"\xC2\xA0 \xE2\x80\xA9 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA T\xE1\xBB\x87p \xF0\x9F\x98\x80",
       "\xC2\xA0 \xE2\x80\xA9 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA T\xE1\xBB\x87p \xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(OneLine(c.raw), c.shown) << c.shown;
  EXPECT_EQ(Quoted("a\xE2\x80\xAE"), "\"a\\u202e\"");
  EXPECT_EQ(Quoted("say \"hi\" \\"), "\"say \\\"hi\\\" \\\"") << "a value's quotes cannot end it";
  EXPECT_EQ(OneLine("say \"hi\""), "say \"hi\"");
}

std::optional<PathClash> Clash(const std::vector<std::string>& names, ClashRules rules = {}) {
  return FindPathClash(names.size(), [&](std::size_t i) { return std::string_view(names[i]); }, rules);
}

TEST(PathClash, FindsEachKindAndNamesBothEntries) {
  const struct {
    const char* label;
    std::vector<std::string> names;
    ClashKind kind;
    std::size_t first, second;
    std::string first_path, second_path;
  } cases[] = {
      {"same path", {"x", "lib/a.js", "lib\\./a.js"}, ClashKind::kSamePath, 1, 2, "lib/a.js", "lib/a.js"},
      {"letter case", {"lib/A.txt", "lib/a.txt"}, ClashKind::kLetterCase, 0, 1, "lib/A.txt", "lib/a.txt"},
      {"file, then a folder", {"lib", "lib/a.js"}, ClashKind::kFileAndFolder, 0, 1, "lib", "lib"},
      {"folder, then a file", {"lib/a.js", "lib"}, ClashKind::kFileAndFolder, 0, 1, "lib", "lib"},
      // "lib!" sorts between "lib" and "lib/…" byte-wise, not key-wise.
      {"file and folder apart", {"lib", "lib!", "lib/a"}, ClashKind::kFileAndFolder, 0, 2, "lib", "lib"},
      {"file and folder by case", {"Lib", "lib/a.js"}, ClashKind::kLetterCase, 0, 1, "Lib", "lib"},
      {"8.3 alias", {"abcdefghij.js", "ABCDEF~1.JS"}, ClashKind::kShortName, 1, 0, "ABCDEF~1.JS", "abcdefghij.js"},
      {"8.3 alias of a folder", {"a/long folder/x", "a/LONGF~12"}, ClashKind::kShortName, 1, 0, "a/LONGF~12",
       "a/long folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto clash = Clash(c.names);
    ASSERT_TRUE(clash.has_value());
    EXPECT_EQ(clash->kind, c.kind);
    EXPECT_EQ(clash->first, c.first);
    EXPECT_EQ(clash->second, c.second);
    EXPECT_EQ(clash->first_path, c.first_path);
    EXPECT_EQ(clash->second_path, c.second_path);
  }
}

TEST(PathClash, AcceptsWhatWindowsCanHoldSideBySide) {
  const std::vector<std::string> fine = {"lib/a.js", "lib!", "lib-x/a.js", "lib/b/c.js", "abcdef~1.js",
                                         "other/abcdefghij.js", "A/b", "a/c"};
  EXPECT_FALSE(Clash(fine).has_value());
  // Folders that differ only in case are one folder to the launcher; the
  // pack tool refuses them, since Linux would carry two.
  const auto folders = Clash({"A/b", "a/c"}, {.folder_case_counts = true});
  ASSERT_TRUE(folders.has_value());
  EXPECT_EQ(folders->kind, ClashKind::kLetterCase);
  EXPECT_EQ(folders->first_path, "A");
  EXPECT_EQ(folders->second_path, "a");
}

// Deep names share the walk's folders: two files at the bottom of 5,000
// levels, differing only in case there.
TEST(PathClash, FindsAClashAtTheBottomOfDeepNames) {
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "d/";
  const auto clash = Clash({deep + "x", deep + "y", deep + "X"});
  ASSERT_TRUE(clash.has_value());
  EXPECT_EQ(clash->kind, ClashKind::kLetterCase);
  EXPECT_EQ(clash->first, 0u);
  EXPECT_EQ(clash->second, 2u);
}

}  // namespace
}  // namespace lumaro::tools
