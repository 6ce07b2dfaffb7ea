// The package's update settings and helper; see update_settings.h.
#include "tools/pack/update_settings.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "tools/common/one_line.h"
#include "tools/pack/native_addons.h"

namespace lumaro::pack {
namespace {

using tools::Concat;
using tools::Quoted;

// A value as a refusal names it: where it came from, and the status a
// refusal of it exits with.
struct Given {
  std::string value;
  bool from_flag;
  std::string shown;  // --update-feed "x" / package.json's "lumaro"."updateFeed" "x"

  ErrorClass Class() const { return from_flag ? ErrorClass::kUsage : ErrorClass::kBadInput; }
};

Given FromFlag(std::string_view flag, std::string value) {
  std::string shown = Concat(flag, " ", Quoted(value));
  return {std::move(value), true, std::move(shown)};
}

Given FromPackageJson(std::string_view key, std::string value) {
  std::string shown = Concat("package.json's \"lumaro\".\"", key, "\" ", Quoted(value));
  return {std::move(value), false, std::move(shown)};
}

PackError Refused(const Given& given, std::string_view why, std::string_view fix) {
  return {given.Class(), Concat(given.shown, " cannot be used: it ", why, "; ", fix)};
}

// What to do instead, said to where the value came from.
std::string Instead(const Given& given, std::string_view what, std::string_view flag) {
  if (given.from_flag) return Concat("give ", what, " with ", flag);
  return Concat("correct it in package.json, or give ", what, " with ", flag);
}

constexpr std::string_view kFeedExample = "the feed folder's http:// or https:// URL";

struct FreeBio {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// A file named on the command line, bounded before it is read.
std::expected<std::vector<std::byte>, PackError> ReadGivenFile(const std::filesystem::path& path, std::size_t limit,
                                                               const Given& given, std::string_view what) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(given.shown, " cannot be used: it names no file; give the path of ", what)});
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > limit) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(given.shown, " cannot be used: it is ", std::to_string(size),
                                            " bytes, more than ", what, " may be (", std::to_string(limit), ")")});
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<std::byte> bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in || in.peek() != std::ifstream::traits_type::eof()) {
    return std::unexpected(PackError{ErrorClass::kIo, Concat(given.shown, ": cannot read it, or it changed while read")});
  }
  return bytes;
}

constexpr std::string_view kKeyFile = "a PEM public key file";

// A key file of the app folder, found as package.json's icon is.
std::expected<std::vector<std::byte>, PackError> ReadPackagedKey(const AppFolder& folder, const Given& given) {
  const auto name = AppFileArchiveName(given.value);
  const SourceFile* file = name ? FindAppFile(folder, *name) : nullptr;
  if (file == nullptr) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(given.shown, " cannot be used: it names no file of the app folder; give "
                                                         "the path of ", kKeyFile, " inside it, relative to it")});
  }
  if (file->size > kMaxKeyFileBytes) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(given.shown, " cannot be used: it is ", std::to_string(file->size),
                                            " bytes, more than ", kKeyFile, " may be (",
                                            std::to_string(kMaxKeyFileBytes), ")")});
  }
  return ReadAppFile(folder, *file, kMaxKeyFileBytes);
}

std::string Base64(std::span<const std::byte> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// package.json's "updateKeys": file paths; absent or [] is none.
std::expected<std::vector<Given>, PackError> PackageJsonKeys(const nlohmann::json* lumaro) {
  std::vector<Given> keys;
  if (lumaro == nullptr || !lumaro->contains("updateKeys")) return keys;
  const nlohmann::json& list = (*lumaro)["updateKeys"];
  const bool paths = list.is_array() && std::all_of(list.begin(), list.end(), [](const nlohmann::json& item) {
    return item.is_string() && !item.get<std::string>().empty();
  });
  if (!paths) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     "package.json's \"lumaro\".\"updateKeys\" cannot be used: it is not a list of "
                                     "file paths; give the public keys' PEM files, relative to the app folder, such "
                                     "as [\"keys/feed.pub.pem\"]"});
  }
  for (const nlohmann::json& item : list) keys.push_back(FromPackageJson("updateKeys", item.get<std::string>()));
  return keys;
}

}  // namespace

std::optional<std::string> FeedUrlProblem(std::string_view url) {
  if (url.size() > kMaxFeedUrlBytes) return Concat("is longer than ", std::to_string(kMaxFeedUrlBytes), " bytes");
  std::string_view rest;
  if (url.starts_with("https://")) {
    rest = url.substr(8);
  } else if (url.starts_with("http://")) {
    rest = url.substr(7);
  } else {
    return "is not an http:// or https:// URL";
  }
  if (rest.empty() || rest.front() == '/') return "names no host";
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return "holds a space, a control or a non-ASCII character; percent-encode it";
    if (c == '\\') return "holds a \"\\\"";
    // The app kit appends "<channel>/feed.json" and "parts/<sha256>".
    if (c == '?' || c == '#') return "holds a query or a fragment, which the feed's file names cannot follow";
  }
  return std::nullopt;
}

std::optional<std::string> ChannelProblem(std::string_view channel) {
  auto allowed = [](char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (!first && (c == '.' || c == '_' || c == '-'));
  };
  if (channel.empty()) return "is empty";
  if (channel.size() > kMaxChannelCharacters) {
    return Concat("is longer than ", std::to_string(kMaxChannelCharacters), " characters");
  }
  if (!allowed(channel.front(), true)) return "does not start with a lower-case letter or a digit";
  for (const char c : channel) {
    if (!allowed(c, false)) return "holds a character other than lower-case letters, digits, \".\", \"_\" and \"-\"";
  }
  return std::nullopt;
}

std::expected<std::array<std::byte, 32>, std::string> Ed25519PublicKey(std::span<const std::byte> pem) {
  const std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return std::unexpected("cannot be read into OpenSSL");
  const std::unique_ptr<EVP_PKEY, FreeKey> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!key) return std::unexpected("holds no PEM public key (\"-----BEGIN PUBLIC KEY-----\")");
  if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    const char* type = EVP_PKEY_get0_type_name(key.get());
    return std::unexpected(Concat("holds a key of type ", type ? type : "unknown", ", not Ed25519"));
  }
  std::array<std::byte, 32> raw{};
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &length) != 1 ||
      length != raw.size()) {
    ERR_clear_error();
    return std::unexpected("holds an Ed25519 key that OpenSSL cannot give as 32 bytes");
  }
  return raw;
}

std::expected<std::optional<UpdatePlan>, PackError> ChooseUpdate(const UpdateFlags& flags,
                                                                 const PackageJson& package_json,
                                                                 const AppFolder& folder,
                                                                 std::string_view data_folder, bool has_version) {
  const nlohmann::json* lumaro = package_json.Find("lumaro");
  if (lumaro != nullptr && !lumaro->is_object()) lumaro = nullptr;  // refused with the identity
  auto json_feed = PackageJsonString(lumaro, "updateFeed", "\"lumaro\".\"updateFeed\"");
  if (!json_feed) return std::unexpected(json_feed.error());
  auto json_channel = PackageJsonString(lumaro, "updateChannel", "\"lumaro\".\"updateChannel\"");
  if (!json_channel) return std::unexpected(json_channel.error());
  auto json_keys = PackageJsonKeys(lumaro);
  if (!json_keys) return std::unexpected(json_keys.error());

  std::optional<Given> feed;
  if (flags.feed) {
    feed = FromFlag("--update-feed", *flags.feed);
  } else if (*json_feed) {
    feed = FromPackageJson("updateFeed", **json_feed);
  }
  std::optional<Given> channel;
  if (flags.channel) {
    channel = FromFlag("--update-channel", *flags.channel);
  } else if (*json_channel) {
    channel = FromPackageJson("updateChannel", **json_channel);
  }
  std::vector<Given> keys;
  for (const std::string& key : flags.keys) keys.push_back(FromFlag("--update-key", key));
  if (keys.empty()) keys = std::move(*json_keys);

  constexpr std::string_view kFeedFix =
      "give the feed's URL with --update-feed (or package.json's \"lumaro\".\"updateFeed\"), or leave it out";
  if (!feed) {
    if (!keys.empty()) return std::unexpected(Refused(keys.front(), "needs a feed whose releases it checks", kFeedFix));
    if (channel) return std::unexpected(Refused(*channel, "needs a feed to follow", kFeedFix));
    return std::nullopt;
  }
  if (auto problem = FeedUrlProblem(feed->value)) {
    return std::unexpected(Refused(*feed, *problem, Instead(*feed, kFeedExample, "--update-feed")));
  }
  if (channel) {
    if (auto problem = ChannelProblem(channel->value)) {
      return std::unexpected(Refused(*channel, *problem,
                                     Instead(*channel, "a channel such as \"stable\" or \"beta\"", "--update-channel")));
    }
  }
  if (keys.empty()) {
    return std::unexpected(Refused(*feed, "needs the public key the feed is signed with",
                                   "give it with --update-key PUBLIC.pem (or package.json's "
                                   "\"lumaro\".\"updateKeys\"); ./lumaro release keygen makes one"));
  }
  if (!has_version) {
    return std::unexpected(Refused(*feed, "needs the release's version, by which the feed orders releases",
                                   "give --version or package.json's \"version\""));
  }
  if (!flags.helper) {
    return std::unexpected(PackError{ErrorClass::kUsage,
                                     Concat(feed->shown, " cannot be used: it needs the update helper; give "
                                                         "lumaro-update.exe with --update-helper FILE (./lumaro pack "
                                                         "supplies it)")});
  }

  UpdatePlan plan;
  plan.settings.feed = feed->value.ends_with('/') ? feed->value : feed->value + "/";
  plan.settings.channel = channel ? channel->value : std::string(kDefaultChannel);
  plan.settings.product = std::string(data_folder);
  std::vector<std::pair<std::array<std::byte, 32>, const Given*>> seen;
  for (const Given& key : keys) {
    auto pem = key.from_flag ? ReadGivenFile(key.value, kMaxKeyFileBytes, key, kKeyFile) : ReadPackagedKey(folder, key);
    if (!pem) return std::unexpected(pem.error());
    // What the file holds is bad input wherever its name came from, as an icon's is.
    auto raw = Ed25519PublicKey(*pem);
    if (!raw) {
      return std::unexpected(PackError{ErrorClass::kBadInput,
                                       Concat(key.shown, " cannot be used: it ", raw.error(),
                                              "; give the public key that ./lumaro release keygen writes")});
    }
    const auto same = std::find_if(seen.begin(), seen.end(), [&](const auto& s) { return s.first == *raw; });
    if (same != seen.end()) {
      return std::unexpected(Refused(key, Concat("holds the same key as ", Quoted(same->second->value)),
                                     "give each key once"));
    }
    seen.emplace_back(*raw, &key);
    plan.settings.keys.push_back(Base64(*raw));
  }

  const Given helper = FromFlag("--update-helper", *flags.helper);
  auto bytes = ReadGivenFile(*flags.helper, kMaxHelperBytes, helper, "lumaro-update.exe");
  if (!bytes) return std::unexpected(bytes.error());
  const std::span<const std::byte> head(bytes->data(), std::min(bytes->size(), kAddonHeadSize));
  if (const auto kind = ForeignAddonKind(head)) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(helper.shown, " cannot be used: it is not a Windows x64 program (",
                                            *kind, "); give lumaro-update.exe from the windows "
                                            "build (./lumaro pack supplies it)")});
  }
  plan.helper = std::move(*bytes);
  return plan;
}

}  // namespace lumaro::pack
