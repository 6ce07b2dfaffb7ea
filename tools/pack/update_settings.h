// The package's update settings: the feed the released app looks in, the
// channel it follows and the Ed25519 keys it trusts, from lmr-pack's flags
// over package.json's "lumaro" object; and the update helper that goes with
// them. Inside the package, so the BuildId and the exe's signature cover
// them. Every value is checked before anything is packed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/app_folder.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/package_json.h"
#include "tools/pack/release_file.h"

namespace lumaro::pack {

inline constexpr std::string_view kDefaultChannel = "stable";
// Measured on node.exe plus 1,800 files: a one-line app change then
// fetches 0.56% of the exe and one bumped dependency 8.2%, for a package
// 4.6% larger than with the 16 MiB default (4 MiB: 2.4% and 14.2%).
inline constexpr std::uint32_t kUpdateChunkSize = 2u << 20;
// A PEM public key is some 100 bytes; room for comments around it.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
// lumaro-update.exe is some 60 KiB.
inline constexpr std::size_t kMaxHelperBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxFeedUrlBytes = 2048;
inline constexpr std::size_t kMaxChannelCharacters = 64;

// What the command line set.
struct UpdateFlags {
  std::optional<std::string> feed;
  std::vector<std::string> keys;  // PEM files, in the order given
  std::optional<std::string> channel;
  std::optional<std::string> helper;  // lumaro-update.exe; used only when updates are on
};

// What the package carries when updates are on.
struct UpdatePlan {
  ReleaseUpdate settings;
  std::vector<std::byte> helper;
};

// Why a value cannot be used, or nullopt: an http:// or https:// URL with a
// host, nothing the app kit would read differently (spaces, controls, a
// query or fragment); a channel as the feed names it.
std::optional<std::string> FeedUrlProblem(std::string_view url);
std::optional<std::string> ChannelProblem(std::string_view channel);

// The raw 32 bytes of a PEM "PUBLIC KEY" holding an Ed25519 key, or why not.
std::expected<std::array<std::byte, 32>, std::string> Ed25519PublicKey(std::span<const std::byte> pem);

// Flags over package.json's "updateFeed", "updateKeys" (files of the app
// folder, read like its icon) and "updateChannel". nullopt when no feed is
// set (a helper without one is ignored: ./lumaro pack always passes it). A
// feed needs keys, a version and the helper; keys or a channel need a feed.
// A typed bad value is a usage error, a bad package.json value or file bad
// input, a missing helper a usage error.
std::expected<std::optional<UpdatePlan>, PackError> ChooseUpdate(const UpdateFlags& flags,
                                                                 const PackageJson& package_json,
                                                                 const AppFolder& folder,
                                                                 std::string_view data_folder, bool has_version);

}  // namespace lumaro::pack
