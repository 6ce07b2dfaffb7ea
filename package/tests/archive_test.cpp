// Archive reader and entry-name rules: verdict tables and the cursor's
// handling of truncated, trailing and malformed input.
#include "package/archive.h"

#include <gtest/gtest.h>

#include "platform/byte_order.h"
#include "platform/path_rules.h"

#include <string>
#include <vector>

namespace lumaro::package {
namespace {

using Bytes = std::vector<std::byte>;

void PutU16(Bytes& out, unsigned v) {
  out.resize(out.size() + 2);
  platform::StoreLe16(out.data() + out.size() - 2, static_cast<std::uint16_t>(v));
}

void PutU32(Bytes& out, std::uint32_t v) {
  out.resize(out.size() + 4);
  platform::StoreLe32(out.data() + out.size() - 4, v);
}

void PutText(Bytes& out, std::string_view text) {
  for (char c : text) out.push_back(std::byte(static_cast<unsigned char>(c)));
}

// An entry whose declared data length may differ from the bytes that follow.
void PutEntry(Bytes& out, std::string_view name, std::string_view data,
              std::uint32_t declared_length) {
  PutU16(out, static_cast<unsigned>(name.size()));
  PutU32(out, declared_length);
  PutText(out, name);
  PutText(out, data);
}

void PutEntry(Bytes& out, std::string_view name, std::string_view data) {
  PutEntry(out, name, data, static_cast<std::uint32_t>(data.size()));
}

std::string AsText(std::span<const std::byte> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct NameCase {
  std::string_view name;
  bool accepted;
};

TEST(EntryNameRules, Verdicts) {
  using namespace std::string_view_literals;
  const NameCase cases[] = {
      {"node.exe", true},
      {"lib/x.js", true},
      {"lib\\x.js", true},
      {"a//b", true},
      {"a/./b", true},
      {"a\\.\\b", true},
      {".config/x", true},
      {"..a", true},
      {"a..", true},
      {"...", true},
      {"a/", true},
      {"a/.", true},
      {"ab:c", true},  // ":" after the first two bytes is the file system's business
      {"a:b", false},  // a drive-relative path
      {"1:x", true},  // only a letter makes a drive
      {"a/b*?<>|", true},
      {"x\0y"sv, true},
      {"", false},
      {".", false},
      {"..", false},
      {"./x", false},
      {".\\x", false},
      {"./", false},
      {"a/../b", false},
      {"a\\..\\b", false},
      {"a/..", false},
      {"a\\..", false},
      {"../a", false},
      {"/x", false},
      {"\\x", false},
      {"C:x", false},
      {"d:\\x", false},
      {"z:", false},
      {"\\\\server\\s", false},
      {"//x", false},
      {"\\\\?\\C:\\x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAcceptedEntryName(c.name), c.accepted) << "name: \"" << std::string(c.name) << '"';
  }
}

TEST(ArchiveCursor, TwoZeroBytesIsAnEmptyArchive) {
  const Bytes archive = {std::byte{0}, std::byte{0}};
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->entry_count(), 0);
  EXPECT_TRUE(cursor->AtEnd());
}

TEST(ArchiveCursor, ShorterThanTheCountFails) {
  EXPECT_FALSE(ArchiveCursor::Open({}));
  const Bytes one = {std::byte{0}};
  EXPECT_FALSE(ArchiveCursor::Open(one));
}

TEST(ArchiveCursor, ZeroCountWithTrailingBytesIsNotAtEnd) {
  const Bytes archive = {std::byte{0}, std::byte{0}, std::byte{7}};
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->entry_count(), 0);
  EXPECT_FALSE(cursor->AtEnd());
}

TEST(ArchiveCursor, WalksEntriesInOrder) {
  Bytes archive;
  PutU16(archive, 3);
  PutEntry(archive, "home.mjs", "export {}");
  PutEntry(archive, "lib\\empty", "");
  PutEntry(archive, "node.exe", std::string(300, 'N'));
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  ASSERT_EQ(cursor->entry_count(), 3);

  const std::pair<std::string, std::string> expected[] = {
      {"home.mjs", "export {}"}, {"lib\\empty", ""}, {"node.exe", std::string(300, 'N')}};
  for (const auto& [name, data] : expected) {
    auto head = cursor->NextHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->name, name);
    ASSERT_EQ(head->data_length, data.size());
    auto bytes = cursor->TakeData(head->data_length);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(AsText(*bytes), data);
  }
  EXPECT_TRUE(cursor->AtEnd());
}

TEST(ArchiveCursor, CountLargerThanEntriesFailsAtTheMissingHeader) {
  Bytes archive;
  PutU16(archive, 2);
  PutEntry(archive, "a", "x");
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  auto head = cursor->NextHead();
  ASSERT_TRUE(head);
  ASSERT_TRUE(cursor->TakeData(head->data_length));
  EXPECT_FALSE(cursor->NextHead());
}

TEST(ArchiveCursor, FewerThanSixHeaderBytesFail) {
  for (std::size_t have = 0; have < kEntryHeaderSize; ++have) {
    Bytes archive;
    PutU16(archive, 1);
    for (std::size_t i = 0; i < have; ++i) archive.push_back(std::byte{0});
    auto cursor = ArchiveCursor::Open(archive);
    ASSERT_TRUE(cursor);
    EXPECT_FALSE(cursor->NextHead()) << have << " header bytes";
  }
}

TEST(ArchiveCursor, NameRunningPastTheEndFails) {
  Bytes archive;
  PutU16(archive, 1);
  PutU16(archive, 5);
  PutU32(archive, 0);
  PutText(archive, "abcd");  // one byte short
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  EXPECT_FALSE(cursor->NextHead());

  // The largest name length against a short archive must not wrap around.
  Bytes huge;
  PutU16(huge, 1);
  PutU16(huge, 0xFFFF);
  PutU32(huge, 0);
  auto huge_cursor = ArchiveCursor::Open(huge);
  ASSERT_TRUE(huge_cursor);
  EXPECT_FALSE(huge_cursor->NextHead());
}

TEST(ArchiveCursor, DataPastTheEndFailsOnlyInTakeData) {
  Bytes archive;
  PutU16(archive, 2);
  PutEntry(archive, "a", "xy");
  PutEntry(archive, "b", "abc", 4);
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  auto first = cursor->NextHead();
  ASSERT_TRUE(first);
  ASSERT_TRUE(cursor->TakeData(first->data_length));
  auto second = cursor->NextHead();
  ASSERT_TRUE(second);  // the head is fine: the unpacker creates the file first
  EXPECT_EQ(second->name, "b");
  EXPECT_EQ(second->data_length, 4u);
  EXPECT_FALSE(cursor->TakeData(second->data_length));

  Bytes max_length;
  PutU16(max_length, 1);
  PutEntry(max_length, "a", "xy", 0xFFFFFFFFu);
  auto max_cursor = ArchiveCursor::Open(max_length);
  ASSERT_TRUE(max_cursor);
  auto head = max_cursor->NextHead();
  ASSERT_TRUE(head);
  EXPECT_FALSE(max_cursor->TakeData(head->data_length));
}

TEST(ArchiveCursor, ExtraTrailingByteIsNotAtEnd) {
  Bytes archive;
  PutU16(archive, 1);
  PutEntry(archive, "a", "xy");
  archive.push_back(std::byte{0});
  auto cursor = ArchiveCursor::Open(archive);
  ASSERT_TRUE(cursor);
  auto head = cursor->NextHead();
  ASSERT_TRUE(head);
  ASSERT_TRUE(cursor->TakeData(head->data_length));
  EXPECT_FALSE(cursor->AtEnd());
}

TEST(ArchiveCursor, RefusesEmptyMalformedAndRejectedNames) {
  using namespace std::string_view_literals;
  const std::string_view bad_names[] = {
      ""sv,
      "\xFF"sv,              // never valid in UTF-8
      "a\xC3"sv,             // truncated two-byte sequence
      "\xC0\xAF"sv,          // overlong "/"
      "\xE0\x80\xAF"sv,      // overlong "/", three bytes
      "\xED\xA0\x80"sv,      // surrogate U+D800
      "\xED\xBF\xBF"sv,      // surrogate U+DFFF
      "\xF4\x90\x80\x80"sv,  // above U+10FFFF
      "\x80"sv,              // lone continuation byte
      "a/../b"sv,
      "C:x"sv,
  };
  for (auto name : bad_names) {
    Bytes archive;
    PutU16(archive, 1);
    PutEntry(archive, name, "");
    auto cursor = ArchiveCursor::Open(archive);
    ASSERT_TRUE(cursor);
    EXPECT_FALSE(cursor->NextHead()) << "name of " << name.size() << " bytes";
  }
}

TEST(ArchiveCursor, AcceptsWellFormedMultibyteNames) {
  using namespace std::string_view_literals;
  const std::string_view good_names[] = {
      "t\xC3\xAAn.txt"sv,        // U+00EA
      "\xED\x9F\xBF"sv,          // U+D7FF, just below the surrogates
      "\xEE\x80\x80"sv,          // U+E000, just above them
      "\xF4\x8F\xBF\xBF"sv,      // U+10FFFF
      "d\xE1\xBB\xAF/li\xE1\xBB\x87u"sv,
  };
  for (auto name : good_names) {
    Bytes archive;
    PutU16(archive, 1);
    PutEntry(archive, name, "x");
    auto cursor = ArchiveCursor::Open(archive);
    ASSERT_TRUE(cursor);
    auto head = cursor->NextHead();
    ASSERT_TRUE(head) << "name of " << name.size() << " bytes";
    EXPECT_EQ(head->name, name);
  }
}

}  // namespace
}  // namespace lumaro::package

namespace lumaro::package {
namespace {

// Entry names as the pack tool writes them ("/") or as an archive may carry
// them ("\", doubled, "."), below staging folders of each form LOCALAPPDATA
// can take. An extended-length folder goes to Windows unchanged and is not
// normalised there, so the target must already hold "\" alone.
TEST(EntryTargetPath, JoinsComponentsWithBackslashesOnly) {
  struct Case {
    std::string_view staging, name, target;
  };
  const Case cases[] = {
      {"C:\\L\\s", "node.exe", "C:\\L\\s\\node.exe"},
      {"C:\\L\\s", "lib/x.js", "C:\\L\\s\\lib\\x.js"},
      {"C:\\L\\s", "lib\\x.js", "C:\\L\\s\\lib\\x.js"},
      {"C:\\L\\s", "a//b/./c", "C:\\L\\s\\a\\b\\c"},
      {"C:\\L\\s", "..a/a..", "C:\\L\\s\\..a\\a.."},
      {"C:\\L\\s", "a/", "C:\\L\\s\\a\\"},
      {"C:\\L\\s\\", "a", "C:\\L\\s\\a"},
      {"\\\\?\\C:\\L\\s", "lib/sub/x.js", "\\\\?\\C:\\L\\s\\lib\\sub\\x.js"},
      {"\\\\?\\UNC\\srv\\share\\s", "a\\\\b", "\\\\?\\UNC\\srv\\share\\s\\a\\b"},
      {"\\\\srv\\share\\s", "a/b", "\\\\srv\\share\\s\\a\\b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EntryTargetPath(c.staging, c.name), c.target) << c.staging << " + " << c.name;
  }
}

TEST(EntryTargetPath, ExtendedLengthTargetsReachWindowsUnchangedWithoutSlashes) {
  const std::string target = EntryTargetPath("\\\\?\\Z:\\tmp\\Lumaro\\install-x-1", "node_modules/a/./b//c.js");
  const std::u16string wide(target.begin(), target.end());
  EXPECT_EQ(platform::ClassifySystemPath(wide), platform::SystemPathForm::kUnchanged);
  EXPECT_EQ(target.find('/'), std::string::npos) << target;
  EXPECT_EQ(target.find("\\\\", 4), std::string::npos) << target;
}

}  // namespace
}  // namespace lumaro::package
