// Size agreement, decoding, CRC and archive checks; see payload_check.h. The
// package buffer is allocated only once the constants, the record and the
// stream header agree on its size and the chunk walk has reached the end.
#include "tools/inspect/payload_check.h"

#include <cstdio>

#include "compat/lzms/lzms_decoder.h"
#include "package/crc32.h"

namespace lumaro::inspect {
namespace {

std::string Crc(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

void CheckSizes(Inspection& inspection) {
  const PayloadLocation& where = inspection.where;
  auto disagree = [&](std::string what) { inspection.mismatches.push_back(std::move(what)); };
  if (where.record_size != where.package_size) {
    disagree("PACKAGE_SIZE " + std::to_string(where.package_size) + ", the record's size field " +
             std::to_string(where.record_size));
  }
  if (where.stream.header_ok && where.stream.total_size != where.package_size) {
    disagree("PACKAGE_SIZE " + std::to_string(where.package_size) + ", the stream header's total " +
             std::to_string(where.stream.total_size));
  }
  if (where.stream.complete() && where.stream.length != where.compressed_size) {
    disagree("COMPRESSED_SIZE " + std::to_string(where.compressed_size) + ", the chunk walk " +
             std::to_string(where.stream.length));
  }
}

InspectError OutOfMemory() { return {ErrorClass::kOutOfMemory, "out of memory"}; }

// Decodes, checks and parses; returns why the payload is damaged, if it is.
// A buffer this machine cannot give is no damage: kOutOfMemory.
std::expected<std::optional<std::string>, InspectError> CheckContent(Inspection& inspection,
                                                                    const InspectOptions& options) {
  const PayloadLocation& where = inspection.where;
  if (!where.stream.complete()) return where.stream.problem;
  if (!inspection.mismatches.empty()) return "sizes disagree: " + inspection.mismatches.front();
  if (where.package_size > options.max_package_size) {
    return "PACKAGE_SIZE " + std::to_string(where.package_size) + " is over this run's limit";
  }
  std::optional<ByteBuffer> package = ByteBuffer::Allocate(where.package_size);
  if (!package) return std::unexpected(OutOfMemory());

  // Exactly what the launcher hands to the decompressor.
  const auto stream = where.stream_area.first(where.compressed_size);
  const lzms::BufferDecodeResult decoded = lzms::DecompressBuffer(stream, package->bytes());
  if (decoded.status == lzms::DecodeStatus::kOutOfMemory) return std::unexpected(OutOfMemory());
  if (decoded.status != lzms::DecodeStatus::kOk) return "the stream does not decode";
  if (decoded.produced != where.package_size) {
    return "the stream decodes to " + std::to_string(decoded.produced) + " bytes, not PACKAGE_SIZE " +
           std::to_string(where.package_size);
  }
  const std::uint32_t crc = package::Crc32(package->bytes());
  if (crc != where.package_crc32) {
    return "CRC-32 of the decoded package is " + Crc(crc) + ", PACKAGE_CRC32 says " + Crc(where.package_crc32);
  }
  inspection.package = std::move(*package);
  auto entries = ReadPackageEntries(inspection.package.bytes());
  if (!entries) return "archive: " + entries.error();
  for (const PackageEntry& entry : *entries) inspection.total_bytes += entry.data.size();
  inspection.entries = std::move(*entries);
  return std::nullopt;
}

}  // namespace

std::expected<Inspection, InspectError> InspectImage(std::span<const std::byte> image, const InspectOptions& options) {
  auto where = LocatePayload(image);
  if (!where) return std::unexpected(where.error());
  Inspection inspection;
  inspection.where = std::move(*where);
  CheckSizes(inspection);
  auto damage = CheckContent(inspection, options);
  if (!damage) return std::unexpected(damage.error());
  inspection.damage = std::move(*damage);
  return inspection;
}

}  // namespace lumaro::inspect
