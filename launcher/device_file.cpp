// Seeding the device file: an existence check, a whole read of the seed into
// one heap buffer, and a copy that only appears under its final name complete.

#include "launcher/device_file.h"

#include "platform/current_process.h"
#include "platform/path_rules.h"

namespace lumaro::launcher {
namespace {

using platform::Fail;
using platform::Result;

// Writes the copy under a name of this process and flushes it. CREATE_ALWAYS:
// no live process shares the name, and a leftover of a dead launcher whose id
// was reused is simply rewritten.
Result<void> WriteCopy(const std::string& temp_path, std::span<const std::byte> bytes,
                       platform::WriteChunkFn write) {
  auto copy = platform::CreateOrReplaceFile(temp_path);
  if (!copy) return Fail(std::move(copy.error()));
  if (auto written = platform::WriteAll(copy->get(), bytes, write); !written) return written;
  return platform::FlushFile(copy->get());
}

// The seed's bytes. Running out of memory is an error here, not the end of
// the process: the seed's size is outside the launcher's control.
Result<platform::HeapBuffer> ReadSeed(const std::string& seed_path) {
  auto seed = platform::OpenForReading(seed_path);
  if (!seed) return Fail(std::move(seed.error()));
  return platform::ReadToEnd(seed->get(), platform::OnAllocationFailure::kFail);
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

  // A std::uint32_t, like the staging folder's id: one to_string in the exe.
  const std::uint32_t process_id = platform::CurrentProcessId();
  const std::string temp_path = platform::JoinPath(
      data_root, std::string(kDeviceFileName) + "." + std::to_string(process_id) + ".tmp");
  auto copied = WriteCopy(temp_path, seed->bytes(), write);
  *seed = platform::HeapBuffer();  // the buffer goes as soon as the copy is written or has failed
  if (!copied) return Fail(std::move(copied.error()));
  // Never replacing: an item that appeared at the final name since the
  // existence check is the application's.
  if (auto moved = platform::MoveIntoPlace(temp_path, device_file); !moved) {
    return Fail(std::move(moved.error()));
  }
  return device_file;
}

}  // namespace lumaro::launcher
