// App folder scan and read for the pack tool; see app_folder.h.
#include "tools/pack/app_folder.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "package/archive.h"
#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/folder_walk.h"
#include "tools/pack/package_names.h"
#include "tools/pack/release_file.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;
using tools::Concat;
using tools::UniqueFd;

std::expected<void, PackError> Arrange(AppFolder& folder);

// A deep tree holds one descriptor per level while it is walked: take what
// the system allows.
void RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Walks the folder depth first with its own stack, not the call stack: a
// deep tree must not overflow it. Each level holds its folder's descriptor
// and what is left of its listing; everything below is opened from there
// without following a link, and a link is resolved by LinkResolver. A file's
// path below the root (with no link), device and inode are kept, so that the
// read opens that very file or none.
class Scanner {
 public:
  Scanner(fs::path root, std::span<const SourceFile> extra) : extra_(extra) { result_.root = std::move(root); }

  std::expected<AppFolder, PackError> Run() {
    const fs::path& root = result_.root;
    // The root may be given as a link; below it, nothing is opened through one.
    result_.root_fd.Reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!result_.root_fd.valid() || ::fstat(result_.root_fd.get(), &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        return std::unexpected(PackError{ErrorClass::kBadInput, Concat("\"", root.native(), "\" is not a folder")});
      }
      return std::unexpected(IoError(root, "cannot open the folder", errno));
    }
    RaiseDescriptorLimit();
    resolver_.emplace(result_.root_fd.get(), IdOf(info));
    if (auto pushed = Push(UniqueFd(::fcntl(result_.root_fd.get(), F_DUPFD_CLOEXEC, 0)), "", "", root); !pushed) {
      return std::unexpected(pushed.error());
    }
    while (!levels_.empty()) {
      Level& top = levels_.back();
      if (top.pending.empty()) {
        Pop();
        continue;
      }
      const std::string leaf = std::move(top.pending.back());
      top.pending.pop_back();
      if (auto looked = Look(leaf); !looked) return std::unexpected(looked.error());
    }
    return Finish();
  }

 private:
  struct Level {
    UniqueFd fd;
    std::size_t name_end;  // name_'s length at this level
    std::string real;      // below the root, no link in it
    FileId id;
    std::vector<std::string> pending;
    std::size_t files = 0;  // below, once its folders are done
  };

  std::expected<void, PackError> Push(UniqueFd fd, std::string_view leaf, std::string real, const fs::path& shown) {
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return std::unexpected(IoError(shown, "cannot open the folder", errno));
    auto names = ListNames(fd.get());
    if (!names) return std::unexpected(IoError(shown, "cannot list the folder", names.error()));
    if (!leaf.empty()) name_ = JoinName(name_, leaf);
    on_stack_.emplace(IdOf(info), levels_.size());
    levels_.push_back({std::move(fd), name_.size(), std::move(real), IdOf(info), std::move(*names)});
    return {};
  }

  void Pop() {
    Level& done = levels_.back();
    if (levels_.size() > 1) {
      if (done.files == 0) result_.empty_folders.push_back(name_);
      levels_[levels_.size() - 2].files += done.files;
      name_.resize(levels_[levels_.size() - 2].name_end);
    }
    on_stack_.erase(done.id);
    levels_.pop_back();
  }

  std::expected<void, PackError> Look(const std::string& leaf) {
    const Level& top = levels_.back();
    const std::string name = JoinName(name_, leaf);
    const fs::path shown = result_.root / name;
    struct stat entry {};
    if (::fstatat(top.fd.get(), leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      return std::unexpected(IoError(shown, "cannot read its attributes", errno));
    }
    if (S_ISDIR(entry.st_mode)) {
      UniqueFd folder(::openat(top.fd.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat opened {};
      if (!folder.valid() || ::fstat(folder.get(), &opened) != 0) {
        if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(Changed(shown, "the folder was replaced"));
        return std::unexpected(IoError(shown, "cannot open the folder", errno));
      }
      if (IdOf(opened) != IdOf(entry)) return std::unexpected(Changed(shown, "the folder was replaced"));
      return Descend(std::move(folder), entry, leaf, JoinName(top.real, leaf), false, shown);
    }
    if (S_ISREG(entry.st_mode)) return AddFile(name, JoinName(top.real, leaf), entry, shown);
    if (!S_ISLNK(entry.st_mode)) return std::unexpected(BadInput(shown, "neither a file nor a folder"));

    auto target = resolver_->Resolve(top.fd.get(), top.real, leaf, shown);
    if (!target) return std::unexpected(target.error());
    if (target->folder.valid()) {
      return Descend(std::move(target->folder), target->info, leaf, std::move(target->real), true, shown);
    }
    if (S_ISREG(target->info.st_mode)) return AddFile(name, target->real, target->info, shown);
    return std::unexpected(BadInput(shown, "neither a file nor a folder"));
  }

  std::expected<void, PackError> Descend(UniqueFd folder, const struct stat& info, std::string_view leaf,
                                         std::string real, bool link, const fs::path& shown) {
    if (const auto loop = on_stack_.find(IdOf(info)); loop != on_stack_.end()) {
      const std::size_t end = loop->second == 0 ? 0 : levels_[loop->second].name_end;
      return std::unexpected(BadInput(shown, Concat(link ? "symbolic link" : "folder", " that makes a loop back to \"",
                                                    (result_.root / name_.substr(0, end)).native(), "\"")));
    }
    return Push(std::move(folder), leaf, std::move(real), shown);
  }

  std::expected<void, PackError> AddFile(const std::string& name, std::string real, const struct stat& info,
                                         const fs::path& shown) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(BadInput(shown, "file of 4 GiB or more; a package entry holds less"));
    }
    result_.files.push_back({name, std::move(real), size, info.st_dev, info.st_ino});
    ++levels_.back().files;
    return {};
  }

  std::expected<AppFolder, PackError> Finish() {
    if (auto reserved = RefuseReservedFolder(); !reserved) return std::unexpected(reserved.error());
    result_.files.insert(result_.files.end(), extra_.begin(), extra_.end());
    // Keep only the outermost of nested empty folders.
    std::vector<std::string>& empty = result_.empty_folders;
    std::sort(empty.begin(), empty.end());
    std::vector<std::string> outermost;
    for (const std::string& folder : empty) {
      bool nested = false;
      for (std::size_t slash = folder.find('/'); slash != std::string::npos && !nested;
           slash = folder.find('/', slash + 1)) {
        nested = std::binary_search(empty.begin(), empty.end(), folder.substr(0, slash));
      }
      if (!nested) outermost.push_back(folder);
    }
    empty = std::move(outermost);
    if (auto arranged = Arrange(result_); !arranged) return std::unexpected(arranged.error());
    return std::move(result_);
  }

  // The pack tool's own files go under .lumaro/: the app may not bring one,
  // in any letter case, or the two would meet in one folder on Windows.
  std::expected<void, PackError> RefuseReservedFolder() const {
    auto reserved = [](std::string_view name) {
      return tools::CaseFoldKey(name.substr(0, name.find('/'))) == tools::CaseFoldKey(kPackToolFolder);
    };
    for (const SourceFile& file : result_.files) {
      if (reserved(file.name)) return std::unexpected(ReservedMessage(file.name));
    }
    for (const std::string& folder : result_.empty_folders) {
      if (reserved(folder)) return std::unexpected(ReservedMessage(folder));
    }
    return {};
  }

  PackError ReservedMessage(std::string_view name) const {
    const std::string top(name.substr(0, name.find('/')));
    return BadInput(result_.root / top, Concat("the name ", kPackToolFolder, " is reserved for what the pack tool "
                                               "writes into the package (the release file, the update helper); rename it"));
  }

  std::span<const SourceFile> extra_;
  AppFolder result_;
  std::optional<LinkResolver> resolver_;
  std::vector<Level> levels_;
  std::map<FileId, std::size_t> on_stack_;  // the levels' folders, for loops
  std::string name_;                        // the top level's archive name
};

// Puts the files in layout order and checks the whole package: names, and
// the archive's size limits.
std::expected<void, PackError> Arrange(AppFolder& folder) {
  std::sort(folder.files.begin(), folder.files.end(), LayoutOrder);
  std::vector<std::string> names;
  names.reserve(folder.files.size());
  for (const SourceFile& file : folder.files) names.push_back(file.name);
  if (auto checked = CheckPackageNames(names, folder.root.native()); !checked) {
    return std::unexpected(checked.error());
  }
  std::vector<EntryShape> shapes;
  shapes.reserve(folder.files.size());
  for (const SourceFile& file : folder.files) shapes.push_back({file.name.size(), file.size});
  auto size = ArchiveSize(shapes);
  if (!size) {
    return std::unexpected(PackError{size.error().error_class,
                                     Concat("\"", folder.root.native(), "\": ", size.error().message)});
  }
  folder.archive_size = *size;
  return {};
}

fs::path Shown(const AppFolder& folder, const SourceFile& file) {
  return file.source.is_absolute() ? file.source : folder.root / file.source;
}

// The checked open and read of one scanned file into out (at most its size).
std::expected<void, PackError> ReadChecked(const AppFolder& folder, const SourceFile& file, FolderOpener& opener,
                                           std::span<std::byte> out) {
  if (file.content) {
    if (out.size() > file.content->size()) return std::unexpected(Changed(Shown(folder, file), "the file changed size"));
    std::memcpy(out.data(), file.content->data(), out.size());
    return {};
  }
  const fs::path shown = Shown(folder, file);
  std::expected<UniqueFd, int> fd;
  if (file.source.is_absolute()) {
    fd->Reset(::open(file.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd->valid()) fd = std::unexpected(errno);
  } else {
    fd = opener.OpenFile(file.source.native());
  }
  if (!fd) {
    if (fd.error() == ELOOP || fd.error() == ENOTDIR) {
      return std::unexpected(Changed(shown, "the file or a folder above it became a symbolic link"));
    }
    return std::unexpected(IoError(shown, "cannot open", fd.error()));
  }
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(IoError(shown, "cannot read its attributes", errno));
  if (!S_ISREG(info.st_mode) || info.st_dev != file.device || info.st_ino != file.inode) {
    return std::unexpected(Changed(shown, "the file was replaced"));
  }
  if (static_cast<std::uint64_t>(info.st_size) != file.size) {
    return std::unexpected(Changed(shown, "the file changed size"));
  }
  // A whole read also checks that nothing follows the bytes the scan counted.
  const bool whole = out.size() == file.size;
  std::size_t done = 0;
  while (true) {
    std::byte spare;
    const bool tail = done == out.size();
    if (tail && !whole) return {};
    const ssize_t got = tail ? ::read(fd->get(), &spare, 1) : ::read(fd->get(), out.data() + done, out.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError(shown, "cannot read", errno));
    }
    if (got == 0 || tail) {
      if (got == 0 && tail) return {};
      return std::unexpected(Changed(shown, "the file changed size"));
    }
    done += static_cast<std::size_t>(got);
  }
}

}  // namespace

std::expected<AppFolder, PackError> ScanAppFolder(const std::filesystem::path& root,
                                                  std::span<const SourceFile> extra) {
  return Scanner(root, extra).Run();
}

namespace {

// node.exe, dependencies, the app's own files, the release file, the update helper.
int LayoutGroup(std::string_view name) {
  if (name == "node.exe") return 0;
  if (name == kReleaseFileName) return 3;
  if (name == kUpdateHelperName) return 4;
  const bool dependency = name.starts_with("node_modules/") || name.find("/node_modules/") != std::string_view::npos;
  return dependency ? 1 : 2;
}

}  // namespace

bool LayoutOrder(const SourceFile& a, const SourceFile& b) {
  const int group_a = LayoutGroup(a.name);
  const int group_b = LayoutGroup(b.name);
  return group_a != group_b ? group_a < group_b : a.name < b.name;
}

std::expected<void, PackError> AddGeneratedFile(AppFolder& folder, SourceFile file) {
  folder.files.push_back(std::move(file));
  return Arrange(folder);
}

std::optional<std::string> AppFileArchiveName(std::string_view path) {
  std::string name;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part == ".." || part.find(':') != std::string_view::npos || (part.empty() && start == 0)) return std::nullopt;
    if (!part.empty() && part != ".") {
      if (!name.empty()) name += '/';
      name += part;
    }
    if (end == path.size()) break;
    start = end + 1;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

const SourceFile* FindAppFile(const AppFolder& folder, std::string_view name) {
  const auto it = std::find_if(folder.files.begin(), folder.files.end(),
                               [&](const SourceFile& file) { return file.name == name; });
  return it != folder.files.end() ? &*it : nullptr;
}

std::expected<std::vector<std::byte>, PackError> ReadAppFile(const AppFolder& folder, const SourceFile& file,
                                                             std::size_t limit) {
  std::vector<std::byte> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(file.size, limit)));
  FolderOpener opener(folder.root_fd.get());
  if (auto read = ReadChecked(folder, file, opener, bytes); !read) return std::unexpected(read.error());
  return bytes;
}

std::expected<std::vector<std::byte>, PackError> ReadAppArchive(const AppFolder& folder,
                                                                const ReadProgress& progress) {
  std::vector<std::byte> archive(folder.archive_size);
  PutEntryCount(archive.data(), folder.files.size());
  std::byte* out = archive.data() + package::kArchiveCountSize;
  const std::byte* const end = archive.data() + archive.size();
  FolderOpener opener(folder.root_fd.get());
  for (std::size_t i = 0; i < folder.files.size(); ++i) {
    const SourceFile& file = folder.files[i];
    out = PutEntryHead(out, file.name, static_cast<std::uint32_t>(file.size));
    if (static_cast<std::uint64_t>(end - out) < file.size) {
      return std::unexpected(Changed(Shown(folder, file), "the file changed size"));
    }
    if (auto read = ReadChecked(folder, file, opener, std::span(out, file.size)); !read) {
      return std::unexpected(read.error());
    }
    out += file.size;
    if (progress) progress(i + 1, folder.files.size());
  }
  return archive;
}

}  // namespace lumaro::pack
