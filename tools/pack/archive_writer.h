// Writes the package archive: a u16 entry count, then per entry a u16 name
// length, a u32 data length, the name and the data, all little-endian and
// back to back. Names are written as given, in the order given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/pack_error.h"

namespace lumaro::pack {

struct ArchiveInput {
  std::string name;
  std::span<const std::byte> data;
};

// Only the format's own limits are checked (count, name and data lengths, a
// total that the record's u32 size can hold), so tests can build odd
// packages; the pack tool checks names before it gets here.
std::expected<std::vector<std::byte>, PackError> WriteArchive(std::span<const ArchiveInput> entries);

// Size of an archive with these name and data lengths, or nullopt when a
// length is over the format's limits. Shared with the folder reader, which
// writes file contents straight into place.
struct EntryShape {
  std::size_t name_length;
  std::uint64_t data_length;
};
std::expected<std::size_t, PackError> ArchiveSize(std::span<const EntryShape> shapes);

// Writes the 6-byte entry header and the name at out; returns the position
// where the data goes.
std::byte* PutEntryHead(std::byte* out, std::string_view name, std::uint32_t data_length);

void PutEntryCount(std::byte* out, std::size_t count);

}  // namespace lumaro::pack
