// The release file's content; see release_file.h.
#include "tools/pack/release_file.h"

#include <nlohmann/json.hpp>

namespace lumaro::pack {

std::string ReleaseFileContent(std::string_view version) {
  nlohmann::ordered_json release;
  release["version"] = std::string(version);
  return release.dump();
}

}  // namespace lumaro::pack
