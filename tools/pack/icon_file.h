// The .ico an exe carries, checked before it is linked: each image is
// linked in full, so the file's size, its image count and images sharing
// bytes decide the exe's size and the link's time and memory, and windres
// takes what a header claims on trust.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace lumaro::pack {

// 256 pixels a side is the most an .ico's directory can state; Windows' own
// icons have at most a dozen images.
inline constexpr std::size_t kMaxIconFileBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxIconImages = 64;
inline constexpr std::uint32_t kMaxIconSide = 256;

// Why ico is no icon to link, as what follows "it", or nullopt: its header,
// its directory, each image inside the file and apart from the others, and
// each a PNG (signature and IHDR of a size that fits) or a bitmap
// (BITMAPINFOHEADER with its palette and pixels inside the image).
std::optional<std::string> IconProblem(std::span<const std::byte> ico);

// Why a file of size bytes is too large to be an icon.
std::string IconSizeProblem(std::uintmax_t size);

}  // namespace lumaro::pack
