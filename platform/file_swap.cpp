// The flush and the replacing rename of a file, through kernel32.

#include "platform/file_swap.h"

#include "platform/fs.h"
#include "platform/system_path.h"
#include "platform/win32_error.h"

namespace lumaro::platform {

Result<std::uint64_t> FlushAndMeasure(std::string_view path) {
  auto opened = OpenFile(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING, 0);
  if (!opened) return Fail(std::move(opened.error()));
  const HANDLE file = opened->handle.get();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return Fail(LastError());
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Fail(LaunchError::Os(ERROR_ACCESS_DENIED));
  }
  if (auto flushed = FlushFile(file); !flushed) return Fail(std::move(flushed.error()));
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

Result<void> ReplaceFileWriteThrough(std::string_view from, std::string_view to) {
  auto wide_from = ToSystemPath(from);
  if (!wide_from) return Fail(std::move(wide_from.error()));
  auto wide_to = ToSystemPath(to);
  if (!wide_to) return Fail(std::move(wide_to.error()));
  return CheckBool(MoveFileExW(wide_from->c_str(), wide_to->c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

Result<std::uint64_t> CopyAndFlush(std::string_view from, std::string_view to) {
  auto wide_from = ToSystemPath(from);
  if (!wide_from) return Fail(std::move(wide_from.error()));
  auto wide_to = ToSystemPath(to);
  if (!wide_to) return Fail(std::move(wide_to.error()));
  if (!CopyFileW(wide_from->c_str(), wide_to->c_str(), FALSE)) return Fail(LastError());
  return FlushAndMeasure(to);
}

Result<void> DeleteFileAt(std::string_view path) {
  auto wide = ToSystemPath(path);
  if (!wide) return Fail(std::move(wide.error()));
  return CheckBool(DeleteFileW(wide->c_str()));
}

}  // namespace lumaro::platform
