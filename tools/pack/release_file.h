// The release file: the pack tool's record, inside the package, of which
// release this is, so that the app can tell its runtimes' releases apart,
// and, when updates are on, where the app looks for them. It lies under a
// folder the app folder may not use, beside the update helper.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::pack {

inline constexpr std::string_view kPackToolFolder = ".lumaro";
inline constexpr std::string_view kReleaseFileName = ".lumaro/release.json";
// lumaro-update.exe, which the app kit starts to put a downloaded update in place.
inline constexpr std::string_view kUpdateHelperName = ".lumaro/update.exe";

// The "update" object the app kit and ./lumaro release read.
struct ReleaseUpdate {
  std::string feed;  // ends in "/"
  std::string channel;
  std::string product;            // the exe's data folder
  std::vector<std::string> keys;  // base64 of raw 32-byte Ed25519 public keys
};

// {"version":"<version>"} and, with update settings,
// "update":{"feed","channel","product","keys"}: compact, in that key order,
// so the same release always gives the same bytes.
std::string ReleaseFileContent(std::string_view version, const std::optional<ReleaseUpdate>& update = std::nullopt);

}  // namespace lumaro::pack
