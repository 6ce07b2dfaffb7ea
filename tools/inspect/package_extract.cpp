// See package_extract.h. Entries come sorted, so neighbours mostly share a
// folder: the last folder opened is kept for the next entry.
#include "tools/inspect/package_extract.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace lumaro::inspect {
namespace {

InspectError Error(ErrorClass error_class, const std::string& path, const std::string& what) {
  return {error_class, "\"" + path + "\": " + what};
}

// EEXIST and a link or non-folder in the way are refusals; the rest are I/O.
InspectError FromErrno(int error, const std::string& path, const std::string& what) {
  if (error == EEXIST) return Error(ErrorClass::kRefused, path, "exists already; not overwritten");
  if (error == ELOOP || error == ENOTDIR) {
    return Error(ErrorClass::kRefused, path, "is a symbolic link or not a folder; not followed");
  }
  return Error(ErrorClass::kIo, path, what + ": " + std::strerror(error));
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::expected<bool, int> IsEmptyFolder(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(errno);
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
  if (!dir) {
    const int error = errno;
    ::close(copy);
    return std::unexpected(error);
  }
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return false;
  }
  if (errno != 0) return std::unexpected(errno);
  return true;
}

std::expected<void, InspectError> WriteAll(int fd, std::span<const std::byte> data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return std::unexpected(FromErrno(wrote < 0 ? errno : EIO, path, "cannot write"));
    done += static_cast<std::size_t>(wrote);
  }
  return {};
}

std::expected<UniqueFd, InspectError> CheckedEmpty(UniqueFd fd, const std::string& dir) {
  const auto empty = IsEmptyFolder(fd.get());
  if (!empty) return std::unexpected(FromErrno(empty.error(), dir, "cannot list the folder"));
  if (!*empty) return std::unexpected(Error(ErrorClass::kRefused, dir, "is not empty; extract into a new or empty folder"));
  return fd;
}

}  // namespace

std::expected<UniqueFd, InspectError> OpenEmptyTarget(const std::string& dir) {
  // The target is its last real component, opened below its parent without
  // following a link: "out/", "out/." and "out/./" all name out itself, and
  // a link there is refused whatever follows it. The parents are the
  // user's own path and are followed.
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= dir.size();) {
    const std::size_t slash = std::min(dir.find('/', start), dir.size());
    parts.emplace_back(dir.substr(start, slash - start));
    start = slash + 1;
  }
  while (!parts.empty() && (parts.back().empty() || parts.back() == ".")) parts.pop_back();
  const bool absolute = !dir.empty() && dir.front() == '/';
  if (parts.empty() || (parts.size() == 1 && parts.front().empty())) {
    // "/", "." or "./": a folder that is never a link itself.
    UniqueFd fd(::open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return std::unexpected(FromErrno(errno, dir, "cannot open the folder"));
    return CheckedEmpty(std::move(fd), dir);
  }
  const std::string leaf = parts.back();
  if (leaf == "..") return std::unexpected(Error(ErrorClass::kRefused, dir, "ends in \"..\"; name the folder itself"));
  parts.pop_back();
  std::string parent;
  if (absolute) parent.push_back('/');
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!parent.empty() && parent.back() != '/') parent.push_back('/');
    parent.append(part);
  }
  // Appended, not assigned: GCC 12 misreads the assignment of a literal here
  // as overlapping copies (-Wrestrict, GCC bug 105651).
  if (parent.empty()) parent.push_back('.');

  UniqueFd at(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid() && errno == ENOENT) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return std::unexpected(Error(ErrorClass::kIo, dir, "cannot create the folder: " + ec.message()));
    at.Reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!at.valid()) return std::unexpected(FromErrno(errno, dir, "cannot open the folder's parent"));
  if (::mkdirat(at.get(), leaf.c_str(), 0755) != 0 && errno != EEXIST) {
    return std::unexpected(FromErrno(errno, dir, "cannot create the folder"));
  }
  // One lookup of the name, judged by what it found.
  UniqueFd found(::openat(at.get(), leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!found.valid() || ::fstat(found.get(), &info) != 0) {
    return std::unexpected(FromErrno(errno, dir, "cannot open the folder"));
  }
  if (S_ISLNK(info.st_mode)) return std::unexpected(Error(ErrorClass::kRefused, dir, "is a symbolic link; not followed"));
  if (!S_ISDIR(info.st_mode)) return std::unexpected(Error(ErrorClass::kRefused, dir, "exists and is not a folder"));
  UniqueFd fd(::openat(found.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(FromErrno(errno, dir, "cannot open the folder"));
  return CheckedEmpty(std::move(fd), dir);
}

std::expected<void, InspectError> WriteEntries(int root, std::span<const PackageEntry> entries, const std::string& dir) {
  std::string open_folder;  // what folder holds, relative to root; "" is root itself
  UniqueFd folder;
  for (const PackageEntry& entry : entries) {
    const std::vector<std::string_view> parts = PathComponents(entry.name);
    std::string parent;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent.append(i ? "/" : "").append(parts[i]);
    if (parent != open_folder) {
      folder.Reset();
      open_folder.clear();
      int at = root;
      std::string path = dir;
      for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string name(parts[i]);
        path += "/" + name;
        if (::mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) {
          return std::unexpected(FromErrno(errno, path, "cannot create the folder"));
        }
        UniqueFd next(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) return std::unexpected(FromErrno(errno, path, "cannot open the folder"));
        folder = std::move(next);
        at = folder.get();
      }
      open_folder = parent;
    }
    const int at = parent.empty() ? root : folder.get();
    const std::string name(parts.back());
    const std::string path = dir + "/" + (parent.empty() ? name : parent + "/" + name);
    UniqueFd file(::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.valid()) return std::unexpected(FromErrno(errno, path, "cannot create the file"));
    if (auto written = WriteAll(file.get(), entry.data, path); !written) return written;
    if (file.Close() != 0) return std::unexpected(FromErrno(errno, path, "cannot write"));
  }
  return {};
}

std::expected<std::size_t, InspectError> ExtractPackage(const Inspection& inspection, const std::string& dir) {
  if (!inspection.intact() || !inspection.entries) {
    return std::unexpected(InspectError{ErrorClass::kDamaged, "the payload is damaged (" +
                                                                  inspection.damage.value_or("not checked") +
                                                                  "); nothing extracted"});
  }
  auto root = OpenEmptyTarget(dir);
  if (!root) return std::unexpected(root.error());
  if (auto written = WriteEntries(root->get(), *inspection.entries, dir); !written) {
    return std::unexpected(written.error());
  }
  return inspection.entries->size();
}

}  // namespace lumaro::inspect
