// Build id checks and runtime folder names.

#include "launcher/build_id.h"

#include "platform/text.h"

namespace lumaro::launcher {

std::optional<std::string_view> ValidateBuildId(std::span<const std::byte, package::kBuildIdSize> field) {
  const std::string_view text(reinterpret_cast<const char*>(field.data()), field.size());
  if (!platform::IsWellFormedUtf8(text) || !package::IsHexText(text)) return std::nullopt;
  return text;
}

std::string RuntimeDirName(std::string_view build_id) {
  return "runtime-" + std::string(build_id);
}

std::string StagingDirName(std::string_view build_id, std::uint32_t process_id) {
  return "install-" + std::string(build_id) + "-" + std::to_string(process_id);
}

}  // namespace lumaro::launcher
