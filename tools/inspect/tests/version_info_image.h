// Test helper without GoogleTest (the fuzz targets' seeds use it too): a
// resource section laid out as the linker does (directory type -> name ->
// language -> data entry) around a VS_VERSIONINFO block tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/inspect/tests/launcher_image.h"

namespace lumaro::inspect::testing {

inline Bytes Utf16(std::string_view text) {
  Bytes out;
  for (char c : text) out.insert(out.end(), {std::byte(c), std::byte{0}});
  return Concat({out, Filler(2, 0)});
}

inline void Pad4(Bytes& out) { out.resize((out.size() + 3) & ~std::size_t{3}); }

// One block: length, value length (words for text), type, key, value, children.
inline Bytes Block(std::string_view key, const Bytes& value, std::size_t value_length, bool text,
            std::initializer_list<Bytes> children = {}) {
  Bytes out(6);
  const Bytes k = Utf16(key);
  out.insert(out.end(), k.begin(), k.end());
  Pad4(out);
  out.insert(out.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    Pad4(out);
    out.insert(out.end(), child.begin(), child.end());
  }
  PutLe(out, 0, out.size(), 2);
  PutLe(out, 2, value_length, 2);
  PutLe(out, 4, text ? 1 : 0, 2);
  return out;
}

inline Bytes String(std::string_view key, std::string_view value) {
  return Block(key, Utf16(value), value.size() + 1, true);
}

inline Bytes VersionInfo(std::uint32_t ms, std::uint32_t ls, std::string_view product_version) {
  Bytes fixed(52);
  PutLe(fixed, 0, 0xFEEF04BD, 4);
  PutLe(fixed, 8, ms, 4);
  PutLe(fixed, 12, ls, 4);
  const Bytes table = Block("040904B0", {}, 0, true,
                            {String("FileVersion", "wrong one"), String("ProductVersion", product_version)});
  return Block("VS_VERSION_INFO", fixed, fixed.size(), false,
               {Block("StringFileInfo", {}, 0, true, {table}), Block("VarFileInfo", {}, 0, true)});
}

// A .rsrc section at RVA rva holding resources of type `type` with this data.
inline Bytes ResourceSection(std::uint32_t rva, std::uint32_t type, const Bytes& data) {
  Bytes out(3 * 24 + 16);
  for (std::size_t level = 0; level < 3; ++level) {
    const std::size_t dir = level * 24;
    PutLe(out, dir + 14, 1, 2);  // one id entry
    PutLe(out, dir + 16, level == 0 ? type : level == 1 ? 1 : 0x409, 4);
    PutLe(out, dir + 20, level < 2 ? (0x80000000u | (dir + 24)) : 72, 4);
  }
  PutLe(out, 72, rva + out.size(), 4);
  PutLe(out, 76, data.size(), 4);
  return Concat({out, data});
}

// An image with code and this resource section (FakePe puts it at RVA 0x2000).
inline Bytes VersionImage(std::uint32_t type, const Bytes& data) {
  return FakePe({{".text", Filler(300, 0x90)}, {".rsrc", ResourceSection(0x2000, type, data)}});
}

}  // namespace lumaro::inspect::testing
