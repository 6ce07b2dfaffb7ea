// What the identity tests share: an app folder's identity as lmr-pack
// resolves it, and text as bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <expected>
#include <string_view>
#include <vector>

#include "tools/pack/app_identity.h"
#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack::testing {

inline std::expected<AppIdentity, PackError> Resolve(const TempTree& app, const IdentityOptions& options = {}) {
  app.Basics();
  const auto folder = ScanAppFolder(app.root());
  if (!folder) return std::unexpected(folder.error());
  auto package_json = ReadPackageJson(*folder);
  if (!package_json) return std::unexpected(package_json.error());
  return ChooseIdentity(options, *package_json, *folder);
}

inline std::vector<std::byte> Bytes(std::string_view text) {
  std::vector<std::byte> out(text.size());
  if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
  return out;
}

}  // namespace lumaro::pack::testing
