// Descriptor walks below the app folder; see folder_walk.h.
#include "tools/pack/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include "tools/common/one_line.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;
using tools::Concat;
using tools::UniqueFd;

// Linux's own bound on links followed in one resolution.
constexpr int kMaxLinkHops = 40;

// The text of the link at (at, leaf); leaf "" reads an O_PATH descriptor's own link.
std::optional<std::string> ReadLink(int at, const char* leaf) {
  std::string text(256, '\0');
  while (true) {
    const ssize_t got = ::readlinkat(at, leaf, text.data(), text.size());
    if (got < 0) return std::nullopt;
    if (static_cast<std::size_t>(got) < text.size()) {
      text.resize(static_cast<std::size_t>(got));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

PackError BadInput(const fs::path& path, std::string_view why) {
  return {ErrorClass::kBadInput, Concat("\"", path.native(), "\": ", why)};
}

PackError IoError(const fs::path& path, std::string_view what, int error) {
  return {ErrorClass::kIo, Concat("\"", path.native(), "\": ", what, ": ", std::strerror(error))};
}

PackError Changed(const fs::path& path, std::string_view how) {
  return {ErrorClass::kIo, Concat("\"", path.native(), "\": ", how, " while being packed; nothing written")};
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string JoinName(std::string_view folder, std::string_view leaf) {
  return folder.empty() ? std::string(leaf) : Concat(folder, "/", leaf);
}

std::expected<std::vector<std::string>, int> ListNames(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<DIR, DirCloser> listing(copy < 0 ? nullptr : ::fdopendir(copy));
  if (!listing) {
    const int error = errno;
    if (copy >= 0) ::close(copy);
    return std::unexpected(error);
  }
  ::rewinddir(listing.get());
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* item = ::readdir(listing.get());
    if (!item) break;
    const std::string_view leaf = item->d_name;
    if (leaf != "." && leaf != "..") names.emplace_back(leaf);
  }
  if (errno != 0) return std::unexpected(errno);
  return names;
}

std::expected<UniqueFd, int> FolderOpener::OpenFile(std::string_view path) {
  const std::vector<std::string> parts = SplitPath(path);
  if (parts.empty()) return std::unexpected(ENOENT);
  std::size_t keep = 0;
  while (keep < chain_.size() && keep + 1 < parts.size() && chain_[keep].first == parts[keep]) ++keep;
  chain_.resize(keep);
  for (std::size_t i = keep; i + 1 < parts.size(); ++i) {
    const int at = chain_.empty() ? root_ : chain_.back().second.get();
    UniqueFd next(::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return std::unexpected(errno);
    chain_.emplace_back(parts[i], std::move(next));
  }
  const int at = chain_.empty() ? root_ : chain_.back().second.get();
  UniqueFd file(::openat(at, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return std::unexpected(errno);
  return file;
}

std::expected<LinkTarget, PackError> LinkResolver::Resolve(int folder, std::string_view folder_real,
                                                         const std::string& leaf, const fs::path& shown) {
  auto unresolvable = [&](int error) {
    return std::unexpected(
        BadInput(shown, Concat("symbolic link that cannot be resolved (", std::strerror(error), ")")));
  };
  const std::optional<std::string> text = ReadLink(folder, leaf.c_str());
  if (!text) {
    if (errno == EINVAL) return std::unexpected(Changed(shown, "the link was replaced"));
    return std::unexpected(IoError(shown, "cannot read the link", errno));
  }
  cur_.Reset(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  real_ = SplitPath(folder_real);
  inside_ = true;
  std::deque<std::string> todo;
  if (!Enter(*text, todo)) return unresolvable(errno);
  int hops = 1;
  std::optional<std::string> file;  // the last component, when it is not a folder
  while (!todo.empty()) {
    const std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!Up()) return unresolvable(errno);
      continue;
    }
    UniqueFd next(::openat(cur_.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!next.valid() || ::fstat(next.get(), &info) != 0) return unresolvable(errno);
    if (S_ISLNK(info.st_mode)) {
      if (++hops > kMaxLinkHops) return unresolvable(ELOOP);
      const std::optional<std::string> more = ReadLink(next.get(), "");
      if (!more || !Enter(*more, todo)) return unresolvable(errno);
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      if (!todo.empty()) return unresolvable(ENOTDIR);
      file = part;
      target_info_ = info;
      break;
    }
    cur_ = std::move(next);
    if (inside_) {
      real_.push_back(part);
    } else if (IdOf(info) == root_id_) {
      inside_ = true;
    }
  }
  if (!inside_) {
    return std::unexpected(BadInput(shown, Concat("symbolic link to \"", *text, "\", outside the app folder")));
  }
  LinkTarget target;
  for (const std::string& part : real_) target.real = JoinName(target.real, part);
  if (file) {
    target.real = JoinName(target.real, *file);
    target.info = target_info_;
    return target;
  }
  target.folder.Reset(::openat(cur_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!target.folder.valid() || ::fstat(target.folder.get(), &target.info) != 0) {
    return std::unexpected(IoError(shown, "cannot open the link's folder", errno));
  }
  return target;
}

// Queues a link's text in front of what is left; an absolute one starts
// again from "/".
bool LinkResolver::Enter(const std::string& text, std::deque<std::string>& todo) {
  const std::vector<std::string> parts = SplitPath(text);
  todo.insert(todo.begin(), parts.begin(), parts.end());
  if (!text.starts_with('/')) return true;
  cur_.Reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  real_.clear();
  struct stat info {};
  if (!cur_.valid() || ::fstat(cur_.get(), &info) != 0) return false;
  inside_ = IdOf(info) == root_id_;
  return true;
}

bool LinkResolver::Up() {
  if (inside_ && !real_.empty()) {
    real_.pop_back();
    cur_.Reset(::openat(root_, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& part : real_) {
      if (!cur_.valid()) return false;
      cur_.Reset(::openat(cur_.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return cur_.valid();
  }
  cur_.Reset(::openat(cur_.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!cur_.valid() || ::fstat(cur_.get(), &info) != 0) return false;
  inside_ = IdOf(info) == root_id_;
  real_.clear();
  return true;
}

}  // namespace lumaro::pack
