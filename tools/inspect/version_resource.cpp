// Version resource reader; see version_resource.h. The resource tree is
// type -> name -> language -> data entry, offsets relative to the section;
// the data is a tree of blocks (length, value length, type, UTF-16 key,
// value, children), each aligned to 4 bytes.
#include "tools/inspect/version_resource.h"

#include <algorithm>

#include "platform/text.h"
#include "tools/inspect/le_bytes.h"
#include "tools/inspect/pe_sections.h"

namespace lumaro::inspect {
namespace {

constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;

using Bytes = std::span<const std::byte>;

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// The first entry of the directory at dir (all of them are looked at for
// want_id; nullopt as want_id takes the first). Returns the entry's
// OffsetToData field.
std::optional<std::uint32_t> DirectoryEntry(Bytes rsrc, std::size_t dir, std::optional<std::uint32_t> want_id) {
  if (!Fits(rsrc, dir, 16)) return std::nullopt;
  const std::size_t count = std::size_t{LoadLe16(rsrc, dir + 12)} + LoadLe16(rsrc, dir + 14);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = dir + 16 + i * 8;
    if (!Fits(rsrc, entry, 8)) return std::nullopt;
    if (!want_id || LoadLe32(rsrc, entry) == *want_id) return LoadLe32(rsrc, entry + 4);
  }
  return std::nullopt;
}

struct Block {
  std::string key;  // ASCII keys only; anything else reads as '?'
  Bytes value;
  Bytes children;
};

// The block at the start of bytes; nullopt when it does not fit.
std::optional<Block> ReadBlock(Bytes bytes, bool value_in_words) {
  if (!Fits(bytes, 0, 6)) return std::nullopt;
  const std::size_t length = LoadLe16(bytes, 0);
  std::size_t value_length = LoadLe16(bytes, 2);
  if (length < 6 || length > bytes.size()) return std::nullopt;
  const Bytes block = bytes.first(length);
  Block out;
  std::size_t at = 6;
  for (;; at += 2) {
    if (!Fits(block, at, 2)) return std::nullopt;
    const std::uint16_t c = LoadLe16(block, at);
    if (c == 0) break;
    out.key += c < 0x80 ? static_cast<char>(c) : '?';
  }
  at = Align4(at + 2);
  if (value_in_words) value_length *= 2;
  if (at > block.size()) return std::nullopt;
  value_length = std::min(value_length, block.size() - at);
  out.value = block.subspan(at, value_length);
  const std::size_t children = std::min(Align4(at + value_length), block.size());
  out.children = block.subspan(children);
  return out;
}

// Each child block in turn, until f returns true or the bytes run out.
template <typename F>
void ForEachChild(Bytes children, bool value_in_words, F f) {
  std::size_t at = 0;
  while (at < children.size()) {
    const auto child = ReadBlock(children.subspan(at), value_in_words);
    if (!child || f(*child)) return;
    at = Align4(at + LoadLe16(children, at));
  }
}

// UTF-8, up to the first zero unit; an unpaired surrogate reads as '?'.
std::string Utf16Text(Bytes value) {
  std::u16string units;
  for (std::size_t at = 0; Fits(value, at, 2); at += 2) {
    const std::uint16_t c = LoadLe16(value, at);
    if (c == 0) break;
    units += static_cast<char16_t>(c);
  }
  if (auto text = platform::Utf16ToUtf8(units)) return *text;
  for (char16_t& unit : units) {
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = u'?';
  }
  return platform::Utf16ToUtf8(units).value_or("?");
}

std::string Dotted(std::uint32_t high, std::uint32_t low) {
  return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
         std::to_string(low & 0xFFFF);
}

}  // namespace

std::expected<std::optional<ExeVersion>, std::string> ReadExeVersion(Bytes image) {
  auto sections = ReadSections(image);
  if (!sections) return std::unexpected(sections.error().message);
  const auto section = std::find_if(sections->begin(), sections->end(), [](const Section& s) { return s.name == ".rsrc"; });
  if (section == sections->end()) return std::nullopt;
  const Bytes rsrc = image.subspan(section->offset, section->size);

  // type -> name -> language: the first of each below RT_VERSION.
  auto entry = DirectoryEntry(rsrc, 0, kVersionType);
  if (!entry) return std::nullopt;
  for (int level = 0; level < 2; ++level) {
    if (!(*entry & kSubdirectoryFlag)) return std::unexpected("the version resource's directory is malformed");
    entry = DirectoryEntry(rsrc, *entry & ~kSubdirectoryFlag, std::nullopt);
    if (!entry) return std::unexpected("the version resource's directory is malformed");
  }
  if ((*entry & kSubdirectoryFlag) || !Fits(rsrc, *entry, 8)) {
    return std::unexpected("the version resource's directory is malformed");
  }
  const std::uint32_t rva = LoadLe32(rsrc, *entry);
  const std::uint32_t size = LoadLe32(rsrc, *entry + 4);
  if (rva < section->virtual_address || !Fits(rsrc, rva - section->virtual_address, size)) {
    return std::unexpected("the version resource lies outside .rsrc");
  }
  const auto info = ReadBlock(rsrc.subspan(rva - section->virtual_address, size), false);
  if (!info || info->key != "VS_VERSION_INFO" || info->value.size() < kFixedInfoSize ||
      LoadLe32(info->value, 0) != kFixedInfoSignature) {
    return std::unexpected("the version resource holds no VS_VERSION_INFO");
  }
  ExeVersion version;
  version.numbers = Dotted(LoadLe32(info->value, 8), LoadLe32(info->value, 12));
  ForEachChild(info->children, false, [&](const Block& file_info) {
    if (file_info.key != "StringFileInfo") return false;
    ForEachChild(file_info.children, false, [&](const Block& table) {
      ForEachChild(table.children, true, [&](const Block& string) {
        if (string.key == "ProductVersion") version.text = Utf16Text(string.value);
        if (string.key == "CompanyName") version.company = Utf16Text(string.value);
        return false;
      });
      return true;  // the first language's table
    });
    return true;
  });
  return version;
}

std::string FormatVersion(Bytes image) {
  const auto version = ReadExeVersion(image);
  if (!version) return "unreadable (" + version.error() + ")";
  if (!*version) return "none";
  return (*version)->text + " (" + (*version)->numbers + ")";
}

}  // namespace lumaro::inspect
