// The app's package.json, read and parsed once: the release's version and the
// exe's identity are both taken from this one document.
#pragma once

#include <expected>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "tools/pack/app_folder.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

// npm's own package.json files are a few KiB; the largest in common use
// (with long "files" or "exports" maps) stay well under 100 KiB. Above
// 1 MiB it is not a manifest, and it is refused before it is read whole.
inline constexpr std::size_t kMaxPackageJsonBytes = 1024 * 1024;
// "exports" conditions nest a handful of levels; 64 leaves room for any
// real one and bounds what a hostile one costs.
inline constexpr std::size_t kMaxPackageJsonDepth = 64;

struct PackageJson {
  nlohmann::json document;  // an object, or null when the app has no package.json
  std::string path;         // for messages

  // The member key of the top-level object, or nullptr.
  const nlohmann::json* Find(const char* key) const;
};

// A string value of package.json, or of its "lumaro" object (object may be
// null); absent or empty (as npm init writes "description": "") is
// nullopt, anything but a string is refused, naming it as shown_as.
std::expected<std::optional<std::string>, PackError> PackageJsonString(const nlohmann::json* object, const char* key,
                                                                       std::string_view shown_as);

// The scanned folder's package.json, read through the scan's checked open; an
// absent file gives an empty document. A file that is not JSON is refused
// rather than passed over: what it says might have been meant for this exe;
// so is one over the bounds above.
std::expected<PackageJson, PackError> ReadPackageJson(const AppFolder& folder);

}  // namespace lumaro::pack
