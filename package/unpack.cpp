// The unpacker: parse in place, create each file new, write it in one call.

#include "package/unpack.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "package/archive.h"
#include "platform/path_rules.h"

namespace lumaro::package {

using platform::Fail;
using platform::LaunchError;

namespace {

// Flushes run after the last write, from several threads at once: a flush
// waits for the file system's log to reach the disk, and concurrent flushes
// share one such write where sequential ones pay one each; meanwhile the
// system has written back much of the data on its own.
constexpr std::size_t kFlushThreads = 16;

struct FlushWork {
  const std::vector<platform::UniqueFileHandle>* files;
  std::atomic<std::size_t> next{0};
  std::atomic<DWORD> error{ERROR_SUCCESS};
};

DWORD WINAPI FlushSome(void* context) {
  auto& work = *static_cast<FlushWork*>(context);
  for (std::size_t i = work.next++; i < work.files->size() && work.error == ERROR_SUCCESS;
       i = work.next++) {
    if (!FlushFileBuffers((*work.files)[i].get())) {
      DWORD none = ERROR_SUCCESS;
      work.error.compare_exchange_strong(none, GetLastError());
    }
  }
  return 0;
}

platform::Result<void> FlushAll(const std::vector<platform::UniqueFileHandle>& files) {
  FlushWork work;
  work.files = &files;
  // A thread that cannot be started leaves its share to the others.
  std::vector<platform::UniqueHandle> helpers;
  const std::size_t count = std::min(kFlushThreads, files.size());
  for (std::size_t t = 1; t < count; ++t) {
    platform::UniqueHandle helper(CreateThread(nullptr, 64 * 1024, &FlushSome, &work,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (helper) helpers.push_back(std::move(helper));
  }
  FlushSome(&work);
  for (const auto& helper : helpers) WaitForSingleObject(helper.get(), INFINITE);
  if (work.error != ERROR_SUCCESS) return Fail(LaunchError::Os(work.error.load()));
  return {};
}

}  // namespace

platform::Result<void> UnpackPackage(std::span<const std::byte> archive,
                                     std::string_view staging_dir, const UnpackOptions& options) {
  auto cursor = ArchiveCursor::Open(archive);
  if (!cursor) return Fail(LaunchError::InvalidPackage());

  // Entries come sorted, so neighbours mostly share a folder: one that this
  // call has already made sure of is not asked for again.
  std::string ensured_folder;
  bool have_ensured_folder = false;
  // Held open until every file is written, then flushed together.
  std::vector<platform::UniqueFileHandle> written;

  for (std::uint32_t i = 0; i < cursor->entry_count(); ++i) {
    const auto head = cursor->NextHead();
    if (!head) return Fail(LaunchError::InvalidPackage());

    const std::string target = EntryTargetPath(staging_dir, head->name);
    const auto parent = platform::ParentPath(target);
    if (!parent) return Fail(LaunchError::InvalidPackage());
    if (!have_ensured_folder || *parent != ensured_folder) {
      if (auto created = platform::CreateFolderWithAncestors(*parent); !created) return created;
      ensured_folder.assign(*parent);
      have_ensured_folder = true;
    }

    auto file = platform::OpenFile(target, GENERIC_WRITE, platform::kShareAll, CREATE_NEW,
                                   FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file) return Fail(std::move(file.error()));

    // Only now are the data bounds checked: a short archive leaves this
    // entry's file behind, empty.
    const auto data = cursor->TakeData(head->data_length);
    if (!data) return Fail(LaunchError::InvalidPackage());

    if (auto written = platform::WriteAll(file->handle.get(), *data, options.write); !written) {
      return written;
    }
    if (options.flush_files) written.push_back(std::move(file->handle));
  }
  if (!cursor->AtEnd()) return Fail(LaunchError::InvalidPackage());
  if (options.flush_files) return FlushAll(written);
  return {};
}

}  // namespace lumaro::package
