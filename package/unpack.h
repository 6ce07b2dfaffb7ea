// Writes every entry of a package archive as a file below the staging folder,
// creating the folders its names imply. Names are checked before anything is
// created for them; nothing is removed on failure.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/fs.h"
#include "platform/install_flush.h"
#include "platform/result.h"

namespace lumaro::package {

struct UnpackOptions {
  // The install's flushes: each file is handed to it after its write and
  // before its close, so the rename that publishes the folder never runs
  // ahead of the data on disk. Null: nothing is flushed (format tests,
  // benchmarks); the installer always passes one.
  platform::InstallFlush* flush = nullptr;
  platform::WriteChunkFn write = &platform::NtWriteChunk;  // tests inject faults here
};

platform::Result<void> UnpackPackage(std::span<const std::byte> archive,
                                     std::string_view staging_dir,
                                     const UnpackOptions& options = {});

}  // namespace lumaro::package
