// One Decompress call, straight from the mapped record into a buffer of the
// final size, then the exact length and the digest.

#include "package/decompress.h"

#include "package/crc32.h"
#include "package/payload_record.h"
#include "platform/compression.h"
#include "platform/current_process.h"

namespace lumaro::package {

using platform::Fail;
using platform::LaunchError;

platform::Result<PackageBuffer> DecompressPackage() {
  auto decompressor = platform::Decompressor::OpenLzms();
  if (!decompressor) return Fail(std::move(decompressor.error()));

  // Declared after the decompressor, so on every failure below it is freed
  // before the library; on success the library goes first, as nothing of it
  // is referenced by the buffer.
  platform::UniqueHeapBlock buffer =
      platform::UniqueHeapBlock::Allocate(PACKAGE_SIZE, platform::UniqueHeapBlock::Fill::kZeroed);
  if (buffer.get() == nullptr) {
    decompressor->Close();
    platform::TerminateOnOutOfMemory();
  }

  const std::span<std::byte> out(static_cast<std::byte*>(buffer.get()), buffer.size());
  auto produced = decompressor->Decompress(CompressedStream(), out);
  decompressor->Close();

  if (!produced) return Fail(std::move(produced.error()));
  if (*produced != PACKAGE_SIZE) return Fail(LaunchError::InvalidPackage());
  // LZMS has no checksum: damage in a stored chunk, and much damage in a
  // compressed one, still decodes to the right length. Nothing is installed
  // from bytes that differ from what was packed.
  if (Crc32(out) != PACKAGE_CRC32) return Fail(LaunchError::InvalidPackage());
  return PackageBuffer(std::move(buffer));
}

}  // namespace lumaro::package
