// Archive to payload record; see package_record.h.
#include "tools/pack/package_record.h"

#include <cstring>
#include <limits>

#include "compat/lzms/lzms_decoder.h"

namespace lumaro::pack {

std::expected<void, PackError> VerifyStream(std::span<const std::byte> stream,
                                            std::span<const std::byte> archive) {
  std::vector<std::byte> decoded(archive.size());
  const auto result = lzms::DecompressBuffer(stream, decoded);
  if (result.status == lzms::DecodeStatus::kOutOfMemory) return std::unexpected(PackError{ErrorClass::kOutOfMemory, "out of memory"});
  if (result.status != lzms::DecodeStatus::kOk) {
    return std::unexpected(PackError{
        ErrorClass::kFailed, std::string("verification failed: the decoder reports a ") +
                                 (result.status == lzms::DecodeStatus::kCorrupt ? "corrupt stream"
                                                                                : "stream larger than the package")});
  }
  if (result.produced != archive.size()) {
    return std::unexpected(PackError{ErrorClass::kFailed, "verification failed: decoded " +
                                                              std::to_string(result.produced) + " bytes, expected " +
                                                              std::to_string(archive.size())});
  }
  if (!archive.empty() && std::memcmp(decoded.data(), archive.data(), archive.size()) != 0) {
    std::size_t at = 0;
    while (decoded[at] == archive[at]) ++at;
    return std::unexpected(PackError{ErrorClass::kFailed, "verification failed: decoded bytes differ from "
                                                          "the package at offset " + std::to_string(at)});
  }
  return {};
}

std::expected<PackageRecord, PackError> BuildPackageRecord(std::span<const std::byte> archive,
                                                           const RecordOptions& options) {
  if (archive.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, "the package must stay under 4 GiB"});
  }
  auto stream = CompressLzmsBuffer(archive, options.compress);
  if (!stream) return std::unexpected(stream.error());
  if (options.verify) {
    if (options.on_verify) options.on_verify();
    if (auto verified = VerifyStream(stream->bytes, archive); !verified) {
      return std::unexpected(verified.error());
    }
  }
  PackageRecord out;
  out.build_id = BuildIdOf(archive);
  out.package_crc32 = PackageCrc32(archive);
  out.record = MakePayloadRecord(static_cast<std::uint32_t>(archive.size()), out.build_id, stream->bytes);
  out.stream = std::move(*stream);
  return out;
}

}  // namespace lumaro::pack
