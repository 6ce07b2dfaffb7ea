// node.exe from outside the app folder; see node_exe_entry.h.
#include "tools/pack/node_exe_entry.h"

#include <cstdint>
#include <limits>

#include "tools/pack/windows_names.h"

namespace lumaro::pack {

std::expected<SourceFile, PackError> NodeExeEntry(const std::filesystem::path& app_dir,
                                                  const std::filesystem::path& node_exe) {
  namespace fs = std::filesystem;
  std::string shown = "--node-exe \"";
  shown.append(node_exe.string()).append("\"");
  std::error_code ec;
  if (!fs::is_regular_file(node_exe, ec)) {
    return std::unexpected(PackError{ErrorClass::kBadInput, shown + " is not a file"});
  }
  const std::uintmax_t size = fs::file_size(node_exe, ec);
  if (ec) return std::unexpected(PackError{ErrorClass::kIo, shown + ": cannot read its size: " + ec.message()});
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, shown + ": file of 4 GiB or more"});
  }
  // Only the top level matters; a folder that cannot be listed is the scan's to report.
  for (fs::directory_iterator it(app_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    if (CaseFoldKey(leaf) == CaseFoldKey("node.exe")) {
      std::string message = "\"";
      message.append(it->path().string()).append("\" and ").append(shown);
      message.append(" both give the package's node.exe; remove one");
      return std::unexpected(PackError{ErrorClass::kBadInput, std::move(message)});
    }
  }
  return SourceFile{"node.exe", node_exe, size};
}

}  // namespace lumaro::pack
