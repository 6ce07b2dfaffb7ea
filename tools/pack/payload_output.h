// What the pack tool hands to the launcher build: the payload record (the
// 24-byte head "LMR1", u32 LE uncompressed size, 16-byte BuildId, then the
// compressed stream) and the generated PACKAGE_SIZE / COMPRESSED_SIZE source.
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

#include "tools/pack/pack_error.h"

namespace lumaro::pack {

inline constexpr std::size_t kRecordHeadSize = 24;
using BuildIdBytes = std::array<char, 16>;

// The first 16 lowercase hex digits of the archive's SHA-256.
BuildIdBytes BuildIdOf(std::span<const std::byte> archive);

// 16 hex digits, either case (kept as given), or nullopt.
std::optional<BuildIdBytes> ParseBuildId(std::string_view text);

std::vector<std::byte> MakePayloadRecord(std::uint32_t uncompressed_size, const BuildIdBytes& build_id,
                                         std::span<const std::byte> stream);

// generator and source go into the opening comment only.
std::string ConstantsSource(std::string_view generator, std::string_view source,
                            std::uint64_t package_size, std::uint64_t compressed_size);

// Replaces path with content unless it already holds exactly that, so that
// an unchanged package does not trigger a relink. Writes through a temporary
// file and a rename, so a reader never sees half a file.
std::expected<void, PackError> WriteFileIfChanged(const std::filesystem::path& path,
                                                  std::span<const std::byte> content);

std::expected<void, PackError> WriteFileIfChanged(const std::filesystem::path& path,
                                                  std::string_view content);

}  // namespace lumaro::pack
