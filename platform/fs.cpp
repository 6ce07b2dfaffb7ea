// File-system operations, each returning a value or the failing call's code.

#include "platform/fs.h"

#include <cstring>
#include <optional>

#include "platform/path_rules.h"
#include "platform/system.h"

namespace lumaro::platform {
namespace {

constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusEndOfFile = static_cast<LONG>(0xC0000011);
constexpr DWORD kErrorCantAccessFile = 1920;

bool NtSuccess(LONG status) { return status >= 0; }

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
  if (!CreateDirectoryW(wide->c_str(), nullptr)) return Fail(LaunchError::Os(GetLastError()));
  return {};
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

Result<OpenedFile> OpenFile(std::string_view path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags) {
  auto wide = ToSystemPath(path);
  if (!wide) return Fail(std::move(wide.error()));
  HANDLE h = CreateFileW(wide->c_str(), access, share, nullptr, disposition, flags, nullptr);
  const DWORD error = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return Fail(LaunchError::Os(error));
  return OpenedFile{UniqueFileHandle(h), error};
}

WriteAttempt NtWriteChunk(HANDLE file, const std::byte* data, ULONG length) {
  IO_STATUS_BLOCK io{};
  LONG status = NtWriteFile(file, nullptr, nullptr, nullptr, &io,
                            const_cast<std::byte*>(data), length, nullptr, nullptr);
  if (status == kStatusPending) {
    // A handle opened for asynchronous use: wait for this request.
    WaitForSingleObject(file, INFINITE);
    status = io.Status;
  }
  return {status, NtSuccess(status) ? static_cast<std::size_t>(io.Information) : 0};
}

Result<void> WriteAll(HANDLE file, std::span<const std::byte> data, WriteChunkFn write) {
  while (!data.empty()) {
    const auto length = static_cast<ULONG>(std::min<std::size_t>(data.size(), 0xFFFFFFFFu));
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

Result<std::vector<std::byte>> ReadToEnd(HANDLE file) {
  // One NtReadFile at the current position; 0 bytes at the end of the file.
  const auto read_some = [file](std::byte* into, std::size_t room) -> Result<std::size_t> {
    IO_STATUS_BLOCK io{};
    LONG status = NtReadFile(file, nullptr, nullptr, nullptr, &io, into,
                             static_cast<ULONG>(std::min<std::size_t>(room, 0xFFFFFFFFu)),
                             nullptr, nullptr);
    if (status == kStatusPending) {
      WaitForSingleObject(file, INFINITE);
      status = io.Status;
    }
    if (status == kStatusEndOfFile) return 0;
    if (!NtSuccess(status)) return Fail(LaunchError::Os(RtlNtStatusToDosError(status)));
    return static_cast<std::size_t>(io.Information);
  };

  std::vector<std::byte> out;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info)) {
    out.resize((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  }
  std::size_t filled = 0;
  for (;;) {
    if (filled == out.size()) {
      // Full (or the size was unknown): probe before growing, so a file of
      // the expected size costs no extra allocation.
      std::byte probe[4096];
      auto n = read_some(probe, sizeof(probe));
      if (!n) return Fail(std::move(n.error()));
      if (*n == 0) break;
      out.insert(out.end(), probe, probe + *n);
      filled += *n;
      continue;
    }
    auto n = read_some(out.data() + filled, out.size() - filled);
    if (!n) return Fail(std::move(n.error()));
    if (*n == 0) break;
    filled += *n;
  }
  out.resize(filled);
  return out;
}

Result<void> TruncateToZero(HANDLE file) {
  FILE_ALLOCATION_INFO allocation{};
  if (SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof(allocation))) {
    return {};
  }
  // Wine lacks FileAllocationInfo (120); the end-of-file route works there.
  FILE_END_OF_FILE_INFO end_of_file{};
  if (SetFileInformationByHandle(file, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file))) {
    return {};
  }
  return Fail(LaunchError::Os(GetLastError()));
}

Result<void> RenameFolder(std::string_view from, std::string_view to) {
  auto wide_from = ToSystemPath(from);
  if (!wide_from) return Fail(std::move(wide_from.error()));
  auto wide_to = ToSystemPath(to);
  if (!wide_to) return Fail(std::move(wide_to.error()));
  if (MoveFileExW(wide_from->c_str(), wide_to->c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  const DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED) return Fail(LaunchError::Os(error));

  // Directory over directory is refused with 5 by MoveFileExW; the handle
  // route with POSIX semantics can replace an empty target.
  UniqueFileHandle source(CreateFileW(wide_from->c_str(), DELETE, kShareAll, nullptr,
                                      OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
  if (!source) return Fail(LaunchError::Os(ERROR_ACCESS_DENIED));

  constexpr std::size_t kNameOffset = 20;  // offsetof(FILE_RENAME_INFO, FileName) on x64
  const std::size_t name_bytes = wide_to->size() * sizeof(wchar_t);
  if (name_bytes > 0xFFFFFFFFu) return Fail(LaunchError::Os(ERROR_ACCESS_DENIED));
  const std::size_t record_size = kNameOffset + name_bytes + sizeof(wchar_t);
  UniqueHeapBlock record(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, record_size), record_size);
  if (record.get() == nullptr) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
  auto* bytes = static_cast<unsigned char*>(record.get());
  const DWORD flags = 0x1 | 0x2;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | _POSIX_SEMANTICS
  const auto name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(bytes + 0, &flags, sizeof(flags));
  // RootDirectory at offset 8 stays null.
  std::memcpy(bytes + 16, &name_length, sizeof(name_length));
  std::memcpy(bytes + kNameOffset, wide_to->c_str(), name_bytes + sizeof(wchar_t));

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
