// package.json reader; see package_json.h.
#include "tools/pack/package_json.h"

#include <fstream>

#include "tools/common/one_line.h"

namespace lumaro::pack {

const nlohmann::json* PackageJson::Find(const char* key) const {
  if (!document.is_object()) return nullptr;
  const auto found = document.find(key);
  return found == document.end() ? nullptr : &*found;
}

std::expected<PackageJson, PackError> ReadPackageJson(const std::filesystem::path& app_dir) {
  const std::filesystem::path path = app_dir / "package.json";
  PackageJson out{nullptr, path.string()};
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return out;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(PackError{ErrorClass::kIo, tools::Concat(tools::Quoted(out.path), ": cannot open")});
  out.document = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (out.document.is_discarded()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, tools::Concat(tools::Quoted(out.path),
                                                                          " is not valid JSON")});
  }
  // Anything but an object holds none of the keys read from it.
  if (!out.document.is_object()) out.document = nullptr;
  return out;
}

}  // namespace lumaro::pack
