// What the pack tool hands to the launcher build: the payload record and the
// generated source of its constants (layouts in package/payload_format.h).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/identity_block.h"
#include "package/payload_format.h"
#include "tools/pack/pack_error.h"

namespace lumaro::pack {

using package::kRecordHeadSize;
using BuildIdBytes = std::array<char, package::kBuildIdSize>;

// The first 16 lowercase hex digits of the archive's SHA-256.
BuildIdBytes BuildIdOf(std::span<const std::byte> archive);

std::vector<std::byte> MakePayloadRecord(std::uint32_t uncompressed_size, const BuildIdBytes& build_id,
                                         std::span<const std::byte> stream);

// zlib's CRC-32 of the archive, the launcher's check after decompression.
std::uint32_t PackageCrc32(std::span<const std::byte> archive);

// The generated constants block and the exe's identity block. generator goes
// into the opening comment; nothing of the machine or the app folder's path
// does, so that the same folder gives the same source anywhere.
std::string ConstantsSource(std::string_view generator, std::uint64_t package_size,
                            std::uint64_t compressed_size, std::uint32_t package_crc32,
                            const package::IdentityFields& identity);

// Replaces path with content unless it already holds exactly that, so that
// an unchanged package does not trigger a relink. Writes through a temporary
// file and a rename, so a reader never sees half a file. Something that is
// not a regular file (/dev/null, a FIFO) is written into; a symbolic link is
// refused, never written through.
std::expected<void, PackError> WriteFileIfChanged(const std::filesystem::path& path,
                                                  std::span<const std::byte> content);

std::expected<void, PackError> WriteFileIfChanged(const std::filesystem::path& path,
                                                  std::string_view content);

}  // namespace lumaro::pack
