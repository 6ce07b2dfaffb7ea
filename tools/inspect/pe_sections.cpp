// PE32+ headers: DOS stub, "PE\0\0", the COFF header, the optional header's
// magic and the section table. Every field is range-checked before use.
#include "tools/inspect/pe_sections.h"

#include <algorithm>

#include "tools/inspect/le_bytes.h"

namespace lumaro::inspect {
namespace {

constexpr std::size_t kDosHeaderSize = 0x40;
constexpr std::size_t kNewHeaderOffsetField = 0x3C;
constexpr std::size_t kCoffHeaderSize = 20;  // after the 4-byte signature
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// The most sections the Windows loader takes. Every search runs over each
// section, and hostile ones may all cover the same bytes: the bound keeps
// that work a small multiple of the file's size.
constexpr std::size_t kMaxSections = 96;

InspectError NotLauncher(std::string why) { return {ErrorClass::kNotLauncher, std::move(why)}; }

std::string PrintableName(std::span<const std::byte> raw) {
  std::string name;
  for (std::byte b : raw) {
    const auto c = std::to_integer<unsigned char>(b);
    if (c == 0) break;
    name += (c >= 0x21 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return name.empty() ? "(unnamed)" : name;
}

}  // namespace

std::expected<std::vector<Section>, InspectError> ReadSections(std::span<const std::byte> image) {
  if (!Fits(image, 0, kDosHeaderSize) || LoadLe16(image, 0) != 0x5A4D) {
    return std::unexpected(NotLauncher("not a Windows executable (no MZ header)"));
  }
  const std::uint64_t pe = LoadLe32(image, kNewHeaderOffsetField);
  if (!Fits(image, pe, 4 + kCoffHeaderSize) || LoadLe32(image, pe) != 0x00004550) {
    return std::unexpected(NotLauncher("not a PE image (no PE signature)"));
  }
  const std::size_t coff = pe + 4;
  const std::uint16_t section_count = LoadLe16(image, coff + 2);
  const std::uint16_t optional_size = LoadLe16(image, coff + 16);
  const std::size_t optional = coff + kCoffHeaderSize;
  if (optional_size < 2 || !Fits(image, optional, 2) || LoadLe16(image, optional) != kPe32PlusMagic) {
    return std::unexpected(NotLauncher("not a 64-bit (PE32+) image"));
  }
  if (section_count > kMaxSections) {
    return std::unexpected(NotLauncher(std::to_string(section_count) + " sections, more than Windows loads (" +
                                       std::to_string(kMaxSections) + ")"));
  }
  const std::uint64_t table = optional + optional_size;
  if (!Fits(image, table, std::uint64_t{section_count} * kSectionHeaderSize)) {
    return std::unexpected(NotLauncher("the section table runs past the end of the file (truncated?)"));
  }

  std::vector<Section> sections;
  for (std::size_t i = 0; i < section_count; ++i) {
    const std::size_t header = table + i * kSectionHeaderSize;
    const std::uint32_t virtual_size = LoadLe32(image, header + 8);
    const std::uint32_t virtual_address = LoadLe32(image, header + 12);
    const std::uint32_t raw_size = LoadLe32(image, header + 16);
    const std::uint32_t raw_offset = LoadLe32(image, header + 20);
    std::string name = PrintableName(image.subspan(header, 8));
    if (raw_size == 0) continue;  // .bss and the like: nothing in the file
    if (!Fits(image, raw_offset, raw_size)) {
      return std::unexpected(NotLauncher("section " + name + " runs past the end of the file (truncated?): it ends at byte " +
                                         std::to_string(std::uint64_t{raw_offset} + raw_size) + ", the file has " +
                                         std::to_string(image.size())));
    }
    // The raw size is rounded up to the file alignment; the loader maps
    // only the virtual size, the rest is padding.
    const std::size_t size = virtual_size != 0 ? std::min(virtual_size, raw_size) : raw_size;
    sections.push_back({std::move(name), raw_offset, size, virtual_address});
  }
  if (sections.empty()) return std::unexpected(NotLauncher("the image has no sections with data"));
  return sections;
}

}  // namespace lumaro::inspect
