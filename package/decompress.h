// Decompresses the embedded package through the system's Compression API
// (cabinet.dll, LZMS), loaded at run time from the system folder only.
#pragma once

#include <cstddef>
#include <span>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::package {

// The package bytes, exactly PACKAGE_SIZE of them and matching PACKAGE_CRC32,
// in one heap block.
class PackageBuffer {
 public:
  explicit PackageBuffer(platform::UniqueHeapBlock block) : block_(std::move(block)) {}
  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(block_.get()), block_.size()};
  }
  void Free() { block_.reset(); }

 private:
  platform::UniqueHeapBlock block_;
};

platform::Result<PackageBuffer> DecompressPackage();

}  // namespace lumaro::package
