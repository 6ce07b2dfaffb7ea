// App folder scan and read for the pack tool; see app_folder.h.
#include "tools/pack/app_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "package/archive.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/package_names.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;

PackError BadInput(const fs::path& path, std::string_view why) {
  return {ErrorClass::kBadInput, "\"" + path.string() + "\": " + std::string(why)};
}

PackError IoError(const fs::path& path, std::string_view what, const std::error_code& ec) {
  return {ErrorClass::kIo, "\"" + path.string() + "\": " + std::string(what) + ": " + ec.message()};
}

bool IsWithin(const fs::path& canonical_root, const fs::path& canonical_path) {
  auto [root_end, path_end] = std::mismatch(canonical_root.begin(), canonical_root.end(),
                                            canonical_path.begin(), canonical_path.end());
  (void)path_end;
  return root_end == canonical_root.end();
}

class Scanner {
 public:
  Scanner(fs::path root, std::span<const SourceFile> extra) : root_(std::move(root)), extra_(extra) {}

  std::expected<AppFolder, PackError> Run() {
    std::error_code ec;
    const auto status = fs::status(root_, ec);
    if (ec || !fs::is_directory(status)) {
      return std::unexpected(PackError{ErrorClass::kBadInput,
                                       "\"" + root_.string() + "\" is not a folder"});
    }
    canonical_root_ = fs::canonical(root_, ec);
    if (ec) return std::unexpected(IoError(root_, "cannot resolve the folder", ec));
    active_.push_back(canonical_root_);
    auto count = Walk(root_, "");
    if (!count) return std::unexpected(count.error());
    result_.files.insert(result_.files.end(), extra_.begin(), extra_.end());

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
    if (auto checked = CheckPackageNames(names, root_.string()); !checked) {
      return std::unexpected(checked.error());
    }
    std::vector<EntryShape> shapes;
    shapes.reserve(result_.files.size());
    for (const SourceFile& file : result_.files) shapes.push_back({file.name.size(), file.size});
    auto size = ArchiveSize(shapes);
    if (!size) return std::unexpected(PackError{size.error().error_class,
                                                "\"" + root_.string() + "\": " + size.error().message});
    result_.archive_size = *size;
    return std::move(result_);
  }

 private:
  // Returns how many files lie below dir.
  std::expected<std::size_t, PackError> Walk(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return std::unexpected(IoError(dir, "cannot list the folder", ec));
    std::size_t files = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path path = it->path();
      const std::string leaf = path.filename().string();
      const std::string name = prefix.empty() ? leaf : prefix + "/" + leaf;

      auto status = fs::symlink_status(path, ec);
      if (ec) return std::unexpected(IoError(path, "cannot read its attributes", ec));
      fs::path canonical;
      if (fs::is_symlink(status)) {
        canonical = fs::canonical(path, ec);
        if (ec) return std::unexpected(BadInput(path, "symbolic link that cannot be resolved (" + ec.message() + ")"));
        if (!IsWithin(canonical_root_, canonical)) {
          return std::unexpected(BadInput(path, "symbolic link to \"" + canonical.string() +
                                                    "\", outside the app folder"));
        }
        status = fs::status(canonical, ec);
        if (ec) return std::unexpected(IoError(path, "cannot read its target's attributes", ec));
      }

      if (fs::is_directory(status)) {
        if (canonical.empty()) canonical = fs::canonical(path, ec);
        if (ec) return std::unexpected(IoError(path, "cannot resolve the folder", ec));
        if (std::find(active_.begin(), active_.end(), canonical) != active_.end()) {
          return std::unexpected(BadInput(path, "symbolic link that makes a loop back to \"" +
                                                    canonical.string() + "\""));
        }
        active_.push_back(canonical);
        auto below = Walk(path, name);
        active_.pop_back();
        if (!below) return below;
        if (*below == 0) result_.empty_folders.push_back(name);
        files += *below;
      } else if (fs::is_regular_file(status)) {
        const auto size = fs::file_size(canonical.empty() ? path : canonical, ec);
        if (ec) return std::unexpected(IoError(path, "cannot read its size", ec));
        if (size > std::numeric_limits<std::uint32_t>::max()) {
          return std::unexpected(BadInput(path, "file of 4 GiB or more; a package entry holds less"));
        }
        result_.files.push_back({name, path, size});
        ++files;
      } else {
        return std::unexpected(BadInput(path, "neither a file nor a folder"));
      }
    }
    if (ec) return std::unexpected(IoError(dir, "cannot list the folder", ec));
    return files;
  }

  fs::path root_;
  std::span<const SourceFile> extra_;
  fs::path canonical_root_;
  std::vector<fs::path> active_;  // folders being walked, to see loops
  AppFolder result_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly out.size() bytes, and checks that nothing follows them.
std::expected<void, PackError> ReadWhole(const fs::path& path, std::span<std::byte> out) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::unexpected(IoError(path, "cannot open", std::error_code(errno, std::generic_category())));
  }
  std::size_t done = 0;
  while (true) {
    std::byte spare;
    const bool tail = done == out.size();
    const ssize_t got = tail ? ::read(fd.get(), &spare, 1)
                             : ::read(fd.get(), out.data() + done, out.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError(path, "cannot read", std::error_code(errno, std::generic_category())));
    }
    if (got == 0 || tail) {
      if (got == 0 && tail) return {};
      return std::unexpected(PackError{ErrorClass::kIo, "\"" + path.string() +
                                                            "\": the file changed size while being packed"});
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
      return std::unexpected(PackError{ErrorClass::kIo, "\"" + file.source.string() +
                                                            "\": the file changed size while being packed"});
    }
    if (auto read = ReadWhole(file.source, std::span(out, file.size)); !read) {
      return std::unexpected(read.error());
    }
    out += file.size;
    if (progress) progress(i + 1, folder.files.size());
  }
  return archive;
}

}  // namespace lumaro::pack
