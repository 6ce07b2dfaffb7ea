// Package archive writer; see archive_writer.h.
#include "tools/pack/archive_writer.h"

#include <cstring>
#include <limits>

#include "package/archive.h"
#include "platform/byte_order.h"
#include "tools/pack/package_names.h"

namespace lumaro::pack {
namespace {

PackError BadInput(std::string message) { return {ErrorClass::kBadInput, std::move(message)}; }

}  // namespace

std::expected<std::size_t, PackError> ArchiveSize(std::span<const EntryShape> shapes) {
  if (shapes.size() > kMaxEntries) {
    return std::unexpected(BadInput(std::to_string(shapes.size()) +
                                    " entries; an archive holds at most 65,535"));
  }
  std::uint64_t total = package::kArchiveCountSize;
  for (const EntryShape& shape : shapes) {
    if (shape.name_length == 0 || shape.name_length > std::numeric_limits<std::uint16_t>::max()) {
      return std::unexpected(BadInput("an entry name must be 1 to 65,535 bytes long"));
    }
    if (shape.data_length > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(BadInput("an entry of 4 GiB or more cannot be stored"));
    }
    total += package::kEntryHeaderSize + shape.name_length + shape.data_length;
  }
  // The record stores the uncompressed size in 32 bits.
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(BadInput("the package would be " + std::to_string(total) +
                                    " bytes; it must stay under 4 GiB"));
  }
  return static_cast<std::size_t>(total);
}

void PutEntryCount(std::byte* out, std::size_t count) {
  platform::StoreLe16(out, static_cast<std::uint16_t>(count));
}

std::byte* PutEntryHead(std::byte* out, std::string_view name, std::uint32_t data_length) {
  platform::StoreLe16(out, static_cast<std::uint16_t>(name.size()));
  platform::StoreLe32(out + package::kEntryDataLengthOffset, data_length);
  out += package::kEntryHeaderSize;
  std::memcpy(out, name.data(), name.size());
  return out + name.size();
}

std::expected<std::vector<std::byte>, PackError> WriteArchive(std::span<const ArchiveInput> entries) {
  std::vector<EntryShape> shapes;
  shapes.reserve(entries.size());
  for (const ArchiveInput& entry : entries) shapes.push_back({entry.name.size(), entry.data.size()});
  auto size = ArchiveSize(shapes);
  if (!size) return std::unexpected(size.error());

  std::vector<std::byte> archive(*size);
  PutEntryCount(archive.data(), entries.size());
  std::byte* out = archive.data() + package::kArchiveCountSize;
  for (const ArchiveInput& entry : entries) {
    out = PutEntryHead(out, entry.name, static_cast<std::uint32_t>(entry.data.size()));
    if (!entry.data.empty()) std::memcpy(out, entry.data.data(), entry.data.size());
    out += entry.data.size();
  }
  return archive;
}

}  // namespace lumaro::pack
