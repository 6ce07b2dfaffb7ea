// The .ico check; see icon_file.h.
#include "tools/pack/icon_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/byte_order.h"
#include "tools/common/one_line.h"

namespace lumaro::pack {
namespace {

using tools::Concat;

constexpr std::array<unsigned char, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;
constexpr std::size_t kIcoHeaderSize = 6;
constexpr std::size_t kIcoEntrySize = 16;

std::uint16_t Le16(std::span<const std::byte> bytes, std::size_t at) { return platform::LoadLe16(bytes.data() + at); }
std::uint32_t Le32(std::span<const std::byte> bytes, std::size_t at) { return platform::LoadLe32(bytes.data() + at); }

std::uint32_t Be32(std::span<const std::byte> bytes, std::size_t at) {
  return std::to_integer<std::uint32_t>(bytes[at]) << 24 | std::to_integer<std::uint32_t>(bytes[at + 1]) << 16 |
         std::to_integer<std::uint32_t>(bytes[at + 2]) << 8 | std::to_integer<std::uint32_t>(bytes[at + 3]);
}

// A PNG image: the signature, then an IHDR chunk whose size fits an icon and
// agrees with the directory's (where that gives one: 0 stands for 256 and
// more).
std::optional<std::string> PngImageProblem(std::span<const std::byte> image, unsigned entry_width,
                                           unsigned entry_height) {
  constexpr std::size_t kIhdrEnd = 8 + 8 + 13 + 4;  // signature, length and type, fields, CRC
  if (image.size() < kIhdrEnd) return "is a PNG too short for its header";
  if (Be32(image, 8) != 13 || std::memcmp(image.data() + 12, "IHDR", 4) != 0) {
    return "is a PNG that does not start with its IHDR header";
  }
  const std::uint32_t width = Be32(image, 16);
  const std::uint32_t height = Be32(image, 20);
  if (width == 0 || height == 0 || width > kMaxIconSide || height > kMaxIconSide) {
    return Concat("is a PNG of ", std::to_string(width), " x ", std::to_string(height),
                  " pixels, where an icon is 1 to ", std::to_string(kMaxIconSide), " pixels a side");
  }
  if ((entry_width != 0 && entry_width != width) || (entry_height != 0 && entry_height != height)) {
    return Concat("is a PNG of ", std::to_string(width), " x ", std::to_string(height),
                  " pixels where the directory says ", std::to_string(entry_width), " x ",
                  std::to_string(entry_height));
  }
  return std::nullopt;
}

// A bitmap: a BITMAPINFOHEADER, then the palette, the colour rows and the
// transparency mask, all inside the image. Its height counts both the
// colour rows and the mask's, so it is twice the icon's.
std::optional<std::string> BitmapImageProblem(std::span<const std::byte> image) {
  const auto width = static_cast<std::int32_t>(Le32(image, 4));
  const auto height = static_cast<std::int32_t>(Le32(image, 8));
  const std::uint16_t planes = Le16(image, 12);
  const std::uint16_t bits = Le16(image, 14);
  const std::uint32_t compression = Le32(image, 16);
  const std::uint32_t colours_used = Le32(image, 32);
  if (width < 1 || static_cast<std::uint32_t>(width) > kMaxIconSide || height < 2 || height % 2 != 0 ||
      static_cast<std::uint32_t>(height / 2) > kMaxIconSide) {
    return Concat("is a bitmap of ", std::to_string(width), " x ", std::to_string(height),
                  " pixels, where an icon's is 1 to ", std::to_string(kMaxIconSide),
                  " wide and twice its rows high (colour and mask)");
  }
  if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
    return Concat("is a bitmap with ", std::to_string(planes), " plane(s) of ", std::to_string(bits),
                  " bits, where an icon has 1 plane of 1, 4, 8, 16, 24 or 32 bits");
  }
  if (compression != 0) return "is a compressed bitmap, which icons never are";
  const std::uint64_t palette_entries = bits <= 8 ? (colours_used != 0 ? colours_used : 1u << bits) : colours_used;
  if (bits <= 8 && palette_entries > (1u << bits)) return "is a bitmap with a palette larger than its bit count allows";
  const std::uint64_t rows = static_cast<std::uint64_t>(height) / 2;
  const std::uint64_t colour_row = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
  const std::uint64_t mask_row = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
  const std::uint64_t needed = kBitmapInfoHeaderSize + palette_entries * 4 + (colour_row + mask_row) * rows;
  if (needed > image.size()) {
    return Concat("is a bitmap whose pixels need ", std::to_string(needed), " bytes where the image has ",
                  std::to_string(image.size()));
  }
  return std::nullopt;
}

}  // namespace

std::string IconSizeProblem(std::uintmax_t size) {
  return Concat("is ", std::to_string(size), " bytes, larger than an icon file may be (",
                std::to_string(kMaxIconFileBytes / (1024 * 1024)), " MiB)");
}

std::optional<std::string> IconProblem(std::span<const std::byte> ico) {
  if (ico.size() > kMaxIconFileBytes) return IconSizeProblem(ico.size());
  if (ico.size() < kIcoHeaderSize) return "is too short for an icon header";
  if (Le16(ico, 0) != 0 || Le16(ico, 2) != 1) return "does not start with an icon header (0, 1)";
  const std::size_t count = Le16(ico, 4);
  if (count == 0) return "holds no image";
  if (count > kMaxIconImages) {
    return Concat("holds ", std::to_string(count), " images, more than ", std::to_string(kMaxIconImages));
  }
  const std::size_t directory_end = kIcoHeaderSize + count * kIcoEntrySize;
  if (directory_end > ico.size()) return "is shorter than its image directory";
  struct Extent {
    std::uint64_t offset;
    std::uint64_t end;
    std::size_t image;
  };
  std::vector<Extent> extents;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = kIcoHeaderSize + i * kIcoEntrySize;
    const auto entry_width = std::to_integer<unsigned>(ico[entry]);
    const auto entry_height = std::to_integer<unsigned>(ico[entry + 1]);
    const std::uint32_t size = Le32(ico, entry + 8);
    const std::uint32_t offset = Le32(ico, entry + 12);
    const std::string which = Concat("its image ", std::to_string(i + 1));
    if (size == 0) return Concat(which, " is empty");
    if (offset < directory_end || offset > ico.size() || size > ico.size() - offset) {
      return Concat(which, " lies outside the file");
    }
    const auto image = ico.subspan(offset, size);
    const bool png = size >= kPngSignature.size() && std::memcmp(image.data(), kPngSignature.data(), 8) == 0;
    const bool bitmap = size >= kBitmapInfoHeaderSize && Le32(image, 0) == kBitmapInfoHeaderSize;
    if (!png && !bitmap) return Concat(which, " is neither a PNG nor a bitmap");
    const auto problem = png ? PngImageProblem(image, entry_width, entry_height) : BitmapImageProblem(image);
    if (problem) return Concat(which, " ", *problem);
    extents.push_back({offset, std::uint64_t{offset} + size, i + 1});
  }
  // Images that share bytes would each be linked into the exe in full: a
  // small file could make it any size.
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].offset < extents[i - 1].end) {
      const auto [first, second] = std::minmax(extents[i - 1].image, extents[i].image);
      return Concat("its images ", std::to_string(first), " and ", std::to_string(second), " share bytes");
    }
  }
  return std::nullopt;
}

}  // namespace lumaro::pack
