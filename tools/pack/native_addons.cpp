// Native addon check for the pack tool; see native_addons.h.
#include "tools/pack/native_addons.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace lumaro::pack {
namespace {

std::uint32_t Le(std::span<const std::byte> bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::to_integer<std::uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

std::string MachineName(std::uint32_t machine) {
  switch (machine) {
    case 0xAA64: return "ARM64";
    case 0xA641: return "ARM64EC";
    case 0x014C: return "x86 (32-bit)";
    case 0x01C4: return "ARM (32-bit)";
    case 0x0200: return "Itanium";
  }
  char text[32];
  std::snprintf(text, sizeof text, "machine 0x%04X", machine);
  return text;
}

}  // namespace

bool IsNativeAddonName(std::string_view name) {
  constexpr std::string_view kSuffix = ".node";
  if (name.size() <= kSuffix.size() || name[name.size() - kSuffix.size() - 1] == '/') return false;
  for (std::size_t i = 0; i < kSuffix.size(); ++i) {
    char c = name[name.size() - kSuffix.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSuffix[i]) return false;
  }
  return true;
}

std::optional<std::string> ForeignAddonKind(std::span<const std::byte> head) {
  if (head.size() >= 4) {
    const std::uint32_t magic = Le(head, 0, 4);
    if (magic == 0x464C457F) return "ELF (Linux)";  // "\x7fELF"
    // 32- and 64-bit, either byte order, and the universal (fat) form.
    if (magic == 0xFEEDFACE || magic == 0xFEEDFACF || magic == 0xCEFAEDFE || magic == 0xCFFAEDFE ||
        magic == 0xBEBAFECA) {
      return "Mach-O (macOS)";
    }
  }
  if (head.size() >= 0x40 && Le(head, 0, 2) == 0x5A4D) {  // "MZ"
    const std::uint32_t pe = Le(head, 0x3C, 4);
    if (pe <= head.size() - 6 && Le(head, pe, 4) == 0x00004550) {  // "PE\0\0"
      const std::uint32_t machine = Le(head, pe + 4, 2);
      if (machine == 0x8664) return std::nullopt;
      return "PE for " + MachineName(machine);
    }
  }
  return "not an executable";
}

std::expected<std::vector<ForeignAddon>, PackError> FindForeignAddons(const AppFolder& folder) {
  std::vector<ForeignAddon> found;
  for (const SourceFile& file : folder.files) {
    if (!IsNativeAddonName(file.name)) continue;
    auto head = ReadAppFile(folder, file, kAddonHeadSize);
    if (!head) return std::unexpected(head.error());
    if (auto kind = ForeignAddonKind(*head)) found.push_back({file.name, std::move(*kind)});
  }
  return found;
}

}  // namespace lumaro::pack
