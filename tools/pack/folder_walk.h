// Walking below the app folder by descriptors, for the scan and the read:
// listing a folder, opening a file along a path with no link in it, and
// resolving a link one component at a time while knowing whether it stays
// inside the folder. Nothing here resolves a path by name a second time.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/common/unique_fd.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

// Messages that name a path of the folder.
PackError BadInput(const std::filesystem::path& path, std::string_view why);
PackError IoError(const std::filesystem::path& path, std::string_view what, int error);
PackError Changed(const std::filesystem::path& path, std::string_view how);

using FileId = std::pair<dev_t, ino_t>;
inline FileId IdOf(const struct stat& info) { return {info.st_dev, info.st_ino}; }

// The parts of a "/"-separated path, empty ones left out.
std::vector<std::string> SplitPath(std::string_view path);
// folder + "/" + leaf, or leaf alone below the root ("").
std::string JoinName(std::string_view folder, std::string_view leaf);

// The names in the folder open at fd, "." and ".." left out, or the errno.
std::expected<std::vector<std::string>, int> ListNames(int fd);

// Opens files by their path below the folder open at root, each component
// without following a link. Keeps the folders of the last path open, since
// the read goes through the files in name order and neighbours mostly share
// a folder.
class FolderOpener {
 public:
  explicit FolderOpener(int root) : root_(root) {}

  // A descriptor for the file (O_RDONLY | O_NONBLOCK), or the errno.
  std::expected<tools::UniqueFd, int> OpenFile(std::string_view path);

 private:
  int root_;
  std::vector<std::pair<std::string, tools::UniqueFd>> chain_;
};

// Where a link leads: a folder (open for listing) or a file, and its path
// below the root with no link in it.
struct LinkTarget {
  tools::UniqueFd folder;  // valid when the target is a folder
  std::string real;
  struct stat info;
};

// Resolves links the way the kernel does, but one component at a time by
// descriptors, knowing at each step whether it stands inside the root: a
// ".." inside the root is taken by reopening the parent from the root, never
// from where a moved folder now lies, and outside the root a step counts as
// inside again only on the root itself.
class LinkResolver {
 public:
  LinkResolver(int root, FileId root_id) : root_(root), root_id_(root_id) {}

  // The link leaf in the folder open at folder, whose path below the root is
  // folder_real; shown names it in messages. A link that leaves the root,
  // dangles or loops is bad input.
  std::expected<LinkTarget, PackError> Resolve(int folder, std::string_view folder_real, const std::string& leaf,
                                               const std::filesystem::path& shown);

 private:
  bool Enter(const std::string& text, std::deque<std::string>& todo);
  bool Up();

  int root_;
  FileId root_id_;
  tools::UniqueFd cur_;
  std::vector<std::string> real_;  // below the root, while inside_
  bool inside_ = true;
  struct stat target_info_ {};
};

}  // namespace lumaro::pack
