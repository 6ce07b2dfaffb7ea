// Reads an app folder into a package archive. The scan decides what goes in
// and refuses what the launcher or Windows could not reproduce; the read then
// fills the archive with the files' bytes, sorted by name bytes, "/" between
// folders, so that the same folder always gives the same archive.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/pack/pack_error.h"

namespace lumaro::pack {

struct SourceFile {
  std::string name;              // archive name
  std::filesystem::path source;  // where its bytes are read from, never through a link
  std::uint64_t size;
  std::uint64_t device;  // the file the scan saw: the read takes that one or none
  std::uint64_t inode;
};

struct AppFolder {
  std::vector<SourceFile> files;           // sorted by name bytes
  std::vector<std::string> empty_folders;  // outermost folders with no file below them
  std::size_t archive_size = 0;
};

// Walks root. Symbolic links are followed when they resolve inside root: a
// link to a file carries that file's content, a link to a folder carries the
// folder again under the link's name; links that leave root, dangle or would
// loop are refused, and so is anything that is neither a file nor a folder.
// extra entries (a node.exe given apart from the folder) join the folder's
// files before the names are checked.
std::expected<AppFolder, PackError> ScanAppFolder(const std::filesystem::path& root,
                                                  std::span<const SourceFile> extra = {});

// files_done, files_total
using ReadProgress = std::function<void(std::size_t, std::size_t)>;

// Reads every file in full into the archive. A file that is no longer the one
// the scan saw (replaced, a link or FIFO now, another size) is an I/O error.
std::expected<std::vector<std::byte>, PackError> ReadAppArchive(const AppFolder& folder,
                                                                const ReadProgress& progress = {});

}  // namespace lumaro::pack
