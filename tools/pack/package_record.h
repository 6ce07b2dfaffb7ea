// From archive bytes to the finished payload record: compress, check the
// stream with our own decoder, derive the BuildId and lay out the record.
// Both lmr-pack and the test-only lmr-record go through here.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "tools/pack/lzms_stream.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/payload_output.h"

namespace lumaro::pack {

struct RecordOptions {
  CompressOptions compress;
  bool verify = true;
  std::function<void()> on_verify;  // called when verification starts
};

struct PackageRecord {
  CompressedStream stream;
  BuildIdBytes build_id;        // always BuildIdOf(archive): new content, new id
  std::uint32_t package_crc32;  // PackageCrc32(archive)
  std::vector<std::byte> record;
};

// Decodes stream with the launcher-side LZMS decoder and compares it with
// archive; a mismatch is a kFailed error.
std::expected<void, PackError> VerifyStream(std::span<const std::byte> stream,
                                            std::span<const std::byte> archive);

std::expected<PackageRecord, PackError> BuildPackageRecord(std::span<const std::byte> archive,
                                                           const RecordOptions& options);

}  // namespace lumaro::pack
