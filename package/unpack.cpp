// The unpacker: parse in place, create each file new, write it in one call.

#include "package/unpack.h"

#include <string>

#include "package/archive.h"
#include "platform/path_rules.h"

namespace lumaro::package {

using platform::Fail;
using platform::LaunchError;

platform::Result<void> UnpackPackage(std::span<const std::byte> archive,
                                     std::string_view staging_dir, const UnpackOptions& options) {
  auto cursor = ArchiveCursor::Open(archive);
  if (!cursor) return Fail(LaunchError::InvalidPackage());

  // Entries come sorted, so neighbours mostly share a folder: one that this
  // call has already made sure of is not asked for again.
  std::string ensured_folder;
  bool have_ensured_folder = false;

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

    auto file = platform::CreateNewFile(target);
    if (!file) return Fail(std::move(file.error()));

    // Only now are the data bounds checked: a short archive leaves this
    // entry's file behind, empty.
    const auto data = cursor->TakeData(head->data_length);
    if (!data) return Fail(LaunchError::InvalidPackage());

    if (auto written = platform::WriteAll(file->get(), *data, options.write); !written) {
      return written;
    }
    if (options.flush != nullptr) {
      if (auto flushed = options.flush->FileWritten(file->get()); !flushed) return flushed;
    }
  }
  if (!cursor->AtEnd()) return Fail(LaunchError::InvalidPackage());
  return {};
}

}  // namespace lumaro::package
