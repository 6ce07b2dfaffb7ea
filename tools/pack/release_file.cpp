// The release file's content; see release_file.h.
#include "tools/pack/release_file.h"

#include <nlohmann/json.hpp>

namespace lumaro::pack {

std::string ReleaseFileContent(std::string_view version, const std::optional<ReleaseUpdate>& update) {
  nlohmann::ordered_json release;
  release["version"] = std::string(version);
  if (update) {
    nlohmann::ordered_json& settings = release["update"];
    settings["feed"] = update->feed;
    settings["channel"] = update->channel;
    settings["product"] = update->product;
    settings["keys"] = update->keys;
  }
  return release.dump();
}

}  // namespace lumaro::pack
