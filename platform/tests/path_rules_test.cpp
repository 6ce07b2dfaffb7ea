// Path joining, parents and the extended-length classification. Wine does
// not enforce MAX_PATH, so these tables are where a missing "\\?\" shows.

#include "platform/path_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace lumaro::platform {
namespace {

TEST(JoinPath, FollowsTheJoinRule) {
  const struct {
    const char* base;
    const char* component;
    const char* joined;
  } cases[] = {
      {"", "Lumaro", "Lumaro"},
      {"D:\\Users\\an\\AppData\\Local", "Lumaro", "D:\\Users\\an\\AppData\\Local\\Lumaro"},
      {"D:\\Users\\an\\AppData\\Local\\", "Lumaro", "D:\\Users\\an\\AppData\\Local\\Lumaro"},
      {"D:/data/", "Lumaro", "D:/data/Lumaro"},
      {"C:", "Lumaro", "C:Lumaro"},
      {"C:\\", "x", "C:\\x"},
      {"\\\\srv\\share", "x", "\\\\srv\\share\\x"},
      {"rel", "x", "rel\\x"},
  };
  for (const auto& c : cases) EXPECT_EQ(JoinPath(c.base, c.component), c.joined) << c.base;
}

TEST(ParentPath, DropsTheLastRealComponent) {
  const struct {
    const char* path;
    const char* parent;  // nullptr: no parent
  } cases[] = {
      {"C:\\a\\b", "C:\\a"},
      {"C:\\a\\b\\", "C:\\a"},
      {"C:\\a\\b\\.", "C:\\a"},
      {"C:\\a\\b/./", "C:\\a"},
      {"C:\\a", "C:\\"},
      {"C:\\", nullptr},
      {"C:", nullptr},
      {"", nullptr},
      {"a", ""},
      {"a/b//c", "a/b"},
      {"\\\\srv\\share\\dir", "\\\\srv\\share\\"},
      {"\\\\srv\\share\\", nullptr},
      {"\\\\?\\C:\\x\\y", "\\\\?\\C:\\x"},
      {"\\\\?\\C:\\", nullptr},
      {"\\\\?\\UNC\\srv\\share\\d", "\\\\?\\UNC\\srv\\share\\"},
      {"C:\\stage\\a/", "C:\\stage"},
  };
  for (const auto& c : cases) {
    const auto parent = ParentPath(c.path);
    if (c.parent == nullptr) {
      EXPECT_FALSE(parent.has_value()) << c.path << " -> " << parent.value_or("");
    } else {
      ASSERT_TRUE(parent.has_value()) << c.path;
      EXPECT_EQ(*parent, c.parent) << c.path;
    }
  }
}

TEST(IsRootOrEmpty, RecognisesRootsOnly) {
  for (const char* root : {"", "C:\\", "C:", "\\", "\\\\srv\\share\\", "\\\\?\\C:\\", "C:\\\\"}) {
    EXPECT_TRUE(IsRootOrEmpty(root)) << root;
  }
  for (const char* other : {"C:\\a", "a", "\\\\srv\\share\\x", "\\x"}) {
    EXPECT_FALSE(IsRootOrEmpty(other)) << other;
  }
}

TEST(IsFullyQualified, OnlyDriveRootedAndDoubleSeparatorPaths) {
  for (const char* yes : {"C:\\x", "c:/x", "\\\\srv\\s", "//srv/s", "\\\\?\\C:\\x"}) {
    EXPECT_TRUE(IsFullyQualified(yes)) << yes;
  }
  for (const char* no : {"", "x", "C:", "C:x", "\\x", "/x", "..\\x"}) {
    EXPECT_FALSE(IsFullyQualified(no)) << no;
  }
}

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

TEST(ClassifySystemPath, ShortDriveUncAndVerbatimPathsPassUnchanged) {
  for (const char16_t* p : {u"C:\\x", u"C:", u"d:/x", u"\\\\srv\\share\\f", u"//srv/share",
                            u"\\\\.\\NUL", u"\\\\?\\C:\\x", u"\\??\\C:\\x"}) {
    EXPECT_EQ(ClassifySystemPath(p), SystemPathForm::kUnchanged);
  }
}

TEST(ClassifySystemPath, RelativeAndRootedPathsAreMadeAbsoluteAtAnyLength) {
  for (const char16_t* p : {u"Lumaro", u"a\\b", u"..\\x", u"\\x", u"C:x", u""}) {
    EXPECT_EQ(ClassifySystemPath(p), SystemPathForm::kExtendedAbsolute);
  }
}

TEST(ClassifySystemPath, ThresholdCountsTheNul) {
  // 246 characters + NUL = 247 units: unchanged. 247 + NUL = 248: prefixed.
  const std::u16string drive = u"C:\\";
  EXPECT_EQ(ClassifySystemPath(drive + Repeat(u'a', 246 - 3)), SystemPathForm::kUnchanged);
  EXPECT_EQ(ClassifySystemPath(drive + Repeat(u'a', 247 - 3)), SystemPathForm::kExtendedAbsolute);
  const std::u16string unc = u"\\\\srv\\share\\";
  EXPECT_EQ(ClassifySystemPath(unc + Repeat(u'a', 246 - unc.size())), SystemPathForm::kUnchanged);
  EXPECT_EQ(ClassifySystemPath(unc + Repeat(u'a', 247 - unc.size())),
            SystemPathForm::kExtendedAbsolute);
  // Already verbatim: never prefixed twice, however long.
  EXPECT_EQ(ClassifySystemPath(u"\\\\?\\C:\\" + Repeat(u'a', 1000)), SystemPathForm::kUnchanged);
}

TEST(ExtendedLengthPath, PrefixesEachForm) {
  EXPECT_EQ(ExtendedLengthPath(u"C:\\a\\b"), u"\\\\?\\C:\\a\\b");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\srv\\share\\a"), u"\\\\?\\UNC\\srv\\share\\a");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\.\\COM1"), u"\\\\?\\COM1");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\?\\C:\\a"), u"\\\\?\\C:\\a");
}

}  // namespace
}  // namespace lumaro::platform
