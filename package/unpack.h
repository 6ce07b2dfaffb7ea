// Writes every entry of a package archive as a file below the staging folder,
// creating the folders its names imply. Names are checked before anything is
// created for them; nothing is removed on failure.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/fs.h"
#include "platform/result.h"

namespace lumaro::package {

struct UnpackOptions {
  // Flush each file before closing it, so that the rename which publishes
  // the folder never runs ahead of the data on disk.
  bool flush_files = true;
  platform::WriteChunkFn write = &platform::NtWriteChunk;  // tests inject faults here
};

platform::Result<void> UnpackPackage(std::span<const std::byte> archive,
                                     std::string_view staging_dir,
                                     const UnpackOptions& options = {});

}  // namespace lumaro::package
