// Reads an app folder into a package archive. The scan decides what goes in
// and refuses what the launcher or Windows could not reproduce; the read then
// fills the archive with the files' bytes, sorted by name bytes, "/" between
// folders, so that the same folder always gives the same archive. Both walk
// the folder by descriptors from the one the scan opened: no path below it is
// ever resolved by name, so a folder swapped for a link cannot lead outside.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/unique_fd.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

struct SourceFile {
  std::string name;  // archive name
  // Where its bytes are read from: for a file of the folder, its path below
  // the folder with no link in it ("/" between); for a file given apart from
  // the folder, an absolute path whose last component is no link.
  std::filesystem::path source;
  std::uint64_t size;
  std::uint64_t device;  // the file the scan saw: the read takes that one or none
  std::uint64_t inode;
  // Bytes the pack tool writes itself (the release file); no source then.
  std::optional<std::string> content = std::nullopt;
};

// Archive order, by how often a group changes: node.exe, then dependencies
// (any path through a node_modules folder), then the app's own files, then
// the release file, then the update helper; by name bytes within a group.
// Chunks are fixed slices of the archive, so a file that changes size moves
// every later chunk: what changes most goes last. The helper (some 60 KiB)
// follows the release file, whose chunk changes with every release anyway.
bool LayoutOrder(const SourceFile& a, const SourceFile& b);

struct AppFolder {
  std::filesystem::path root;              // as given, for messages
  tools::UniqueFd root_fd;                 // the folder the scan walked; every read starts here
  std::vector<SourceFile> files;           // in LayoutOrder
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

// Adds a file the pack tool writes (content in file.content) and checks the
// whole package again, as the scan does.
std::expected<void, PackError> AddGeneratedFile(AppFolder& folder, SourceFile file);

// The archive name a path in package.json gives ("/" or "\" between
// folders, "." parts dropped), or nullopt for one that could leave the
// folder: an absolute path, a drive, "..".
std::optional<std::string> AppFileArchiveName(std::string_view path);

// The scanned file named name (an archive name), or nullptr.
const SourceFile* FindAppFile(const AppFolder& folder, std::string_view name);

// A scanned file's bytes, at most limit of them: the one way anything reads
// the app folder. Opened without following a link and without blocking (a
// FIFO swapped in would otherwise wait for ever), then checked on the
// descriptor: a regular file, the same device and inode, the same size. A
// file that is no longer the one the scan saw is an I/O error naming it.
std::expected<std::vector<std::byte>, PackError> ReadAppFile(
    const AppFolder& folder, const SourceFile& file, std::size_t limit = std::numeric_limits<std::size_t>::max());

// files_done, files_total
using ReadProgress = std::function<void(std::size_t, std::size_t)>;

// Reads every file in full into the archive, with the same checks.
std::expected<std::vector<std::byte>, PackError> ReadAppArchive(const AppFolder& folder,
                                                                const ReadProgress& progress = {});

}  // namespace lumaro::pack
