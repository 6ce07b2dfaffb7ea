// Access to the embedded record, which the linker places in .rdata.

#include "package/payload_record.h"

// Defined by the generated assembly that .incbin's the record.
extern "C" const unsigned char lmr_payload_record[];

namespace lumaro::package {

std::span<const std::byte, kBuildIdSize> BuildIdField() {
  return std::span<const std::byte, kBuildIdSize>(
      reinterpret_cast<const std::byte*>(lmr_payload_record) + kBuildIdOffset, kBuildIdSize);
}

std::optional<IdentityFields> EmbeddedIdentity() {
  return ParseIdentityBlock({reinterpret_cast<const std::byte*>(kIdentityBlock), kIdentityBlockSize});
}

std::span<const std::byte> CompressedStream() {
  return {reinterpret_cast<const std::byte*>(lmr_payload_record) + kRecordHeadSize,
          COMPRESSED_SIZE};
}

}  // namespace lumaro::package
