// package.json reader; see package_json.h.
#include "tools/pack/package_json.h"

#include "tools/common/one_line.h"

namespace lumaro::pack {

const nlohmann::json* PackageJson::Find(const char* key) const {
  if (!document.is_object()) return nullptr;
  const auto found = document.find(key);
  return found == document.end() ? nullptr : &*found;
}

std::expected<PackageJson, PackError> ReadPackageJson(const AppFolder& folder) {
  PackageJson out{nullptr, (folder.root / "package.json").string()};
  const SourceFile* file = FindAppFile(folder, "package.json");
  if (!file) return out;
  const auto text = ReadAppFile(folder, *file);
  if (!text) return std::unexpected(text.error());
  const auto* bytes = reinterpret_cast<const char*>(text->data());
  out.document = nlohmann::json::parse(bytes, bytes + text->size(), nullptr, /*allow_exceptions=*/false);
  if (out.document.is_discarded()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, tools::Concat(tools::Quoted(out.path),
                                                                          " is not valid JSON")});
  }
  // Anything but an object holds none of the keys read from it.
  if (!out.document.is_object()) out.document = nullptr;
  return out;
}

}  // namespace lumaro::pack
