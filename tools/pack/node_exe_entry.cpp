// node.exe from outside the app folder; see node_exe_entry.h.
#include "tools/pack/node_exe_entry.h"

#include <sys/stat.h>

#include <cstdint>
#include <limits>

#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"

namespace lumaro::pack {

std::expected<SourceFile, PackError> NodeExeEntry(const std::filesystem::path& app_dir,
                                                  const std::filesystem::path& node_exe) {
  namespace fs = std::filesystem;
  const std::string shown = tools::Concat("--node-exe ", tools::Quoted(node_exe.native()));
  // The read opens the file without following links, so keep the file a link
  // names (the cache may hand one out) and the identity the read will check.
  std::error_code ec;
  const fs::path source = fs::canonical(node_exe, ec);
  struct stat info {};
  if (ec || ::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::unexpected(PackError{ErrorClass::kBadInput, tools::Concat(shown, " is not a file")});
  }
  if (static_cast<std::uint64_t>(info.st_size) > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, tools::Concat(shown, ": file of 4 GiB or more")});
  }
  // Only the top level matters; a folder that cannot be listed is the scan's to report.
  for (fs::directory_iterator it(app_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    if (tools::CaseFoldKey(leaf) == tools::CaseFoldKey("node.exe")) {
      return std::unexpected(PackError{
          ErrorClass::kBadInput, tools::Concat(tools::Quoted(it->path().native()), " and ", shown,
                                               " both give the package's node.exe; remove one")});
    }
  }
  return SourceFile{"node.exe", source, static_cast<std::uint64_t>(info.st_size),
                    static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace lumaro::pack
