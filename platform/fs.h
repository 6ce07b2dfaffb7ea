// File-system operations of the launcher: attribute queries that follow
// links, folder creation with ancestors, file creation, whole reads and
// writes through ntdll, truncation and the folder rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace lumaro::platform {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct ItemAttributes {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;

  bool is_directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A name-surrogate reparse point: a symbolic link or junction.
  bool is_symlink() const {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag & 0x20000000u) != 0;
  }
};

// The attributes of an item, following links. Any failure means absence.
std::optional<ItemAttributes> QueryAttributes(std::string_view path);

inline bool Exists(std::string_view path) { return QueryAttributes(path).has_value(); }
// Exists and is neither a folder nor a symbolic link.
bool IsFile(std::string_view path);
// Exists (following links) and is a folder.
bool IsDirectory(std::string_view path);

// One CreateDirectoryW, no security attributes.
Result<void> CreateFolder(std::string_view path);
// Creates a folder and every missing ancestor, outermost first. A level that
// is already a directory is accepted; one that is anything else fails (183).
Result<void> CreateFolderWithAncestors(std::string_view path);

struct OpenedFile {
  UniqueFileHandle handle;
  DWORD error_after_open = 0;  // e.g. ERROR_ALREADY_EXISTS after OPEN_ALWAYS
};

// CreateFileW through the path rule; the handle is never inheritable.
Result<OpenedFile> OpenFile(std::string_view path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags);

// One write attempt: the NT status and the bytes it took.
struct WriteAttempt {
  LONG status;
  std::size_t written;
};
using WriteChunkFn = WriteAttempt (*)(HANDLE file, const std::byte* data, ULONG length);

// NtWriteFile at the current position, waiting when the request is pending.
WriteAttempt NtWriteChunk(HANDLE file, const std::byte* data, ULONG length);

// Writes everything, continuing short writes. A write of 0 bytes fails with
// "failed to write whole buffer".
Result<void> WriteAll(HANDLE file, std::span<const std::byte> data,
                      WriteChunkFn write = &NtWriteChunk);

// Reads from the current position to the end of the file.
Result<std::vector<std::byte>> ReadToEnd(HANDLE file);

// Cuts a file to 0 bytes: FileAllocationInfo, else FileEndOfFileInfo.
Result<void> TruncateToZero(HANDLE file);

// Renames a folder over its target: MoveFileExW with REPLACE_EXISTING, and on
// access denied once more through the handle with POSIX semantics.
Result<void> RenameFolder(std::string_view from, std::string_view to);

}  // namespace lumaro::platform
