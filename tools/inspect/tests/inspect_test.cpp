// Locating and checking payloads in synthetic launcher images: the facts an
// intact one yields wherever its parts lie, every way a file is no launcher,
// every way a payload is damaged, and the report's text. Chunk counts, stored
// chunks and plain non-launcher files are checked on a real launcher
// (tests/e2e/test_inspect.py).
#include <gtest/gtest.h>

#include <sstream>

#include "tools/inspect/payload_check.h"
#include "tools/inspect/report.h"
#include "tools/inspect/tests/test_image.h"
#include "tools/pack/lzms_stream.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

Bytes SmallArchive() {
  return Archive({{"home.mjs", AsBytes("console.log('xin chào');\n")},
                  {"lib\\deep/a.js", AsBytes("module.exports = 1;\n")},
                  {"node.exe", RandomBytes(3000, 1)}});
}

Inspection MustInspect(const Bytes& image) {
  auto inspection = InspectImage(image);
  EXPECT_TRUE(inspection.has_value()) << (inspection ? "" : inspection.error().message);
  return inspection ? std::move(*inspection) : Inspection{};
}

TEST(InspectImage, FindsRecordAndConstantsWhereverTheyLie) {
  const Bytes archive = SmallArchive();
  const Payload p = MakePayload(archive);
  const Bytes constants = p.Constants();
  const struct {
    const char* label;
    Bytes image;
  } cases[] = {
      {"constants after the record", LauncherImage(p.record, constants)},
      {"constants before the record", FakePe({{".rdata", Concat({Filler(7), constants, Filler(21), p.record})}})},
      {"constants in another section", FakePe({{".rdata", Concat({Filler(5), p.record})}, {".data", constants}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Inspection inspection = MustInspect(c.image);
    EXPECT_TRUE(inspection.intact()) << inspection.damage.value_or("");
    EXPECT_TRUE(inspection.mismatches.empty());
    EXPECT_EQ(inspection.where.record_offset, Find(c.image, p.record));
    EXPECT_EQ(inspection.where.constants_offset, Find(c.image, constants));
    EXPECT_EQ(inspection.where.build_id, p.build_id);
    EXPECT_EQ(inspection.where.package_size, archive.size());
    EXPECT_EQ(inspection.where.compressed_size, p.compressed_size);
    EXPECT_EQ(inspection.where.stream.length, p.compressed_size);
    ASSERT_TRUE(inspection.entries.has_value());
    ASSERT_EQ(inspection.entries->size(), 3u);
    EXPECT_EQ((*inspection.entries)[1].name, "lib\\deep/a.js");
    EXPECT_EQ(inspection.total_bytes, 26u + 20u + 3000u);
  }
}

TEST(InspectImage, RefusesWhatIsNoLauncher) {
  const Payload p = MakePayload(SmallArchive());
  const Bytes constants = p.Constants();
  Bytes odd_id = p.record;
  std::fill_n(odd_id.begin() + package::kBuildIdOffset, package::kBuildIdSize, std::byte{'x'});
  Payload off_by_one = p;
  off_by_one.package_size += 1;
  Bytes truncated = LauncherImage(p.record, constants);
  truncated.resize(truncated.size() - 100);
  Bytes pe32 = LauncherImage(p.record, constants);
  PutLe(pe32, 0x40 + 24, 0x10B, 2);
  const struct {
    const char* label;
    Bytes image;
    const char* phrase;
  } cases[] = {
      {"a PE without a record", FakePe({{".text", Filler(64)}, {".rdata", Concat({Filler(32), constants})}}),
       "no payload record"},
      {"a BuildId that is not hex", LauncherImage(odd_id, constants), "not 16 hex digits"},
      {"two records", FakePe({{".rdata", Concat({p.record, Filler(8), p.record, constants})}}), "2 payload records"},
      {"no constants", FakePe({{".rdata", Concat({Filler(8), p.record, Filler(8)})}}), "no constants block"},
      {"two agreeing constants", FakePe({{".rdata", Concat({p.record, constants, Filler(3), constants})}}),
       "2 constants blocks agree"},
      {"two disagreeing tagged blocks",
       FakePe({{".rdata", Concat({p.record, off_by_one.Constants(), off_by_one.Constants()})}}), "none agrees"},
      {"a truncated file", truncated, "runs past the end of the file"},
      {"a 32-bit image", pe32, "PE32+"},
      {"more sections than Windows loads", FakePe(std::vector<FakeSection>(97, {".rdata", Concat({p.record, constants})})),
       "97 sections, more than Windows loads (96)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto inspection = InspectImage(c.image);
    ASSERT_FALSE(inspection.has_value());
    EXPECT_EQ(inspection.error().error_class, ErrorClass::kNotLauncher);
    EXPECT_NE(inspection.error().message.find(c.phrase), std::string::npos) << inspection.error().message;
  }
}

TEST(InspectImage, ReportsEachKindOfDamage) {
  const Payload p = MakePayload(SmallArchive());
  auto with = [&](auto change) {
    Payload changed = p;
    change(changed);
    return changed;
  };
  Bytes bigger_record = p.record;
  bigger_record[package::kRecordSizeOffset] =
      std::byte(std::to_integer<unsigned>(bigger_record[package::kRecordSizeOffset]) + 1);
  Bytes bigger_header = p.record;
  const auto header = lzms::MakeBufferHeader(p.package_size + 1, p.package_size + 1);
  std::copy(header.begin(), header.end(), bigger_header.begin() + package::kRecordHeadSize);
  const Bytes cut_record(p.record.begin(), p.record.end() - 10);

  const struct {
    const char* label;
    Bytes image;
    const char* damage;
    const char* mismatch;  // "" when the sizes agree
  } cases[] = {
      {"PACKAGE_SIZE", LauncherImage(p.record, with([](Payload& x) { x.package_size += 1; }).Constants()),
       "sizes disagree", "the record's size field"},
      {"COMPRESSED_SIZE", LauncherImage(p.record, with([](Payload& x) { x.compressed_size -= 1; }).Constants()),
       "sizes disagree", "COMPRESSED_SIZE"},
      {"record size field", LauncherImage(bigger_record, p.Constants()), "sizes disagree", "the record's size field"},
      {"stream header total", LauncherImage(bigger_header, p.Constants()), "sizes disagree", "the stream header's total"},
      {"truncated stream", FakePe({{".data", p.Constants()}, {".rdata", cut_record}}), "truncated", ""},
      {"PACKAGE_CRC32", LauncherImage(p.record, with([](Payload& x) { x.crc32 ^= 1; }).Constants()), "CRC-32", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Inspection inspection = MustInspect(c.image);
    ASSERT_FALSE(inspection.intact());
    EXPECT_NE(inspection.damage->find(c.damage), std::string::npos) << *inspection.damage;
    EXPECT_FALSE(inspection.entries.has_value());
    if (*c.mismatch) {
      ASSERT_FALSE(inspection.mismatches.empty());
      EXPECT_NE(inspection.mismatches[0].find(c.mismatch), std::string::npos) << inspection.mismatches[0];
    } else {
      EXPECT_TRUE(inspection.mismatches.empty()) << inspection.mismatches[0];
    }
  }
}

TEST(InspectImage, ATagInsideTheStreamIsNotTheConstantsBlock) {
  // Random file data stays verbatim in a stored chunk, tag and all.
  Bytes node = RandomBytes(200000, 4);
  PutLe(node, 100000, package::kPayloadConstantsTag, 4);
  const Payload p = MakePayload(Archive({{"home.mjs", AsBytes("1")}, {"node.exe", node}}), 64 * 1024);
  Payload wrong = p;
  wrong.package_size += 1;
  const Bytes image = LauncherImage(p.record, wrong.Constants());
  ASSERT_NE(Find(p.record, Bytes(node.begin() + 100000, node.begin() + 100016)), std::string::npos);
  const Inspection inspection = MustInspect(image);
  EXPECT_EQ(inspection.where.constants_offset, Find(image, wrong.Constants()));
  ASSERT_FALSE(inspection.mismatches.empty());
  EXPECT_NE(inspection.mismatches[0].find("the record's size field"), std::string::npos);
}

TEST(InspectImage, ARecordInsideTheStreamIsNotASecondRecord) {
  // An app that carries another launcher: the inner record, head, BuildId and
  // stream magic, stays verbatim in a stored chunk of the outer stream.
  const Bytes inner = MakePayload(Archive({{"home.mjs", AsBytes("2")}, {"node.exe", RandomBytes(1000, 8)}})).record;
  Bytes node = RandomBytes(200000, 4);
  std::copy(inner.begin(), inner.end(), node.begin() + 100000);
  const Payload p = MakePayload(Archive({{"home.mjs", AsBytes("1")}, {"node.exe", node}}), 64 * 1024);
  ASSERT_NE(Find(p.record, inner), std::string::npos);
  const Bytes image = LauncherImage(p.record, p.Constants());
  const Inspection inspection = MustInspect(image);
  EXPECT_TRUE(inspection.intact()) << inspection.damage.value_or("");
  EXPECT_EQ(inspection.where.record_offset, Find(image, p.record));
  EXPECT_EQ(inspection.where.build_id, p.build_id);
}

TEST(InspectImage, SizesThatLieTogetherAreCaughtBeforeAnyAllocation) {
  // Every size agrees on 4 GiB - 1, but the stream holds no chunk at all.
  Bytes record = AsBytes(std::string_view(package::kRecordMagic.data(), package::kRecordMagic.size()));
  PutLe(record, package::kRecordSizeOffset, 0xFFFFFFFFu, 4);
  const Bytes id = AsBytes("0123456789abcdef");
  record.insert(record.end(), id.begin(), id.end());
  const auto header = lzms::MakeBufferHeader(0xFFFFFFFFu, 64u << 20);
  record.insert(record.end(), header.begin(), header.end());
  Payload forged{record, 0xFFFFFFFFu, 1000, 0, "", 0, 0};
  const Inspection inspection = MustInspect(FakePe({{".data", forged.Constants()}, {".rdata", record}}));
  ASSERT_FALSE(inspection.intact());
  EXPECT_NE(inspection.damage->find("chunk 1 of 64: the stream is truncated"), std::string::npos) << *inspection.damage;
  EXPECT_TRUE(inspection.package.bytes().empty());
}

TEST(InspectImage, RefusesArchivesTheLauncherWouldNotInstallEvenWithTheRightCrc) {
  const Bytes x = AsBytes("x");
  const struct {
    const char* label;
    std::vector<std::pair<std::string, Bytes>> files;
    const char* phrase;
  } cases[] = {
      {"..", {{"ok.txt", x}, {"lib/../../evil", x}}, "entry 2 of 2: a head running past the end, or a name"},
      {"rooted /", {{"/etc/evil", x}}, "a name the launcher refuses"},
      {"rooted \\", {{"\\evil", x}}, "a name the launcher refuses"},
      {"drive", {{"C:evil", x}}, "a name the launcher refuses"},
      {"dot first", {{"./evil", x}}, "a name the launcher refuses"},
      {"not UTF-8", {{"evil\xff", x}}, "a name the launcher refuses"},
      {"NUL", {{std::string("a\0b", 3), x}}, "a NUL in the name"},
      {"same path twice", {{"lib/a.js", x}, {"lib\\a.js", x}}, "\"lib/a.js\" is already taken"},
      {"file then folder", {{"lib", x}, {"lib/a.js", x}}, "\"lib\" is already taken"},
      {"folder then file", {{"lib/a.js", x}, {"lib", x}}, "\"lib\" is already taken"},
      // What Windows would refuse, though Linux takes it.
      {"letter case", {{"lib/A.txt", x}, {"lib/a.txt", x}},
       "\"lib/a.txt\" and \"lib/A.txt\" differ only in letter case"},
      {"letter case of a folder", {{"Lib", x}, {"lib/a.js", x}}, "\"lib\" and \"Lib\" differ only in letter case"},
      {"8.3 alias beside a name that gets one", {{"lib/abcdefghij.js", x}, {"lib\\ABCDEF~1.JS", x}},
       "entry 2 of 2 \"lib\\ABCDEF~1.JS\": \"lib/ABCDEF~1.JS\" has the form of a Windows short (8.3) name, and "
       "\"lib/abcdefghij.js\" in the same folder gets such a name"},
      {"trailing separator", {{"a/", x}}, "ends in a separator"},
      {"long component", {{"lib/" + std::string(300, 'n'), x}}, "longer than Windows allows (255 UTF-16 units)"},
      {"long path", {{[] { std::string n; for (int i = 0; i < 170; ++i) n += std::string(199, 'n') + "/"; return n + "x"; }(), x}},
       "the path is too long for Windows"},
      {"reserved name", {{"lib/con.js", x}}, "reserved device name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Payload p = MakePayload(Archive(c.files));
    const Inspection inspection = MustInspect(LauncherImage(p.record, p.Constants()));
    ASSERT_FALSE(inspection.intact());
    EXPECT_TRUE(inspection.mismatches.empty());
    EXPECT_EQ(inspection.damage->rfind("archive: ", 0), 0u) << *inspection.damage;
    EXPECT_NE(inspection.damage->find(c.phrase), std::string::npos) << *inspection.damage;
    EXPECT_FALSE(inspection.entries.has_value());
  }

  // Folders that differ only in case are one folder to the launcher, which
  // installs both files into it.
  const Payload folders = MakePayload(Archive({{"Lib/a.js", x}, {"lib/b.js", x}}));
  EXPECT_TRUE(MustInspect(LauncherImage(folders.record, folders.Constants())).intact());

  // The archive's own framing, with a CRC over exactly those bytes.
  Bytes long_tail = SmallArchive();
  long_tail.push_back(std::byte{0});
  Bytes short_data = SmallArchive();
  short_data.pop_back();
  for (const auto& [archive, phrase] : {std::pair{long_tail, "left over"}, std::pair{short_data, "run past the end"}}) {
    const Payload p = MakePayload(archive);
    const Inspection inspection = MustInspect(LauncherImage(p.record, p.Constants()));
    ASSERT_FALSE(inspection.intact());
    EXPECT_NE(inspection.damage->find(phrase), std::string::npos) << *inspection.damage;
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Keys(const std::string& text) {
  std::vector<std::string> keys;
  for (const std::string& line : Lines(text)) keys.push_back(line.substr(0, line.find(':')));
  return keys;
}

TEST(Report, OneFactPerLineInAFixedOrder) {
  const Payload p = MakePayload(SmallArchive());
  const Inspection inspection = MustInspect(LauncherImage(p.record, p.Constants()));
  const std::string text = FormatReport(inspection, true);
  EXPECT_EQ(Keys(text), (std::vector<std::string>{"build-id", "package-size", "compressed-size", "package-crc32",
                                                  "record", "constants", "chunk-size", "chunk-count", "stored-chunks",
                                                  "files", "total-bytes", "sizes", "payload", "file", "file", "file"}));
  const auto lines = Lines(text);
  EXPECT_EQ(lines[0], "build-id: " + p.build_id);
  EXPECT_EQ(lines[11], "sizes: agree");
  EXPECT_EQ(lines[12], "payload: intact");
  EXPECT_EQ(lines[14], "file: 20 lib\\deep/a.js");
  EXPECT_EQ(Keys(FormatReport(inspection, false)).size(), 13u);
}

TEST(Report, DamageLeavesOutWhatCouldNotBeEstablished) {
  const Payload p = MakePayload(SmallArchive());
  Payload wrong = p;
  wrong.compressed_size += 4;
  const std::string text = FormatReport(MustInspect(LauncherImage(p.record, wrong.Constants())), true);
  EXPECT_EQ(text.find("files:"), std::string::npos);
  EXPECT_NE(text.find("\nsizes: DISAGREE (COMPRESSED_SIZE " + std::to_string(wrong.compressed_size) +
                      ", the chunk walk " + std::to_string(p.compressed_size) + ")\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\npayload: DAMAGED (sizes disagree: COMPRESSED_SIZE"), std::string::npos) << text;
}

TEST(Report, ANameCannotForgeALine) {
  const Payload p = MakePayload(Archive({{"a\npayload: intact", AsBytes("x")}, {"b", AsBytes("y")}}));
  const std::string text = FormatReport(MustInspect(LauncherImage(p.record, p.Constants())), true);
  int payload_lines = 0;
  for (const std::string& line : Lines(text)) payload_lines += line.starts_with("payload:");
  EXPECT_EQ(payload_lines, 1) << text;
  // Windows takes no control character in a name: the reason names it, escaped.
  EXPECT_NE(text.find("\npayload: DAMAGED (archive: entry 1 of 2 \"a\\x0apayload: intact\": contains a control"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace lumaro::inspect
