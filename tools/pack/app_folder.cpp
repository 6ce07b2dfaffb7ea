// App folder scan and read for the pack tool; see app_folder.h.
#include "tools/pack/app_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "package/archive.h"
#include "tools/common/one_line.h"
#include "tools/common/unique_fd.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/package_names.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;
using tools::Concat;

PackError BadInput(const fs::path& path, std::string_view why) {
  return {ErrorClass::kBadInput, Concat("\"", path.native(), "\": ", why)};
}

PackError IoError(const fs::path& path, std::string_view what, int error) {
  return {ErrorClass::kIo, Concat("\"", path.native(), "\": ", what, ": ", std::strerror(error))};
}

PackError Changed(const fs::path& path, std::string_view how) {
  return {ErrorClass::kIo, Concat("\"", path.native(), "\": ", how, " while being packed; nothing written")};
}

bool IsWithin(const fs::path& canonical_root, const fs::path& canonical_path) {
  auto [root_end, path_end] = std::mismatch(canonical_root.begin(), canonical_root.end(),
                                            canonical_path.begin(), canonical_path.end());
  (void)path_end;
  return root_end == canonical_root.end();
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Walks the folder with its own list of folders, not the call stack: a deep
// tree must not overflow it. Each folder is opened without following a link
// at its end and checked to be the one its parent listed; a file's device and
// inode are kept, so that the read can tell it still has the file it scanned.
class Scanner {
 public:
  Scanner(fs::path root, std::span<const SourceFile> extra) : root_(std::move(root)), extra_(extra) {}

  std::expected<AppFolder, PackError> Run() {
    std::error_code ec;
    struct stat info {};
    if (::stat(root_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return std::unexpected(PackError{ErrorClass::kBadInput, Concat("\"", root_.native(), "\" is not a folder")});
    }
    canonical_root_ = fs::canonical(root_, ec);
    if (ec) return std::unexpected(IoError(root_, "cannot resolve the folder", ec.value()));
    folders_.push_back({root_, "", info, kNoParent});
    for (std::size_t next = 0; next < folders_.size(); ++next) {
      if (auto listed = List(next); !listed) return std::unexpected(listed.error());
    }
    result_.files.insert(result_.files.end(), extra_.begin(), extra_.end());

    // Folders come after their parents: add each one's count to its parent's.
    for (std::size_t i = folders_.size(); i-- > 1;) folders_[folders_[i].parent].files += folders_[i].files;
    for (std::size_t i = 1; i < folders_.size(); ++i) {
      if (folders_[i].files == 0) result_.empty_folders.push_back(folders_[i].name);
    }
    std::sort(result_.files.begin(), result_.files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    // Keep only the outermost of nested empty folders.
    std::sort(result_.empty_folders.begin(), result_.empty_folders.end());
    std::vector<std::string> outermost;
    for (const std::string& folder : result_.empty_folders) {
      bool nested = false;
      for (std::size_t slash = folder.find('/'); slash != std::string::npos && !nested;
           slash = folder.find('/', slash + 1)) {
        nested = std::binary_search(result_.empty_folders.begin(), result_.empty_folders.end(),
                                    folder.substr(0, slash));
      }
      if (!nested) outermost.push_back(folder);
    }
    result_.empty_folders = std::move(outermost);

    std::vector<std::string> names;
    names.reserve(result_.files.size());
    for (const SourceFile& file : result_.files) names.push_back(file.name);
    if (auto checked = CheckPackageNames(names, root_.native()); !checked) {
      return std::unexpected(checked.error());
    }
    std::vector<EntryShape> shapes;
    shapes.reserve(result_.files.size());
    for (const SourceFile& file : result_.files) shapes.push_back({file.name.size(), file.size});
    auto size = ArchiveSize(shapes);
    if (!size) {
      return std::unexpected(PackError{size.error().error_class,
                                       Concat("\"", root_.native(), "\": ", size.error().message)});
    }
    result_.archive_size = *size;
    return std::move(result_);
  }

 private:
  static constexpr std::size_t kNoParent = SIZE_MAX;

  struct Folder {
    fs::path path;     // opened to list it: for a linked folder, its target
    std::string name;  // in the archive; "" for the root
    struct stat info;  // what the parent's listing saw
    std::size_t parent;
    std::size_t files = 0;  // directly inside, then (after the walk) below
  };

  std::expected<void, PackError> List(std::size_t index) {
    const fs::path dir = folders_[index].path;
    const std::string prefix = folders_[index].name;
    // The root may be given as a link; below it, nothing is opened through one.
    const int follow = index == 0 ? 0 : O_NOFOLLOW;
    tools::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | follow));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
      if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(Changed(dir, "the folder was replaced"));
      return std::unexpected(IoError(dir, "cannot open the folder", errno));
    }
    if (!SameFile(info, folders_[index].info)) return std::unexpected(Changed(dir, "the folder was replaced"));
    const int copy = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<DIR, DirCloser> listing(copy < 0 ? nullptr : ::fdopendir(copy));
    if (!listing) {
      const int error = errno;
      if (copy >= 0) ::close(copy);
      return std::unexpected(IoError(dir, "cannot list the folder", error));
    }
    while (true) {
      errno = 0;
      const dirent* item = ::readdir(listing.get());
      if (!item) break;
      const std::string_view leaf = item->d_name;
      if (leaf == "." || leaf == "..") continue;
      fs::path path = dir / leaf;
      std::string name = prefix.empty() ? std::string(leaf) : Concat(prefix, "/", leaf);

      struct stat entry {};
      if (::fstatat(fd.get(), item->d_name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(IoError(path, "cannot read its attributes", errno));
      }
      fs::path source = path;
      const bool link = S_ISLNK(entry.st_mode);
      if (link) {
        std::error_code ec;
        source = fs::canonical(path, ec);
        if (ec) return std::unexpected(BadInput(path, Concat("symbolic link that cannot be resolved (", ec.message(), ")")));
        if (!IsWithin(canonical_root_, source)) {
          return std::unexpected(BadInput(path, Concat("symbolic link to \"", source.native(), "\", outside the app folder")));
        }
        if (::stat(source.c_str(), &entry) != 0) {
          return std::unexpected(IoError(path, "cannot read its target's attributes", errno));
        }
      }

      if (S_ISDIR(entry.st_mode)) {
        for (std::size_t up = index; up != kNoParent; up = folders_[up].parent) {
          if (SameFile(folders_[up].info, entry)) {
            return std::unexpected(BadInput(path, Concat(link ? "symbolic link" : "folder", " that makes a loop back to \"",
                                                         folders_[up].path.native(), "\"")));
          }
        }
        folders_.push_back({std::move(source), std::move(name), entry, index});
      } else if (S_ISREG(entry.st_mode)) {
        const auto size = static_cast<std::uint64_t>(entry.st_size);
        if (size > std::numeric_limits<std::uint32_t>::max()) {
          return std::unexpected(BadInput(path, "file of 4 GiB or more; a package entry holds less"));
        }
        result_.files.push_back({std::move(name), std::move(source), size, entry.st_dev, entry.st_ino});
        ++folders_[index].files;
      } else {
        return std::unexpected(BadInput(path, "neither a file nor a folder"));
      }
    }
    if (errno != 0) return std::unexpected(IoError(dir, "cannot list the folder", errno));
    return {};
  }

  fs::path root_;
  std::span<const SourceFile> extra_;
  fs::path canonical_root_;
  std::vector<Folder> folders_;
  AppFolder result_;
};

// Reads exactly out.size() bytes from the file the scan saw, and checks that
// nothing follows them. Opened without following a link and without
// blocking (a FIFO swapped in would otherwise wait for ever), then checked
// on the descriptor: the same device and inode, a regular file, the same size.
std::expected<void, PackError> ReadWhole(const SourceFile& file, std::span<std::byte> out) {
  const fs::path& path = file.source;
  tools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) return std::unexpected(Changed(path, "the file became a symbolic link"));
    return std::unexpected(IoError(path, "cannot open", errno));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(IoError(path, "cannot read its attributes", errno));
  if (!S_ISREG(info.st_mode) || info.st_dev != file.device || info.st_ino != file.inode) {
    return std::unexpected(Changed(path, "the file was replaced"));
  }
  if (static_cast<std::uint64_t>(info.st_size) != out.size()) {
    return std::unexpected(Changed(path, "the file changed size"));
  }
  std::size_t done = 0;
  while (true) {
    std::byte spare;
    const bool tail = done == out.size();
    const ssize_t got = tail ? ::read(fd.get(), &spare, 1)
                             : ::read(fd.get(), out.data() + done, out.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError(path, "cannot read", errno));
    }
    if (got == 0 || tail) {
      if (got == 0 && tail) return {};
      return std::unexpected(Changed(path, "the file changed size"));
    }
    done += static_cast<std::size_t>(got);
  }
}

}  // namespace

std::expected<AppFolder, PackError> ScanAppFolder(const std::filesystem::path& root,
                                                  std::span<const SourceFile> extra) {
  return Scanner(root, extra).Run();
}

std::expected<std::vector<std::byte>, PackError> ReadAppArchive(const AppFolder& folder,
                                                                const ReadProgress& progress) {
  std::vector<std::byte> archive(folder.archive_size);
  PutEntryCount(archive.data(), folder.files.size());
  std::byte* out = archive.data() + package::kArchiveCountSize;
  const std::byte* const end = archive.data() + archive.size();
  for (std::size_t i = 0; i < folder.files.size(); ++i) {
    const SourceFile& file = folder.files[i];
    out = PutEntryHead(out, file.name, static_cast<std::uint32_t>(file.size));
    if (static_cast<std::uint64_t>(end - out) < file.size) {
      return std::unexpected(Changed(file.source, "the file changed size"));
    }
    if (auto read = ReadWhole(file, std::span(out, file.size)); !read) {
      return std::unexpected(read.error());
    }
    out += file.size;
    if (progress) progress(i + 1, folder.files.size());
  }
  return archive;
}

}  // namespace lumaro::pack
