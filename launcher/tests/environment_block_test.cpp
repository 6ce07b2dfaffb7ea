// The child's environment block: splitting, case-insensitive merging of the
// changes, order and the double-NUL layout, with an ASCII case-folding
// comparator standing in for CompareStringOrdinal.

#include "launcher/environment_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumaro::launcher {
namespace {

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

int FoldedCompare(std::u16string_view a, std::u16string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const char16_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The block's variables, in block order; checks the layout on the way.
std::vector<std::u16string> Variables(const std::u16string& block) {
  EXPECT_GE(block.size(), 2u);
  EXPECT_EQ(block.substr(block.size() - 2), std::u16string(2, u'\0'));
  std::vector<std::u16string> out;
  for (const auto entry : SplitEnvironmentStrings(block.c_str())) out.emplace_back(entry);
  return out;
}

std::u16string Build(std::vector<std::u16string_view> entries, const EnvironmentChanges& changes) {
  return BuildEnvironmentBlock(entries, changes);
}

EnvironmentChanges LauncherChanges() {
  EnvironmentChanges changes(&FoldedCompare);
  changes.Set(u"LMR_DEVICE_FILE", u"C:\\data\\device.local.json");
  changes.Remove(u"NODE_OPTIONS");
  changes.Remove(u"NODE_PATH");
  return changes;
}

TEST(EnvironmentBlock, SplitsABlockAndTakesNullAsEmpty) {
  const char16_t block[] = u"A=1\0=C:=C:\\x\0B=\0";
  const auto entries = SplitEnvironmentStrings(block);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], u"A=1");
  EXPECT_EQ(entries[1], u"=C:=C:\\x");
  EXPECT_EQ(entries[2], u"B=");
  EXPECT_TRUE(SplitEnvironmentStrings(nullptr).empty());
  EXPECT_TRUE(SplitEnvironmentStrings(u"").empty());
}

TEST(EnvironmentBlock, LauncherChangesInAnyLetterCase) {
  const auto block = Build({u"Path=C:\\Windows", u"node_options=--inspect", u"Node_Path=C:\\mods",
                            u"lmr_device_file=stale", u"=C:=C:\\work", u"TEMP=C:\\t"},
                           LauncherChanges());
  EXPECT_EQ(Variables(block),
            (std::vector<std::u16string>{u"=C:=C:\\work", u"lmr_device_file=C:\\data\\device.local.json",
                                         u"Path=C:\\Windows", u"TEMP=C:\\t"}));
}

TEST(EnvironmentBlock, SetAddsAMissingVariableInOrder) {
  const auto block = Build({u"ZED=1", u"ALPHA=2"}, LauncherChanges());
  EXPECT_EQ(Variables(block), (std::vector<std::u16string>{
                                  u"ALPHA=2", u"LMR_DEVICE_FILE=C:\\data\\device.local.json",
                                  u"ZED=1"}));
}

TEST(EnvironmentBlock, EntriesWithoutAnEqualsSignAfterTheFirstCharAreSkipped) {
  const auto block = Build({u"NOEQUALS", u"=", u"=onlyleading", u"==x", u"A==b", u"E="},
                           EnvironmentChanges(&FoldedCompare));
  // "==x" is the variable "=" with value "x"; "A==b" is A with "=b".
  EXPECT_EQ(Variables(block), (std::vector<std::u16string>{u"==x", u"A==b", u"E="}));
}

TEST(EnvironmentBlock, OrderIsCaseInsensitiveAndAscending) {
  const auto block =
      Build({u"b=2", u"A=1", u"_u=3", u"C=4", u"=D:=D:\\", u"a1=5"}, EnvironmentChanges(&FoldedCompare));
  // '=' (0x3D) < 'A'..'Z' < '_' (0x5F) once letters are folded to upper case.
  EXPECT_EQ(Variables(block), (std::vector<std::u16string>{u"=D:=D:\\", u"A=1", u"a1=5", u"b=2",
                                                            u"C=4", u"_u=3"}));
}

TEST(EnvironmentBlock, LaterChangeToTheSameNameWins) {
  EnvironmentChanges changes(&FoldedCompare);
  changes.Set(u"X", u"1");
  changes.Remove(u"x");
  changes.Set(u"Y", u"1");
  changes.Set(u"y", u"2");
  changes.Remove(u"Z");
  changes.Set(u"z", u"3");
  const auto block = Build({u"X=0"}, changes);
  EXPECT_EQ(Variables(block), (std::vector<std::u16string>{u"y=2", u"z=3"}));
}

TEST(EnvironmentBlock, EmptyEnvironmentIsTwoNuls) {
  EnvironmentChanges changes(&FoldedCompare);
  changes.Remove(u"NODE_PATH");
  EXPECT_EQ(Build({u"node_path=x"}, changes), std::u16string(2, u'\0'));
  EXPECT_EQ(Build({}, changes), std::u16string(2, u'\0'));
}

TEST(EnvironmentBlock, ExactLayout) {
  EnvironmentChanges changes(&FoldedCompare);
  changes.Set(u"B", u"\u00e9");
  EXPECT_EQ(Build({u"A=1"}, changes), std::u16string(u"A=1\0B=\u00e9\0\0", 9));
}

}  // namespace
}  // namespace lumaro::launcher
