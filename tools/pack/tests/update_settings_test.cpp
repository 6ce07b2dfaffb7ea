// lmr-pack's update settings as a vendor gives them: the release file's
// exact bytes, the helper's place in the archive, package.json's form, the
// update chunk size, and each refusal with its status and the source it names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/pack/tests/temp_tree.h"
#include "tools/pack/tests/tool_run.h"

namespace lumaro::pack {
namespace {

using testing::Execute;
using testing::Quote;
using testing::ReadText;
using testing::TempTree;
using testing::ToolRun;

// Public keys of raw bytes 01..20 and A0..BF, and their base64.
constexpr std::string_view kKeyA =
    "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEAAQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=\n-----END PUBLIC KEY-----\n";
constexpr std::string_view kKeyARaw = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";
constexpr std::string_view kKeyB =
    "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEAoKGio6SlpqeoqaqrrK2ur7CxsrO0tba3uLm6u7y9vr8=\n-----END PUBLIC KEY-----\n";
constexpr std::string_view kKeyBRaw = "oKGio6SlpqeoqaqrrK2ur7CxsrO0tba3uLm6u7y9vr8=";
constexpr std::string_view kEcKey =
    "-----BEGIN PUBLIC KEY-----\nMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE6UokGYBXxFENwd6UgatxfE0grmpg\n"
    "JUQ6G3napXl24XFg7Qln1iaoTsRjsvgdUorhAZvP8w/2JqR8RJfrmTG/Uw==\n-----END PUBLIC KEY-----\n";

// The smallest head that reads as a PE image for x86-64.
std::string FakeHelper() {
  std::string pe(0x80, '\0');
  pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40;
  pe.replace(0x40, 6, std::string("PE\0\0\x64\x86", 6));
  return pe + "helper body";
}

class UpdateSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    app.Basics();
    files.File("a.pub.pem", kKeyA);
    files.File("b.pub.pem", kKeyB);
    files.File("ec.pub.pem", kEcKey);
    files.File("update.exe", FakeHelper());
  }

  std::string Path(std::string_view name) const { return Quote((files / name).string()); }

  ToolRun Pack(const std::string& options) const {
    std::filesystem::remove(archive);
    return Execute(files, LMR_PACK_PATH,
                   "--quiet --no-cache " + options + " " + Quote(app.root().string()) + " --archive-out " +
                       Quote(archive.string()));
  }

  std::string Usual() const {
    return "--version 2.3.4 --update-feed https://dl.example.com/sotay/feed --update-helper " + Path("update.exe");
  }

  TempTree app;
  TempTree files;
  std::filesystem::path archive = files / "archive.bin";
};

TEST_F(UpdateSettings, TheReleaseFileCarriesThemAndTheHelperGoesLast) {
  const ToolRun run = Pack(Usual() + " --data-folder SoTay --update-key " + Path("b.pub.pem") + " --update-key " +
                           Path("a.pub.pem"));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string release = std::string(R"({"version":"2.3.4","update":{"feed":"https://dl.example.com/sotay/feed/",)") +
                              R"("channel":"stable","product":"SoTay","keys":[")" + std::string(kKeyBRaw) + R"(",")" +
                              std::string(kKeyARaw) + R"("]}})";
  // Each entry is its name and bytes; the last two are the pack tool's own.
  const std::string helper = FakeHelper();
  const std::string helper_head = std::string("\x12\x00", 2) + static_cast<char>(helper.size()) + std::string(3, '\0');
  EXPECT_TRUE(ReadText(archive).ends_with(".lumaro/release.json" + release + helper_head + ".lumaro/update.exe" +
                                          helper))
      << ReadText(archive).substr(ReadText(archive).size() - 400);
  // Without a feed the helper is not packed, and the release file is the version alone.
  ASSERT_EQ(Pack("--version 2.3.4 --update-helper " + Path("update.exe")).exit_code, 0);
  EXPECT_TRUE(ReadText(archive).ends_with(R"(.lumaro/release.json{"version":"2.3.4"})"));
}

TEST_F(UpdateSettings, PackageJsonGivesThemAndFlagsWin) {
  app.File("keys/a.pub.pem", kKeyA);
  app.File("package.json", R"({"version": "1.5.0", "lumaro": {"updateFeed": "http://10.0.0.7:8080/f/",
      "updateKeys": ["keys/a.pub.pem"], "updateChannel": "beta"}})");
  auto release_of = [&](const std::string& options) {
    const ToolRun run = Pack("--update-helper " + Path("update.exe") + " " + options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::string text = ReadText(archive);
    const std::size_t at = text.find(".lumaro/release.json{");
    return at == std::string::npos ? std::string() : text.substr(at + 20, text.find("}}", at) + 2 - at - 20);
  };
  EXPECT_EQ(release_of(""), R"({"version":"1.5.0","update":{"feed":"http://10.0.0.7:8080/f/","channel":"beta",)"
                            R"("product":"Lumaro","keys":[")" + std::string(kKeyARaw) + R"("]}})");
  EXPECT_EQ(release_of("--update-channel nightly --update-key " + Path("b.pub.pem") + " --update-feed https://x.org/u"),
            R"({"version":"1.5.0","update":{"feed":"https://x.org/u/","channel":"nightly",)"
            R"("product":"Lumaro","keys":[")" + std::string(kKeyBRaw) + R"("]}})");
}

// Refusals: the status says whose mistake it is (2 a typed value, 3 what a
// file or package.json says), the message starts with the value's source.
TEST_F(UpdateSettings, RefusalsNameTheirSource) {
  const std::string key_a = " --update-key " + Path("a.pub.pem");
  // Appended, not "\"" + string: GCC 12 misreads that as overlapping copies.
  auto shown = [&](std::string_view name) { return std::string(1, '"').append((files / name).string()).append(1, '"'); };
  struct Case {
    std::string options;
    std::string package_json;
    int status;
    std::string starts;
  };
  const std::vector<Case> cases = {
      {Usual() + key_a + " --update-feed ftp://dl.example.com/", "", 2,
       R"(--update-feed "ftp://dl.example.com/" cannot be used: it is not an http:// or https:// URL;)"},
      {Usual() + key_a + " --update-feed https:///feed", "", 2, R"(--update-feed "https:///feed" cannot be used: it names no host)"},
      {Usual() + key_a + " --update-feed 'https://x.org/f?a=1'", "", 2, R"(--update-feed "https://x.org/f?a=1" cannot be used: it holds a query)"},
      {Usual() + " --update-key " + Path("ec.pub.pem"), "", 3,
       "--update-key " + shown("ec.pub.pem") + " cannot be used: it holds a key of type EC, not Ed25519;"},
      {Usual() + " --update-key " + Path("update.exe"), "", 3,
       "--update-key " + shown("update.exe") + " cannot be used: it holds no PEM public key"},
      {"--version 2.3.4 --update-feed https://x.org/f/" + key_a, "", 2,
       R"(--update-feed "https://x.org/f/" cannot be used: it needs the update helper; give lumaro-update.exe with --update-helper FILE (./lumaro pack supplies it))"},
      {"--version 2.3.4" + key_a, "", 2, "--update-key " + shown("a.pub.pem") + " cannot be used: it needs a feed"},
      {"--version 2.3.4 --update-channel beta", "", 2, R"(--update-channel "beta" cannot be used: it needs a feed to follow;)"},
      {Usual(), "", 2, R"(--update-feed "https://dl.example.com/sotay/feed" cannot be used: it needs the public key)"},
      {"--update-feed https://x.org/f/ --update-helper " + Path("update.exe") + key_a, "", 2,
       R"(--update-feed "https://x.org/f/" cannot be used: it needs the release's version)"},
      {Usual() + key_a + " --update-channel Beta", "", 2, R"(--update-channel "Beta" cannot be used: it does not start)"},
      {Usual() + key_a + " --update-channel " + std::string(65, 'a'), "", 2, "--update-channel \"" + std::string(65, 'a') + "\" cannot be used: it is longer than 64"},
      {Usual() + key_a + " --update-key " + Path("b.pub.pem") + " --update-key " + Path("a.pub.pem"), "", 2,
       "--update-key " + shown("a.pub.pem") + " cannot be used: it holds the same key as " + shown("a.pub.pem")},
      {Usual() + key_a + " --update-helper " + Path("a.pub.pem"), "", 3,
       "--update-helper " + shown("a.pub.pem") + " cannot be used: it is not a Windows x64 program (not an executable)"},
      {Usual() + key_a, R"({"lumaro": {"updateFeed": "file:///etc/"}})", 2, ""},  // the flag wins
      {"--version 1.0.0 --update-helper " + Path("update.exe") + key_a, R"({"lumaro": {"updateFeed": "file:///etc/"}})", 3,
       R"(package.json's "lumaro"."updateFeed" "file:///etc/" cannot be used: it is not an http:// or https:// URL; correct it in package.json)"},
      {Usual(), R"({"lumaro": {"updateKeys": "a.pub.pem"}})", 3,
       R"(package.json's "lumaro"."updateKeys" cannot be used: it is not a list of file paths;)"},
      {Usual(), R"({"lumaro": {"updateKeys": ["../a.pub.pem"]}})", 3,
       R"(package.json's "lumaro"."updateKeys" "../a.pub.pem" cannot be used: it names no file of the app folder;)"},
      {Usual(), R"({"lumaro": {"updateKeys": ["k/a.pem", "k/a2.pem"]}})", 3,
       R"(package.json's "lumaro"."updateKeys" "k/a2.pem" cannot be used: it holds the same key as "k/a.pem"; give each key once)"},
      {Usual(), R"({"lumaro": {"updateChannel": 7}})", 3, R"(package.json's "lumaro"."updateChannel" cannot be used: it is not a string)"},
  };
  app.File("k/a.pem", kKeyA);
  app.File("k/a2.pem", kKeyA);
  for (const Case& c : cases) {
    app.File("package.json", c.package_json.empty() ? "{}" : c.package_json);
    const ToolRun run = Pack(c.options);
    if (c.starts.empty()) {
      EXPECT_EQ(run.exit_code, 0) << c.options << "\n" << run.err;
      continue;
    }
    EXPECT_EQ(run.exit_code, c.status) << c.options << "\n" << run.err;
    EXPECT_TRUE(run.err.starts_with("lmr-pack: " + c.starts)) << c.options << "\n" << run.err;
    EXPECT_FALSE(std::filesystem::exists(archive)) << c.options;
  }
}

// An update build without --chunk-size cuts 2 MiB chunks; one given wins.
TEST_F(UpdateSettings, UpdatesUseSmallerChunks) {
  std::string big(5u << 20, 'x');
  app.File("big.bin", big);
  auto summary = [&](const std::string& options) {
    const std::filesystem::path record = files / "record.bin";
    const ToolRun run = Execute(files, LMR_PACK_PATH,
                                "--no-cache --level 1 " + options + " " + Quote(app.root().string()) + " --record " +
                                    Quote(record.string()));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run.err;
  };
  const std::string update = Usual() + " --update-key " + Path("a.pub.pem");
  EXPECT_NE(summary(update).find("3 x 2048 KiB chunks"), std::string::npos);
  EXPECT_NE(summary(update + " --chunk-size 4M").find("2 x 4096 KiB chunks"), std::string::npos);
  EXPECT_NE(summary("--version 2.3.4").find("1 x 5120 KiB chunks"), std::string::npos);
}

}  // namespace
}  // namespace lumaro::pack
