// File-system operations of the launcher: attribute queries that follow
// links, folder creation with ancestors, file creation, whole reads and
// writes through ntdll, flushing, truncation, and the two moves (into place
// without replacing, and the folder rename over its target).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/system_types.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

// Windows' values, spelled here without <windows.h> (checked in fs.cpp).
inline constexpr std::uint32_t kShareAll = 0x7;  // FILE_SHARE_READ | _WRITE | _DELETE
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;

struct ItemAttributes {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;

  bool is_directory() const { return (attributes & kAttributeDirectory) != 0; }
  // A name-surrogate reparse point: a symbolic link or junction.
  bool is_symlink() const {
    return (attributes & kAttributeReparsePoint) != 0 && (reparse_tag & 0x20000000u) != 0;
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
  SystemErrorCode error_after_open = 0;  // e.g. ERROR_ALREADY_EXISTS after OPEN_ALWAYS
};

// CreateFileW through the path rule; the handle is never inheritable.
// access, share, disposition and flags are CreateFileW's.
Result<OpenedFile> OpenFile(std::string_view path, std::uint32_t access, std::uint32_t share,
                            std::uint32_t disposition, std::uint32_t flags);

// The launcher's ways of opening a file; every one shares all access.
// An existing file, to read.
Result<UniqueFileHandle> OpenForReading(std::string_view path);
// A new file, to write; anything already at the path fails (80), and a link
// there is never followed.
Result<UniqueFileHandle> CreateNewFile(std::string_view path);
// A file to write from its start, made or cut to 0 bytes. OPEN_ALWAYS then a
// cut, rather than CREATE_ALWAYS, which refuses hidden or system files.
Result<UniqueFileHandle> OpenEmptiedForWriting(std::string_view path);
// A file to write, made or replaced (CREATE_ALWAYS); a link at the path is
// replaced, never followed.
Result<UniqueFileHandle> CreateOrReplaceFile(std::string_view path);

// One write attempt: the NT status and the bytes it took.
struct WriteAttempt {
  NtStatus status;
  std::size_t written;
};
using WriteChunkFn = WriteAttempt (*)(NativeHandle file, const std::byte* data, std::uint32_t length);

// NtWriteFile at the current position, waiting when the request is pending.
WriteAttempt NtWriteChunk(NativeHandle file, const std::byte* data, std::uint32_t length);

// Writes everything, continuing short writes. A write of 0 bytes fails with
// "failed to write whole buffer".
Result<void> WriteAll(NativeHandle file, std::span<const std::byte> data,
                      WriteChunkFn write = &NtWriteChunk);

// Bytes read into one heap block, grown as needed.
class HeapBuffer {
 public:
  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(block_.get()), size_};
  }
  std::size_t size() const { return size_; }

 private:
  friend class BufferFiller;
  UniqueHeapBlock block_;
  std::size_t size_ = 0;
};

// What a reader does when the heap has no room for what it read.
enum class OnAllocationFailure {
  kFail,       // an OutOfMemory error: the size was outside our control
  kEndProcess  // as any other allocation of the launcher does
};

// Reads from the current position to the end of the file. The buffer is
// reserved at the file's size up front, so a file that does not change
// while it is read costs one allocation.
Result<HeapBuffer> ReadToEnd(NativeHandle file,
                             OnAllocationFailure on_failure = OnAllocationFailure::kEndProcess);

// Makes sure what was written reaches the disk (FlushFileBuffers).
Result<void> FlushFile(NativeHandle file);

// Cuts a file to 0 bytes: FileAllocationInfo, else FileEndOfFileInfo.
Result<void> TruncateToZero(NativeHandle file);

// Moves an item to a new name on the same volume without replacing anything:
// an item that appeared at `to` meanwhile is never overwritten (183).
Result<void> MoveIntoPlace(std::string_view from, std::string_view to);

// Renames a folder over its target: MoveFileExW with REPLACE_EXISTING, and on
// access denied once more through the handle with POSIX semantics.
Result<void> RenameFolder(std::string_view from, std::string_view to);

}  // namespace lumaro::platform
