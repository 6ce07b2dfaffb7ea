// What a vendor's inputs may hold and cost: hidden characters in identity
// values, one guard for every spelling of a data folder, icons bounded
// before they are linked, the version resource's size, package.json's size
// and depth, npm's own package.json forms, and refusals that name their
// source with one status rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/common/one_line.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/tests/identity_support.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack {
namespace {

using testing::Bytes;
using testing::Resolve;
using testing::TempTree;

TEST(IdentityText, HiddenCharactersAreRefusedInEveryValue) {
  struct Case {
    std::string text;
    std::string named;
  };
  const std::vector<Case> hidden = {
      {"A\xE2\x80\xAE" "b", "U+202E, a bidirectional control"},  // right-to-left override
      {"A\xD8\x9C" "b", "U+061C, a bidirectional control"},      // Arabic letter mark
      {"A\xE2\x80\x8F" "b", "U+200F, a bidirectional control"},
      {"A\xE2\x81\xA6" "b", "U+2066, a bidirectional control"},
      {"A\xE2\x80\x8B" "b", "U+200B, an invisible character"},  // zero-width space
      {"A\xE2\x81\xA4" "b", "U+2064, an invisible character"},
      {"A\xEF\xBB\xBF" "b", "U+FEFF, an invisible character"},
      {"A\xE1\xA0\x8E" "b", "U+180E, an invisible character"},
      {"A\xEF\xB7\x90" "b", "U+FDD0, a Unicode noncharacter"},
      {"A\xEF\xBF\xBE" "b", "U+FFFE, a Unicode noncharacter"},
      {"A\xF0\x9F\xBF\xBF" "b", "U+01FFFF, a Unicode noncharacter"},
      {"A\xC2\x9B" "b", "U+009B, a control character"},
      {"A\x1B" "b", "U+001B, a control character"},
      {"A\xED\xA0\x80" "b", "is not valid UTF-8"},  // a lone surrogate
  };
  for (auto member : {&IdentitySettings::product_name, &IdentitySettings::company, &IdentitySettings::description,
                      &IdentitySettings::copyright, &IdentitySettings::data_folder,
                      &IdentitySettings::window_title}) {
    for (const Case& c : hidden) {
      TempTree app;
      IdentityOptions flags;
      flags.settings.*member = c.text;
      const auto identity = Resolve(app, flags);
      ASSERT_FALSE(identity) << "accepted " << tools::Quoted(c.text);
      EXPECT_EQ(identity.error().error_class, ErrorClass::kUsage);
      EXPECT_NE(identity.error().message.find(c.named), std::string::npos) << identity.error().message;
      EXPECT_NE(identity.error().message.find(tools::Quoted(c.text)), std::string::npos) << identity.error().message;
    }
  }
  // The soft hyphen shows in a title but not in a folder's or a mutex's name.
  TempTree app;
  IdentityOptions flags;
  flags.settings.product_name = "Co\xC2\xAD" "op";
  flags.settings.data_folder = "Coop";
  EXPECT_TRUE(Resolve(app, flags));
  flags.settings.data_folder = std::nullopt;
  const auto folder = Resolve(app, flags);
  ASSERT_FALSE(folder);
  EXPECT_NE(folder.error().message.find("U+00AD, a soft hyphen"), std::string::npos) << folder.error().message;
  flags.settings.data_folder = "Coop";
  flags.settings.mutex_name = "Local\\Co\xC2\xAD" "op";
  EXPECT_FALSE(Resolve(app, flags));
  // The message shows what it names: the refused characters escaped.
  EXPECT_EQ(tools::Quoted("A\xE2\x80\x8B\"b"), "\"A\\u200b\\\"b\"");
}

TEST(DerivedMutexName, EverySpellingOfOneFolderGetsOneGuard) {
  EXPECT_EQ(DerivedMutexName("Lumaro"), "Local\\Lumaro.Desktop.2026");
  EXPECT_EQ(DerivedMutexName("lumaro"), "Local\\Lumaro.Desktop.2026");
  EXPECT_EQ(DerivedMutexName("LUMARO"), "Local\\Lumaro.Desktop.2026");
  EXPECT_EQ(DerivedMutexName("S\xE1\xBB\x95 tay"), DerivedMutexName("S\xE1\xBB\x95 Tay"));  // Sổ tay, Sổ Tay
  EXPECT_EQ(DerivedMutexName("S\xE1\xBB\x95 Tay"), "Local\\S\xE1\xBB\x94 TAY.Desktop");
  EXPECT_EQ(DerivedMutexName("\xD0\xB6"), DerivedMutexName("\xD0\x96"));              // ж Ж
  EXPECT_EQ(DerivedMutexName("\xCF\x83"), DerivedMutexName("\xCE\xA3"));              // σ Σ
  // Names Windows keeps apart keep their own guards.
  EXPECT_NE(DerivedMutexName("Stra\xC3\x9F" "e"), DerivedMutexName("STRASSE"));       // ß, SS
  EXPECT_NE(DerivedMutexName("\xC4\xB1"), DerivedMutexName("I"));                       // ı, I
  EXPECT_NE(DerivedMutexName("a\xCC\x81"), DerivedMutexName("\xC3\xA1"));               // a + U+0301, á

  TempTree app;
  IdentityOptions flags;
  flags.settings.product_name = "lumaro";
  const auto lower = Resolve(app, flags);
  ASSERT_TRUE(lower) << lower.error().message;
  EXPECT_EQ(lower->data_folder, "lumaro");
  EXPECT_EQ(lower->mutex_name, "Local\\Lumaro.Desktop.2026") << "Lumaro's folder, spelled otherwise";
  flags.settings.mutex_name = "Local\\lumaro.Own";
  EXPECT_EQ(Resolve(app, flags)->mutex_name, "Local\\lumaro.Own") << "a given name stays as given";
}

// A .ico with one directory entry per image, at the offsets given (or laid
// out one after another).
struct IcoImage {
  IcoImage(std::string image, std::uint8_t w = 16, std::uint8_t h = 16, std::optional<std::uint32_t> at = {})
      : bytes(std::move(image)), width(w), height(h), offset(at) {}
  std::string bytes;
  std::uint8_t width;
  std::uint8_t height;
  std::optional<std::uint32_t> offset;
};

void Put(std::string& out, std::size_t at, std::uint32_t value, int width, bool big_endian = false) {
  for (int i = 0; i < width; ++i) {
    const int shift = 8 * (big_endian ? width - 1 - i : i);
    out[at + i] = static_cast<char>((value >> shift) & 0xFF);
  }
}

std::string Ico(const std::vector<IcoImage>& images, std::string tail = {}) {
  std::string ico(6 + 16 * images.size(), '\0');
  Put(ico, 2, 1, 2);
  Put(ico, 4, static_cast<std::uint32_t>(images.size()), 2);
  std::uint32_t next = static_cast<std::uint32_t>(ico.size());
  std::string data;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::size_t entry = 6 + 16 * i;
    ico[entry] = static_cast<char>(images[i].width);
    ico[entry + 1] = static_cast<char>(images[i].height);
    Put(ico, entry + 4, 1, 2);
    Put(ico, entry + 6, 32, 2);
    Put(ico, entry + 8, static_cast<std::uint32_t>(images[i].bytes.size()), 4);
    Put(ico, entry + 12, images[i].offset.value_or(next), 4);
    next += static_cast<std::uint32_t>(images[i].bytes.size());
    data += images[i].bytes;
  }
  return ico + data + tail;
}

std::string Png(std::uint32_t width, std::uint32_t height) {
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(25, '\0');
  Put(png, 8, 13, 4, true);
  std::memcpy(png.data() + 12, "IHDR", 4);
  Put(png, 16, width, 4, true);
  Put(png, 20, height, 4, true);
  return png;
}

// A BITMAPINFOHEADER and room for the pixels it claims, less short.
std::string Bitmap(std::int32_t width, std::int32_t height, std::uint16_t bits = 32, std::size_t short_by = 0,
                   std::uint16_t planes = 1) {
  std::string bmp(40, '\0');
  Put(bmp, 0, 40, 4);
  Put(bmp, 4, static_cast<std::uint32_t>(width), 4);
  Put(bmp, 8, static_cast<std::uint32_t>(height), 4);
  Put(bmp, 12, planes, 2);
  Put(bmp, 14, bits, 2);
  const std::size_t rows = height > 0 ? static_cast<std::size_t>(height / 2) : 0;
  const std::size_t w = width > 0 && width <= 256 ? static_cast<std::size_t>(width) : 0;
  const std::size_t palette = bits <= 8 ? (std::size_t{1} << bits) * 4 : 0;
  const std::size_t pixels = palette + ((w * bits + 31) / 32 * 4 + (w + 31) / 32 * 4) * rows;
  return bmp + std::string(pixels - short_by, '\0');
}

TEST(IconBounds, WellFormedImagesPass) {
  EXPECT_EQ(IconProblem(Bytes(Ico({{Png(16, 16)}}))), std::nullopt);
  EXPECT_EQ(IconProblem(Bytes(Ico({{Png(256, 256), 0, 0}}))), std::nullopt) << "0 in the directory is 256";
  EXPECT_EQ(IconProblem(Bytes(Ico({{Bitmap(16, 32)}, {Bitmap(32, 64, 8), 32, 32}, {Bitmap(48, 96, 1), 48, 48}}))),
            std::nullopt);
  EXPECT_EQ(IconProblem(LumaroIcon()), std::nullopt);
  std::vector<IcoImage> many(kMaxIconImages, IcoImage{Png(16, 16)});
  EXPECT_EQ(IconProblem(Bytes(Ico(many))), std::nullopt);
}

TEST(IconBounds, WhatWouldBlowUpTheLinkIsRefused) {
  const std::string png = Png(16, 16);
  const auto at = static_cast<std::uint32_t>(6 + 16 * 2);
  for (const auto& [ico, why] : std::vector<std::pair<std::string, std::string>>{
           {Ico(std::vector<IcoImage>(kMaxIconImages + 1, IcoImage{png})), "holds 65 images, more than 64"},
           {Ico({{png, 16, 16, at}, {png, 16, 16, at}}), "its images 1 and 2 share bytes"},
           {Ico({{png + png, 16, 16, at}, {png, 16, 16, at + 33}}), "its images 1 and 2 share bytes"},
           {Ico({{png.substr(0, 8)}}), "its image 1 is a PNG too short for its header"},
           {Ico({{"\x89PNG\r\n\x1a\n" + std::string(25, 'x')}}), "does not start with its IHDR header"},
           {Ico({{Png(0, 16)}}), "is a PNG of 0 x 16 pixels"},
           {Ico({{Png(4096, 4096), 0, 0}}), "is a PNG of 4096 x 4096 pixels"},
           {Ico({{Png(32, 32), 16, 16}}), "where the directory says 16 x 16"},
           {Ico({{Bitmap(0x7fffffff, 32)}}), "is a bitmap of 2147483647 x 32 pixels"},
           {Ico({{Bitmap(16, -32)}}), "is a bitmap of 16 x -32 pixels"},
           {Ico({{Bitmap(16, 33)}}), "is a bitmap of 16 x 33 pixels"},
           {Ico({{Bitmap(16, 32, 3)}}), "1 plane(s) of 3 bits"},
           {Ico({{Bitmap(16, 32, 32, 0, 2)}}), "2 plane(s) of 32 bits"},
           {Ico({{Bitmap(16, 32, 32, 1)}}), "is a bitmap whose pixels need 1128 bytes where the image has 1127"},
           {Ico({{Bitmap(16, 32, 8, 4)}}), "is a bitmap whose pixels need"},
       }) {
    const auto problem = IconProblem(Bytes(ico));
    ASSERT_TRUE(problem) << why;
    EXPECT_NE(problem->find(why), std::string::npos) << *problem;
  }
  const auto big = IconProblem(Bytes(Ico({{png}}, std::string(kMaxIconFileBytes, '\0'))));
  ASSERT_TRUE(big);
  EXPECT_NE(big->find("larger than an icon file may be (4 MiB)"), std::string::npos) << *big;
}

TEST(IconBounds, AnOversizedIconFileIsRefusedBeforeItIsRead) {
  TempTree app;
  app.File("big.ico", Ico({{Png(16, 16)}}, std::string(kMaxIconFileBytes, '\0')));
  app.File("package.json", R"({"lumaro": {"icon": "big.ico"}})");
  for (const bool from_flag : {true, false}) {
    IdentityOptions flags;
    if (from_flag) flags.settings.icon = (app / "big.ico").string();
    const auto identity = Resolve(app, flags);
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(identity.error().message.find(from_flag ? "--icon \"" : "package.json's \"lumaro\".\"icon\" \"big.ico\""),
              std::string::npos) << identity.error().message;
    EXPECT_NE(identity.error().message.find(" cannot be used: it is 4194359 bytes, larger than"), std::string::npos)
        << identity.error().message;
  }
}

TEST(VersionResource, ItsSizeIsCheckedWhenWritten) {
  TempTree out;
  AppIdentity identity = LumaroIdentity();
  const ReleaseVersion version = *ParseReleaseVersion("1.2.3-" + std::string(kMaxVersionCharacters - 6, 'x'));
  // Every string at its bound stays far below the 16-bit length.
  const std::string longest(kMaxTextCharacters, 'x');
  identity.company = identity.description = identity.product_name = longest;
  identity.copyright = longest;
  identity.exe_name = longest;
  EXPECT_LT(VersionResourceBytes(version, identity), 8192u);
  IdentityOptions options;
  ASSERT_TRUE(WriteIdentityOutputs(options, identity, version, (out / "v.rc").string()));
  // Past the bounds (as a value that slipped through would be), nothing is written.
  identity.description = std::string(40000, 'x');
  const auto refused = WriteIdentityOutputs(options, identity, version, (out / "w.rc").string());
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("more than its 16-bit length can say"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(out / "w.rc"));
  // The size is the compiled layout's: Lumaro's own resource, as windres makes it.
  EXPECT_EQ(VersionResourceBytes(*ParseReleaseVersion("1.0.0"), LumaroIdentity()), 576u);
}

TEST(ReleaseVersion, ALongVersionIsRefusedAtItsBound) {
  const std::string at_bound = "1.2.3-" + std::string(kMaxVersionCharacters - 6, 'a');
  EXPECT_TRUE(ParseReleaseVersion(at_bound));
  const auto over = ParseReleaseVersion(at_bound + "a");
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), "is longer than 64 characters");
  const std::string huge = "1.2.3-" + std::string(20000, 'a');
  EXPECT_FALSE(ParseReleaseVersion(huge));
  EXPECT_EQ(VersionRefusal(huge, VersionSource::kFlag, over.error()).substr(0, 130),
            "--version \"1.2.3-" + std::string(58, 'a') + "\" (cut) cannot be used: it is longer than 64 characters")
      << "shown up to the bound";
  EXPECT_EQ(VersionRefusal("1.2.x", VersionSource::kFlag, "is not one to four numbers separated by dots"),
            "--version \"1.2.x\" cannot be used: it is not one to four numbers separated by dots; give a version "
            "such as 2.3.4 or 1.5.0-beta.2: one to four numbers of 0 to 65535, maybe with a semver suffix");
}

TEST(PackageJsonBounds, TooLargeOrTooDeepIsRefusedNamingWhere) {
  TempTree app;
  app.Basics();
  app.File("package.json", "{\"description\": \"" + std::string(kMaxPackageJsonBytes, 'x') + "\"}");
  auto folder = ScanAppFolder(app.root());
  ASSERT_TRUE(folder);
  auto refused = ReadPackageJson(*folder);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().error_class, ErrorClass::kBadInput);
  EXPECT_NE(refused.error().message.find("bytes, more than a package.json may be (1024 KiB)"), std::string::npos)
      << refused.error().message;

  app.File("package.json", "{\"a\":\n" + std::string(kMaxPackageJsonDepth, '[') + std::string(kMaxPackageJsonDepth, ']') +
                               "}");
  folder = ScanAppFolder(app.root());
  refused = ReadPackageJson(*folder);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find(
                "cannot be used: it nests arrays and objects deeper than 64 levels (at line 2, column 64)"),
            std::string::npos) << refused.error().message;
  // Brackets inside strings are text.
  app.File("package.json", "{\"a\": \"" + std::string(100, '[') + "\\\"[\"}");
  folder = ScanAppFolder(app.root());
  EXPECT_TRUE(ReadPackageJson(*folder));
}

TEST(PackageJsonBounds, InvalidJsonIsReportedAtItsLineAndColumn) {
  TempTree app;
  app.Basics();
  app.File("package.json", "{\n  \"name\": \"S\xE1\xBB\x95\",\n  \"version\": 1.0.0\n}\n");
  auto folder = ScanAppFolder(app.root());
  const auto refused = ReadPackageJson(*folder);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().error_class, ErrorClass::kBadInput);
  EXPECT_NE(refused.error().message.find(" is not valid JSON: at line 3, column 17, "), std::string::npos)
      << refused.error().message;
  app.File("package.json", "{\"a\": \"\xE1\xBB\x95\xE1\xBB\x95\" x}");
  folder = ScanAppFolder(app.root());
  EXPECT_NE(ReadPackageJson(*folder).error().message.find("at line 1, column 12, "), std::string::npos)
      << "columns count characters";
}

TEST(PackageJsonNpm, WhatNpmInitWritesPacks) {
  TempTree app;
  // npm init -y, npm 9.
  app.File("package.json", R"({
  "name": "sotay",
  "version": "1.0.0",
  "description": "",
  "main": "index.js",
  "scripts": {
    "test": "echo \"Error: no test specified\" && exit 1"
  },
  "keywords": [],
  "author": "",
  "license": "ISC"
})");
  auto identity = Resolve(app);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->company, "Lumaro") << "an empty author is none";
  EXPECT_EQ(identity->description, "Lumaro") << "an empty description is none";

  for (const auto& [author, company] : std::vector<std::pair<std::string, std::string>>{
           {R"j("Ann Example <ann@example.com> (https://x)")j", "Ann Example"},
           {R"j("Ann Example (https://x)")j", "Ann Example"},
           {R"("  Ann  ")", "Ann"},
           {R"({"name": "Ann Example", "email": "ann@example.com"})", "Ann Example"},
           {R"("<ann@example.com>")", "Lumaro"},
           {R"({"name": ""})", "Lumaro"},
       }) {
    app.File("package.json", R"({"description": "Notes", "lumaro": {"copyright": ""}, "author": )" + author + "}");
    identity = Resolve(app);
    ASSERT_TRUE(identity) << author << ": " << identity.error().message;
    EXPECT_EQ(identity->company, company) << author;
    EXPECT_EQ(identity->description, "Notes");
    EXPECT_EQ(identity->copyright, std::nullopt) << "an empty copyright is none";
  }
}

TEST(IdentityRefusals, EachNamesItsSourceAndStatusFollowsIt) {
  // A flag's value is a usage error; package.json's is bad input; a default
  // is refused as what it was taken from.
  TempTree app;
  IdentityOptions flags;
  flags.settings.product_name = "CON";
  auto refused = Resolve(app, flags);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().error_class, ErrorClass::kUsage);
  EXPECT_EQ(refused.error().message,
            "the data folder \"CON\", taken from the product name \"CON\" (--product-name), cannot be used: it is a "
            "reserved device name on Windows; give a valid folder name with --data-folder or package.json's "
            "\"lumaro\".\"dataFolder\"");

  app.File("package.json", R"({"productName": "a:b"})");
  refused = Resolve(app);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().error_class, ErrorClass::kBadInput);
  EXPECT_EQ(refused.error().message,
            "the data folder \"a:b\", taken from the product name \"a:b\" (package.json's \"productName\"), cannot be "
            "used: it holds \":\", which Windows does not allow in names; give a valid folder name with "
            "--data-folder or package.json's \"lumaro\".\"dataFolder\"");

  app.File("package.json", R"({"author": "Tab\tCo <t@c.o>"})");
  refused = Resolve(app);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message,
            "package.json's \"author\" \"Tab\\x09Co\" cannot be used: it holds U+0009, a control character; correct "
            "it in package.json, or give another company name with --company");

  app.File("package.json", R"({"lumaro": {"windowTitle": ["x"]}})");
  refused = Resolve(app);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "package.json's \"lumaro\".\"windowTitle\" cannot be used: it is not a string; "
                                     "give it as a string or remove it");

  app.File("package.json", "{}");
  flags = {};
  flags.settings.copyright = std::string(100000, 'c');
  const std::string cut = Resolve(app, flags).error().message;
  EXPECT_EQ(cut, "--copyright \"" + std::string(300, 'c') +
                     "\" (cut; 100000 bytes in all) cannot be used: it is longer than 256 characters; give another "
                     "copyright with --copyright") << "a huge value is shown cut";

  flags = {};
  flags.settings.data_folder = "trailing.";
  EXPECT_EQ(Resolve(app, flags).error().message,
            "--data-folder \"trailing.\" cannot be used: it ends in a dot or a space, which Windows strips from names; "
            "give a valid folder name with --data-folder");
}

}  // namespace
}  // namespace lumaro::pack
