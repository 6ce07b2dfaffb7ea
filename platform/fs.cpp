// File-system operations, each returning a value or the failing call's code.

#include "platform/fs.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/current_process.h"
#include "platform/nt_io.h"
#include "platform/path_rules.h"
#include "platform/system_path.h"
#include "platform/win32_error.h"

namespace lumaro::platform {

static_assert(kShareAll == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);

namespace {

constexpr LONG kStatusEndOfFile = static_cast<LONG>(0xC0000011);
constexpr DWORD kErrorCantAccessFile = 1920;
constexpr std::size_t kMinGrowth = 8192;

struct ReadAttempt {
  LONG status;
  std::size_t read;
};

// One NtReadFile at the current position.
ReadAttempt NtReadChunk(HANDLE file, std::byte* into, std::size_t room) {
  IO_STATUS_BLOCK io{};
  const LONG status = FinalStatus(
      file,
      NtReadFile(file, nullptr, nullptr, nullptr, &io, into,
                 static_cast<ULONG>(std::min<std::size_t>(room, 0xFFFFFFFFu)), nullptr, nullptr),
      io);
  return {status, NtSuccess(status) ? static_cast<std::size_t>(io.Information) : 0};
}

struct SystemPathPair {
  std::wstring from;
  std::wstring to;
};

Result<SystemPathPair> ToSystemPaths(std::string_view from, std::string_view to) {
  auto wide_from = ToSystemPath(from);
  if (!wide_from) return Fail(std::move(wide_from.error()));
  auto wide_to = ToSystemPath(to);
  if (!wide_to) return Fail(std::move(wide_to.error()));
  return SystemPathPair{std::move(*wide_from), std::move(*wide_to)};
}

std::optional<ItemAttributes> AttributesOfOpenItem(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
  ItemAttributes result{info.dwFileAttributes, 0};
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag))) {
      return std::nullopt;
    }
    result.reparse_tag = tag.ReparseTag;
  }
  return result;
}

std::optional<ItemAttributes> OpenAndQuery(const std::wstring& path, DWORD extra_flags,
                                           DWORD& error) {
  UniqueFileHandle h(CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | extra_flags, nullptr));
  if (!h) {
    error = GetLastError();
    return std::nullopt;
  }
  error = 0;
  return AttributesOfOpenItem(h.get());
}

}  // namespace

std::optional<ItemAttributes> QueryAttributes(std::string_view path) {
  const auto wide = ToSystemPath(path);
  if (!wide) return std::nullopt;
  DWORD error = 0;
  if (auto attributes = OpenAndQuery(*wide, 0, error)) return attributes;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    // The item is there but can't be opened: its directory entry still tells.
    WIN32_FIND_DATAW data{};
    UniqueFindHandle find(FindFirstFileExW(wide->c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find) return std::nullopt;
    const ItemAttributes entry{data.dwFileAttributes, data.dwReserved0};
    if (entry.is_symlink()) return std::nullopt;
    return entry;
  }
  if (error == kErrorCantAccessFile) {
    // A reparse point the system can't follow: look at the item itself.
    auto attributes = OpenAndQuery(*wide, FILE_FLAG_OPEN_REPARSE_POINT, error);
    if (attributes && attributes->is_symlink()) return std::nullopt;
    return attributes;
  }
  return std::nullopt;
}

bool IsFile(std::string_view path) {
  const auto attributes = QueryAttributes(path);
  return attributes && !attributes->is_directory() && !attributes->is_symlink();
}

bool IsDirectory(std::string_view path) {
  const auto attributes = QueryAttributes(path);
  return attributes && attributes->is_directory();
}

Result<void> CreateFolder(std::string_view path) {
  auto wide = ToSystemPath(path);
  if (!wide) return Fail(std::move(wide.error()));
  return CheckBool(CreateDirectoryW(wide->c_str(), nullptr));
}

Result<void> CreateFolderWithAncestors(std::string_view path) {
  if (!ParentPath(path)) return {};  // empty, or a root

  std::vector<std::string_view> missing;  // innermost first
  std::string_view current = path;
  for (;;) {
    auto created = CreateFolder(current);
    if (created) break;
    const LaunchError& error = created.error();
    if (error.kind() == ErrorKind::kNotFound) {
      missing.push_back(current);
      const auto parent = ParentPath(current);
      if (!parent || IsRootOrEmpty(*parent)) break;
      current = *parent;
      continue;
    }
    if (error.kind() == ErrorKind::kAlreadyExists && IsDirectory(current)) break;
    return created;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    auto created = CreateFolder(*it);
    if (!created && !(created.error().kind() == ErrorKind::kAlreadyExists && IsDirectory(*it))) {
      return created;
    }
  }
  return {};
}

Result<OpenedFile> OpenFile(std::string_view path, std::uint32_t access, std::uint32_t share,
                            std::uint32_t disposition, std::uint32_t flags) {
  auto wide = ToSystemPath(path);
  if (!wide) return Fail(std::move(wide.error()));
  HANDLE h = CreateFileW(wide->c_str(), access, share, nullptr, disposition, flags, nullptr);
  const DWORD error = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return Fail(LaunchError::Os(error));
  return OpenedFile{UniqueFileHandle(h), error};
}

namespace {

Result<UniqueFileHandle> OpenHandle(std::string_view path, DWORD access, DWORD disposition,
                                    DWORD flags) {
  auto file = OpenFile(path, access, kShareAll, disposition, flags);
  if (!file) return Fail(std::move(file.error()));
  return std::move(file->handle);
}

}  // namespace

Result<UniqueFileHandle> OpenForReading(std::string_view path) {
  return OpenHandle(path, GENERIC_READ, OPEN_EXISTING, 0);
}

Result<UniqueFileHandle> CreateNewFile(std::string_view path) {
  return OpenHandle(path, GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
}

Result<UniqueFileHandle> CreateOrReplaceFile(std::string_view path) {
  return OpenHandle(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
}

Result<UniqueFileHandle> OpenEmptiedForWriting(std::string_view path) {
  auto file = OpenFile(path, GENERIC_WRITE, kShareAll, OPEN_ALWAYS, 0);
  if (!file) return Fail(std::move(file.error()));
  if (file->error_after_open == ERROR_ALREADY_EXISTS) {
    if (auto cut = TruncateToZero(file->handle.get()); !cut) return Fail(std::move(cut.error()));
  }
  return std::move(file->handle);
}

WriteAttempt NtWriteChunk(NativeHandle file, const std::byte* data, std::uint32_t length) {
  IO_STATUS_BLOCK io{};
  const LONG status = FinalStatus(
      file,
      NtWriteFile(file, nullptr, nullptr, nullptr, &io, const_cast<std::byte*>(data), length,
                  nullptr, nullptr),
      io);
  return {status, NtSuccess(status) ? static_cast<std::size_t>(io.Information) : 0};
}

Result<void> WriteAll(NativeHandle file, std::span<const std::byte> data, WriteChunkFn write) {
  while (!data.empty()) {
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), 0xFFFFFFFFu));
    const WriteAttempt attempt = write(file, data.data(), length);
    if (!NtSuccess(attempt.status)) {
      return Fail(LaunchError::Os(RtlNtStatusToDosError(attempt.status)));
    }
    if (attempt.written == 0) {
      return Fail(LaunchError::Static(ErrorKind::kWriteZero, kWriteZeroMessage));
    }
    data = data.subspan(std::min(attempt.written, data.size()));
  }
  return {};
}

// Fills a HeapBuffer, reserving under the caller's allocation policy.
class BufferFiller {
 public:
  BufferFiller(HeapBuffer& buffer, OnAllocationFailure on_failure)
      : buffer_(buffer), on_failure_(on_failure) {}

  std::size_t capacity() const { return buffer_.block_.size(); }
  std::size_t size() const { return buffer_.size_; }
  std::byte* end() { return static_cast<std::byte*>(buffer_.block_.get()) + buffer_.size_; }
  void Grow(std::size_t n) { buffer_.size_ += n; }

  Result<void> Reserve(std::size_t wanted) {
    if (wanted <= capacity()) return {};
    UniqueHeapBlock bigger = UniqueHeapBlock::Allocate(wanted);
    if (bigger.get() == nullptr) {
      if (on_failure_ == OnAllocationFailure::kEndProcess) TerminateOnOutOfMemory();
      return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
    }
    if (size() > 0) std::memcpy(bigger.get(), buffer_.block_.get(), size());
    buffer_.block_ = std::move(bigger);
    return {};
  }

 private:
  HeapBuffer& buffer_;
  OnAllocationFailure on_failure_;
};

Result<HeapBuffer> ReadToEnd(NativeHandle file, OnAllocationFailure on_failure) {
  HeapBuffer buffer;
  BufferFiller filler(buffer, on_failure);
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info)) {
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (size > SIZE_MAX) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
    if (auto reserved = filler.Reserve(static_cast<std::size_t>(size)); !reserved) {
      return Fail(std::move(reserved.error()));
    }
  }

  for (;;) {
    if (filler.size() < filler.capacity()) {
      const ReadAttempt attempt = NtReadChunk(file, filler.end(), filler.capacity() - filler.size());
      if (attempt.status == kStatusEndOfFile) break;
      if (!NtSuccess(attempt.status)) {
        return Fail(LaunchError::Os(RtlNtStatusToDosError(attempt.status)));
      }
      if (attempt.read == 0) break;
      filler.Grow(attempt.read);
      continue;
    }
    // Full (usually at the size reported): a small probe tells the end of the
    // file from a file that grew, without doubling an exact reservation.
    std::byte probe[64];
    const ReadAttempt attempt = NtReadChunk(file, probe, sizeof(probe));
    if (attempt.status == kStatusEndOfFile) break;
    if (!NtSuccess(attempt.status)) {
      return Fail(LaunchError::Os(RtlNtStatusToDosError(attempt.status)));
    }
    if (attempt.read == 0) break;
    const std::size_t wanted =
        std::max({filler.capacity() * 2, filler.size() + attempt.read, kMinGrowth});
    if (wanted < filler.capacity()) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
    if (auto reserved = filler.Reserve(wanted); !reserved) return Fail(std::move(reserved.error()));
    std::memcpy(filler.end(), probe, attempt.read);
    filler.Grow(attempt.read);
  }
  return buffer;
}

Result<void> FlushFile(NativeHandle file) { return CheckBool(FlushFileBuffers(file)); }

Result<void> TruncateToZero(NativeHandle file) {
  FILE_ALLOCATION_INFO allocation{};
  if (SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof(allocation))) {
    return {};
  }
  // Wine lacks FileAllocationInfo (120); the end-of-file route works there.
  FILE_END_OF_FILE_INFO end_of_file{};
  if (SetFileInformationByHandle(file, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file))) {
    return {};
  }
  return Fail(LastError());
}

Result<void> MoveIntoPlace(std::string_view from, std::string_view to) {
  auto paths = ToSystemPaths(from, to);
  if (!paths) return Fail(std::move(paths.error()));
  return CheckBool(MoveFileExW(paths->from.c_str(), paths->to.c_str(), 0));
}

Result<void> RenameFolder(std::string_view from, std::string_view to) {
  auto paths = ToSystemPaths(from, to);
  if (!paths) return Fail(std::move(paths.error()));
  const std::wstring& wide_from = paths->from;
  const std::wstring& wide_to = paths->to;
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  const DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED) return Fail(LaunchError::Os(error));

  // Directory over directory is refused with 5 by MoveFileExW; the handle
  // route with POSIX semantics can replace an empty target.
  UniqueFileHandle source(CreateFileW(wide_from.c_str(), DELETE, kShareAll, nullptr,
                                      OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
  if (!source) return Fail(LaunchError::Os(ERROR_ACCESS_DENIED));

  // FILE_RENAME_INFO as FileRenameInfoEx reads it: a DWORD of flags where
  // older headers declare the BOOLEAN ReplaceIfExists, then the target name
  // inline. Built at the struct's own offsets, in a block sized to the name.
  constexpr std::size_t kNameOffset = offsetof(FILE_RENAME_INFO, FileName);
  static_assert(offsetof(FILE_RENAME_INFO, RootDirectory) >= sizeof(DWORD));
  // The x64 layout the kernel reads, whatever the header's version.
  static_assert(offsetof(FILE_RENAME_INFO, RootDirectory) == 8 &&
                offsetof(FILE_RENAME_INFO, FileNameLength) == 16 && kNameOffset == 20);
  const std::size_t name_bytes = wide_to.size() * sizeof(wchar_t);
  if (name_bytes > 0xFFFFFFFFu) return Fail(LaunchError::Os(ERROR_ACCESS_DENIED));
  const std::size_t record_size = kNameOffset + name_bytes + sizeof(wchar_t);
  UniqueHeapBlock record = UniqueHeapBlock::Allocate(record_size, UniqueHeapBlock::Fill::kZeroed);
  if (record.get() == nullptr) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
  auto* bytes = static_cast<unsigned char*>(record.get());
  const DWORD flags = 0x1 | 0x2;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | _POSIX_SEMANTICS
  const auto name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(bytes, &flags, sizeof(flags));
  // RootDirectory stays null.
  std::memcpy(bytes + offsetof(FILE_RENAME_INFO, FileNameLength), &name_length,
              sizeof(name_length));
  std::memcpy(bytes + kNameOffset, wide_to.c_str(), name_bytes + sizeof(wchar_t));

  constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  const BOOL renamed = SetFileInformationByHandle(source.get(), kFileRenameInfoEx, record.get(),
                                                  static_cast<DWORD>(record_size));
  const DWORD rename_error = GetLastError();
  record.reset();
  source.reset();
  if (renamed) return {};
  return Fail(LaunchError::Os(rename_error == ERROR_DIR_NOT_EMPTY ? ERROR_DIR_NOT_EMPTY
                                                                  : ERROR_ACCESS_DENIED));
}

}  // namespace lumaro::platform
