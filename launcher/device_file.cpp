// Seeding the device file: an existence check, a whole read of the seed into
// one heap buffer, and a copy that only appears under its final name complete.

#include "launcher/device_file.h"

#include <algorithm>
#include <cstring>

#include "platform/path_rules.h"
#include "platform/system.h"
#include "platform/unique_handle.h"

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::Fail;
using platform::LaunchError;
using platform::Result;

constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusEndOfFile = static_cast<LONG>(0xC0000011);
constexpr std::size_t kMinGrowth = 8192;

// The seed's bytes. Its reservations fail as an error, not by ending the
// process: the seed's size is outside the launcher's control.
class SeedBytes {
 public:
  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(block_.get()), size_};
  }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return block_.size(); }
  std::byte* end() { return static_cast<std::byte*>(block_.get()) + size_; }
  void Grow(std::size_t n) { size_ += n; }

  Result<void> Reserve(std::size_t capacity) {
    if (capacity <= block_.size()) return {};
    void* p = HeapAlloc(GetProcessHeap(), 0, capacity);
    if (p == nullptr) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
    platform::UniqueHeapBlock bigger(p, capacity);
    if (size_ > 0) std::memcpy(bigger.get(), block_.get(), size_);
    block_ = std::move(bigger);
    return {};
  }

 private:
  platform::UniqueHeapBlock block_;
  std::size_t size_ = 0;
};

struct ReadAttempt {
  LONG status;
  std::size_t read;
};

ReadAttempt NtReadChunk(HANDLE file, std::byte* into, ULONG length) {
  IO_STATUS_BLOCK io{};
  LONG status = NtReadFile(file, nullptr, nullptr, nullptr, &io, into, length, nullptr, nullptr);
  if (status == kStatusPending) {
    WaitForSingleObject(file, INFINITE);
    status = io.Status;
  }
  return {status, status >= 0 ? static_cast<std::size_t>(io.Information) : 0};
}

Result<SeedBytes> ReadSeed(const std::string& seed_path) {
  auto seed = platform::OpenFile(seed_path, GENERIC_READ, platform::kShareAll, OPEN_EXISTING, 0);
  if (!seed) return Fail(std::move(seed.error()));
  const HANDLE file = seed->handle.get();

  SeedBytes buffer;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info)) {
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (auto reserved = buffer.Reserve(size); !reserved) return Fail(std::move(reserved.error()));
  }

  for (;;) {
    ReadAttempt attempt{};
    if (buffer.size() < buffer.capacity()) {
      const auto room =
          static_cast<ULONG>(std::min<std::size_t>(buffer.capacity() - buffer.size(), 0xFFFFFFFFu));
      attempt = NtReadChunk(file, buffer.end(), room);
      if (attempt.status == kStatusEndOfFile) break;
      if (attempt.status < 0) return Fail(LaunchError::Os(RtlNtStatusToDosError(attempt.status)));
      if (attempt.read == 0) break;
      buffer.Grow(attempt.read);
      continue;
    }
    // Full (usually at the size reported): a small probe tells the end of the
    // file from a file that grew, without doubling an exact reservation.
    std::byte probe[64];
    attempt = NtReadChunk(file, probe, sizeof(probe));
    if (attempt.status == kStatusEndOfFile) break;
    if (attempt.status < 0) return Fail(LaunchError::Os(RtlNtStatusToDosError(attempt.status)));
    if (attempt.read == 0) break;
    const std::size_t wanted = std::max({buffer.capacity() * 2, buffer.size() + attempt.read,
                                         kMinGrowth});
    if (wanted < buffer.capacity()) return Fail(LaunchError::Kind(ErrorKind::kOutOfMemory));
    if (auto reserved = buffer.Reserve(wanted); !reserved) return Fail(std::move(reserved.error()));
    std::memcpy(buffer.end(), probe, attempt.read);
    buffer.Grow(attempt.read);
  }
  return buffer;
}

// Writes the copy under a name of this process and flushes it. CREATE_ALWAYS:
// no live process shares the name, and a leftover of a dead launcher whose id
// was reused is simply rewritten.
Result<void> WriteCopy(const std::string& temp_path, std::span<const std::byte> bytes,
                       platform::WriteChunkFn write) {
  auto copy = platform::OpenFile(temp_path, GENERIC_WRITE, platform::kShareAll, CREATE_ALWAYS,
                                 FILE_FLAG_OPEN_REPARSE_POINT);
  if (!copy) return Fail(std::move(copy.error()));
  if (auto written = platform::WriteAll(copy->handle.get(), bytes, write); !written) {
    return written;
  }
  if (!FlushFileBuffers(copy->handle.get())) return Fail(LaunchError::Os(GetLastError()));
  return {};
}

// Without MOVEFILE_REPLACE_EXISTING: an item that appeared at the final name
// since the existence check is never overwritten (183).
Result<void> MoveIntoPlace(const std::string& from, const std::string& to) {
  auto wide_from = platform::ToSystemPath(from);
  if (!wide_from) return Fail(std::move(wide_from.error()));
  auto wide_to = platform::ToSystemPath(to);
  if (!wide_to) return Fail(std::move(wide_to.error()));
  if (!MoveFileExW(wide_from->c_str(), wide_to->c_str(), 0)) {
    return Fail(LaunchError::Os(GetLastError()));
  }
  return {};
}

}  // namespace

Result<std::string> SeedDeviceFile(std::string_view data_root, platform::WriteChunkFn write) {
  std::string device_file = platform::JoinPath(data_root, kDeviceFileName);
  // Anything at all there (a folder too) is the application's: not even the
  // executable's path is asked for.
  if (platform::Exists(device_file)) return device_file;

  auto exe_path = platform::ModuleFileName();
  if (!exe_path) return Fail(std::move(exe_path.error()));
  const std::string seed_path =
      platform::JoinPath(platform::ParentPath(*exe_path).value_or(""), kDeviceFileName);
  if (!platform::IsFile(seed_path)) return device_file;

  auto seed = ReadSeed(seed_path);
  if (!seed) return Fail(std::move(seed.error()));

  // As a std::uint32_t, like the staging folder's id: one to_string, one
  // digit table in the exe (DWORD is unsigned long, a type of its own).
  const std::uint32_t process_id = GetCurrentProcessId();
  const std::string temp_path = platform::JoinPath(
      data_root, std::string(kDeviceFileName) + "." + std::to_string(process_id) + ".tmp");
  auto copied = WriteCopy(temp_path, seed->bytes(), write);
  *seed = SeedBytes();  // the buffer goes as soon as the copy is written or has failed
  if (!copied) return Fail(std::move(copied.error()));
  if (auto moved = MoveIntoPlace(temp_path, device_file); !moved) return Fail(std::move(moved.error()));
  return device_file;
}

}  // namespace lumaro::launcher
