// The exe's identity: defaults that give Lumaro's own values, flags over
// package.json, each refusal naming its value, the .ico checker on damaged
// files, the identity block, and the resource script windres reads.
#include "tools/pack/app_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/identity_block.h"
#include "tools/common/one_line.h"
#include "tools/pack/payload_output.h"
#include "tools/pack/tests/identity_support.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack {
namespace {

using testing::Bytes;
using testing::Resolve;
using testing::TempTree;

TEST(AppIdentity, NothingSetIsLumarosOwnByteForByte) {
  TempTree app;
  app.File("package.json", R"({"name": "x", "version": "1.0.0"})");
  const auto identity = Resolve(app);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->Fields(), (package::IdentityFields{"Lumaro", "Lumaro", "Local\\Lumaro.Desktop.2026",
                                                         "Lumaro \xC2\xB7 M\xC3\xA1y nh\xC3\xA0"}));
  EXPECT_EQ(identity->company, "Lumaro");
  EXPECT_EQ(identity->description, "Lumaro");
  EXPECT_EQ(identity->copyright, std::nullopt);
  EXPECT_EQ(identity->exe_name, "Lumaro.exe");
  const auto lumaro = LumaroIcon();
  EXPECT_TRUE(std::equal(identity->icon.begin(), identity->icon.end(), lumaro.begin(), lumaro.end()));
  EXPECT_EQ(IconProblem(lumaro), std::nullopt);
}

TEST(AppIdentity, DefaultsFollowTheProductNameAndFlagsBeatPackageJson) {
  TempTree app;
  app.File("package.json", R"({"productName": "Sổ Tay", "description": "Ghi chép",
                               "author": {"name": "An Bình", "email": "a@b.c"},
                               "lumaro": {"windowTitle": "from json", "copyright": "© 2026"}})");
  auto identity = Resolve(app);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->product_name, "Sổ Tay");
  EXPECT_EQ(identity->company, "An Bình") << "author's name";
  EXPECT_EQ(identity->description, "Ghi chép");
  EXPECT_EQ(identity->copyright, "© 2026");
  EXPECT_EQ(identity->data_folder, "Sổ Tay");
  EXPECT_EQ(identity->mutex_name, "Local\\SỔ TAY.Desktop") << "the folder as Windows compares it";
  EXPECT_EQ(identity->window_title, "from json");
  EXPECT_EQ(identity->exe_name, "Sổ Tay.exe");

  IdentityOptions flags;
  flags.settings.window_title = "from flag";
  flags.settings.data_folder = "SoTay-Beta";
  flags.settings.company = "Flag Co";
  flags.exe_name = "SoTay.exe";
  identity = Resolve(app, flags);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->window_title, "from flag");
  EXPECT_EQ(identity->company, "Flag Co");
  EXPECT_EQ(identity->mutex_name, "Local\\SOTAY-BETA.Desktop") << "the mutex follows the data folder";

  app.File("package.json", R"({"author": "Plain Author", "lumaro": {"company": "Named Co", "dataFolder": "Lumaro"},
                               "productName": "Other"})");
  identity = Resolve(app);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->company, "Named Co") << "\"lumaro\".\"company\" beats \"author\"";
  EXPECT_EQ(identity->window_title, "Other");
  EXPECT_EQ(identity->mutex_name, "Local\\Lumaro.Desktop.2026") << "Lumaro's folder keeps Lumaro's guard";
}

TEST(AppIdentity, EachBadValueIsRefusedByName) {
  struct Case {
    std::optional<std::string> IdentitySettings::*member;
    std::string value;
  };
  const std::string long_text(257, 'x');
  for (const Case& c : std::vector<Case>{
           {&IdentitySettings::product_name, "bad\xff" "utf8"},
           {&IdentitySettings::company, "line\nbreak"},
           {&IdentitySettings::description, long_text},
           {&IdentitySettings::copyright, "c1 \xC2\x85 control"},
           {&IdentitySettings::window_title, ""},
           {&IdentitySettings::data_folder, "CON"},
           {&IdentitySettings::data_folder, "lpt1.txt"},
           {&IdentitySettings::data_folder, "a:b"},
           {&IdentitySettings::data_folder, "a/b"},
           {&IdentitySettings::data_folder, "a\\b"},
           {&IdentitySettings::data_folder, "tab\there"},
           {&IdentitySettings::data_folder, "dot."},
           {&IdentitySettings::data_folder, "space "},
           {&IdentitySettings::data_folder, ".."},
           {&IdentitySettings::data_folder, std::string(65, 'd')},
           {&IdentitySettings::mutex_name, "Global\\Lumaro"},
           {&IdentitySettings::mutex_name, "Lumaro"},
           {&IdentitySettings::mutex_name, "Local\\a\\b"},
           {&IdentitySettings::mutex_name, "Local\\"},
           {&IdentitySettings::mutex_name, "Local\\a\x7f"},
           {&IdentitySettings::mutex_name, "Local\\" + std::string(251, 'm')},
       }) {
    TempTree app;
    IdentityOptions flags;
    flags.settings.*c.member = c.value;
    const auto from_flag = Resolve(app, flags);
    ASSERT_FALSE(from_flag) << "accepted \"" << c.value << "\"";
    EXPECT_EQ(from_flag.error().error_class, ErrorClass::kUsage);
    EXPECT_NE(from_flag.error().message.find(tools::Quoted(c.value)), std::string::npos) << from_flag.error().message;
  }
  // From package.json the same value is bad input, named with its key.
  TempTree app;
  app.File("package.json", R"({"lumaro": {"mutexName": "Global\\X"}})");
  const auto from_json = Resolve(app);
  ASSERT_FALSE(from_json);
  EXPECT_EQ(from_json.error().error_class, ErrorClass::kBadInput);
  EXPECT_NE(from_json.error().message.find("package.json's \"lumaro\".\"mutexName\" \"Global\\X\" cannot be used"),
            std::string::npos)
      << from_json.error().message;
  app.File("package.json", R"({"lumaro": {"dataFolder": 7}})");
  EXPECT_EQ(Resolve(app).error().error_class, ErrorClass::kBadInput) << "not a string";
  app.File("package.json", R"({"lumaro": "Acme"})");
  EXPECT_EQ(Resolve(app).error().error_class, ErrorClass::kBadInput) << "\"lumaro\" not an object";
}

TEST(AppIdentity, TheLimitsThemselvesAreAccepted) {
  TempTree app;
  IdentityOptions flags;
  flags.settings.product_name = std::string(256, 'p');
  flags.settings.data_folder = std::string(63, 'd') + "\xE1\xBB\x87";  // 64 characters, one of three bytes
  flags.settings.mutex_name = "Local\\" + std::string(250, 'm');
  const auto identity = Resolve(app, flags);
  ASSERT_TRUE(identity) << identity.error().message;
}

// A .ico of one PNG image, with the directory fields at hand for damage.
constexpr std::string_view kPng32 = std::string_view(
    "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x20\0\0\0\x20\x08\x06\0\0\0\0\0\0\0", 33);  // signature, 32 x 32 IHDR

std::string Ico(std::uint16_t type = 1, std::uint16_t count = 1, std::uint32_t size = 33, std::uint32_t offset = 22,
                std::string_view image = kPng32) {
  std::string ico(22, '\0');
  auto put16 = [&](std::size_t at, std::uint16_t v) { ico[at] = char(v & 0xFF), ico[at + 1] = char(v >> 8); };
  auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  put16(2, type);
  put16(4, count);
  ico[6] = ico[7] = 32;
  put16(10, 1);
  put16(12, 32);
  put32(14, size);
  put32(18, offset);
  return ico + std::string(image);
}

TEST(IconCheck, DamagedIcoFilesAreRefused) {
  EXPECT_EQ(IconProblem(Bytes(Ico())), std::nullopt);
  std::string bitmap(48, '\0');  // 1 x 1 at 32 bits: header, one pixel, one mask row
  bitmap[0] = 40, bitmap[4] = 1, bitmap[8] = 2, bitmap[12] = 1, bitmap[14] = 32;
  EXPECT_EQ(IconProblem(Bytes(Ico(1, 1, 48, 22, bitmap))), std::nullopt);
  EXPECT_TRUE(IconProblem(Bytes(Ico(1, 1, 47, 22, bitmap.substr(0, 47))))) << "a pixel short";
  for (const auto& [ico, why] : std::vector<std::pair<std::string, std::string>>{
           {"", "too short"},
           {Ico().substr(0, 5), "too short"},
           {Ico(2), "icon header"},
           {"\x01" + Ico().substr(1), "icon header"},
           {Ico(1, 0), "no image"},
           {Ico(1, 4), "shorter than its image directory"},
           {Ico().substr(0, 21), "shorter than its image directory"},
           {Ico(1, 1, 0), "image 1 is empty"},
           {Ico(1, 1, 34), "image 1 lies outside"},
           {Ico(1, 1, 33, 6), "image 1 lies outside"},
           {Ico(1, 1, 33, 0xFFFFFFF8u), "image 1 lies outside"},
           {Ico(1, 1, 0xFFFFFFFFu, 22), "image 1 lies outside"},
           {Ico(1, 1, 33, 22, "GIF89a" + std::string(27, '.')), "neither a PNG nor a bitmap"},
       }) {
    const auto problem = IconProblem(Bytes(ico));
    ASSERT_TRUE(problem) << why;
    EXPECT_NE(problem->find(why), std::string::npos) << *problem;
  }
}

TEST(IconCheck, AMissingOrDamagedIconFileIsRefusedByName) {
  TempTree app;
  app.File("bad.ico", Ico(2));
  for (const std::string icon : {"missing.ico", "bad.ico"}) {
    IdentityOptions flags;
    flags.settings.icon = (app / icon).string();
    const auto identity = Resolve(app, flags);
    ASSERT_FALSE(identity) << icon;
    EXPECT_EQ(identity.error().error_class, ErrorClass::kBadInput);
    EXPECT_NE(identity.error().message.find(icon), std::string::npos) << identity.error().message;
  }
  app.File("art/app.ico", Ico());
  app.File("package.json", R"({"lumaro": {"icon": "art/app.ico"}})");
  const auto identity = Resolve(app);
  ASSERT_TRUE(identity) << identity.error().message;
  EXPECT_EQ(identity->icon, Bytes(Ico())) << "package.json's icon is relative to the app folder";
}

TEST(IconCheck, PackageJsonsIconIsAFileOfTheAppFolderAndNothingElse) {
  TempTree outside;
  outside.File("secret.ico", Ico());
  TempTree app;
  app.File("art/app.ico", Ico());
  for (const std::string icon : {"art\\\\app.ico", "./art//app.ico"}) {
    app.File("package.json", R"({"lumaro": {"icon": ")" + icon + R"("}})");
    const auto identity = Resolve(app);
    ASSERT_TRUE(identity) << icon << ": " << identity.error().message;
    EXPECT_EQ(identity->icon, Bytes(Ico())) << icon;
  }
  // A valid icon outside is still not the app's: the vendor's CI may pack
  // folders it did not write.
  const std::string escapes[] = {(outside / "secret.ico").string(), "../" + outside.root().filename().string() + "/secret.ico",
                                 "art/../../" + outside.root().filename().string() + "/secret.ico", "C:secret.ico", "."};
  for (const std::string& icon : escapes) {
    app.File("package.json", R"({"lumaro": {"icon": ")" + icon + R"("}})");
    const auto identity = Resolve(app);
    ASSERT_FALSE(identity) << icon;
    EXPECT_EQ(identity.error().error_class, ErrorClass::kBadInput) << icon;
    EXPECT_NE(identity.error().message.find("names no file of the app folder"), std::string::npos)
        << identity.error().message;
  }
  app.File("package.json", R"({"lumaro": {"icon": ""}})");
  const auto unset = Resolve(app);
  ASSERT_TRUE(unset) << unset.error().message;
  EXPECT_EQ(unset->icon.size(), LumaroIcon().size()) << "an empty icon is none: Lumaro's";
}

TEST(IdentityBlock, ReadsBackWhatIsWrittenAndNothingDamaged) {
  const package::IdentityFields fields{"Sổ Tay", "SoTay", "Local\\SoTay.Desktop", "Sổ Tay · Ghi chép"};
  std::vector<std::byte> block = package::MakeIdentityBlock(fields);
  EXPECT_EQ(package::ParseIdentityBlock(block), fields);
  block.push_back(std::byte{0x41});
  EXPECT_EQ(package::ParseIdentityBlock(block), fields) << "bytes after the block are not its own";
  block.pop_back();
  for (std::size_t cut = 0; cut < block.size(); ++cut) {
    EXPECT_EQ(package::ParseIdentityBlock(std::span(block).first(cut)), std::nullopt) << cut;
  }
  auto bad = block;
  bad[4] = std::byte{static_cast<unsigned char>(block.size() - 1)};  // a size that splits the last field
  EXPECT_EQ(package::ParseIdentityBlock(bad), std::nullopt);
  bad = block;
  bad[8] = bad[9] = std::byte{0};  // an empty product name
  EXPECT_EQ(package::ParseIdentityBlock(bad), std::nullopt);
  const std::string source = ConstantsSource("t", 1, 1, 0, fields);
  EXPECT_NE(source.find("kIdentityBlock[] = {\n    0x4c, 0x4d, 0x52, 0x49,"), std::string::npos) << source;
}

TEST(ExeResourceScript, TextsAreEscapedForWindresAndNamesFollowTheExe) {
  AppIdentity identity = LumaroIdentity();
  identity.company = "Nhà \"A\\B\"";
  identity.copyright = "© 2026 😀";
  identity.exe_name = "Sổ.EXE";
  const std::string script = ExeResourceScript(*ParseReleaseVersion("2.3.4-beta.1"), identity);
  EXPECT_NE(script.find("1 ICON \"icon.ico\"\n"), std::string::npos);
  EXPECT_NE(script.find("FILEVERSION     2,3,4,0\n"), std::string::npos);
  EXPECT_NE(script.find("VALUE \"CompanyName\", L\"Nh\\x00e0 \"\"A\\\\B\"\"\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("VALUE \"LegalCopyright\", L\"\\x00a9 2026 \\xd83d\\xde00\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("VALUE \"InternalName\", L\"S\\x1ed5\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("VALUE \"OriginalFilename\", L\"S\\x1ed5.EXE\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("VALUE \"ProductVersion\", L\"2.3.4-beta.1\"\n"), std::string::npos) << script;
  EXPECT_EQ(ExeResourceScript(*ParseReleaseVersion("1"), LumaroIdentity()).find("LegalCopyright"), std::string::npos)
      << "no copyright unless one is set";
}

}  // namespace
}  // namespace lumaro::pack
