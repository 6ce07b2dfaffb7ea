// The version an exe shows: read from a resource section laid out as the
// linker does (directory type -> name -> language -> data entry, then the
// VS_VERSIONINFO block tree), and the same section damaged at random under
// the sanitizers.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tools/inspect/tests/test_image.h"
#include "tools/inspect/version_resource.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

Bytes Utf16(std::string_view text) {
  Bytes out;
  for (char c : text) out.insert(out.end(), {std::byte(c), std::byte{0}});
  return Concat({out, Filler(2, 0)});
}

void Pad4(Bytes& out) { out.resize((out.size() + 3) & ~std::size_t{3}); }

// One block: length, value length (words for text), type, key, value, children.
Bytes Block(std::string_view key, const Bytes& value, std::size_t value_length, bool text,
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

Bytes String(std::string_view key, std::string_view value) {
  return Block(key, Utf16(value), value.size() + 1, true);
}

Bytes VersionInfo(std::uint32_t ms, std::uint32_t ls, std::string_view product_version) {
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
Bytes ResourceSection(std::uint32_t rva, std::uint32_t type, const Bytes& data) {
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

// FakePe puts its second section at RVA 0x2000.
Bytes Image(std::uint32_t type, const Bytes& data) {
  return FakePe({{".text", Filler(300, 0x90)}, {".rsrc", ResourceSection(0x2000, type, data)}});
}

TEST(VersionResource, NumbersFromFixedInfoAndTextFromProductVersion) {
  const auto version = ReadExeVersion(Image(16, VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1")));
  ASSERT_TRUE(version) << version.error();
  ASSERT_TRUE(*version);
  EXPECT_EQ((*version)->numbers, "2.3.4.0");
  EXPECT_EQ((*version)->text, "2.3.4-rc.1");
}

TEST(VersionResource, NoneWithoutAVersionResource) {
  EXPECT_EQ(FormatVersion(FakePe({{".text", Filler(300, 0x90)}})), "none");
  EXPECT_EQ(FormatVersion(Image(24, VersionInfo(1, 0, "x"))), "none") << "a manifest only";
  Bytes no_signature = VersionInfo(1, 0, "x");
  no_signature[40] ^= std::byte{1};
  EXPECT_TRUE(FormatVersion(Image(16, no_signature)).starts_with("unreadable ("));
}

TEST(VersionResource, DamagedSectionsNeverReadOutOfBounds) {
  const Bytes original = Image(16, VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1"));
  const std::size_t rsrc = Find(original, ResourceSection(0x2000, 16, VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1")));
  ASSERT_NE(rsrc, std::string::npos);
  const std::size_t rsrc_size = original.size() - rsrc;
  std::mt19937 rng(16);
  constexpr std::uint32_t kEdges[] = {0, 1, 6, 0x7FFF, 0xFFFF, 0x80000000u, 0xFFFFFFFFu};
  for (int round = 0; round < 3000; ++round) {
    Bytes image = original;
    for (int m = 0; m < 1 + static_cast<int>(rng() % 3); ++m) {
      const std::size_t at = rsrc + rng() % rsrc_size;
      if (at + 4 > image.size()) continue;
      switch (rng() % 4) {
        case 0: image[at] ^= std::byte(1u << (rng() % 8)); break;
        case 1: PutLe(image, at, kEdges[rng() % std::size(kEdges)], 2 + 2 * (rng() % 2)); break;
        case 2: PutLe(image, at, rng(), 4); break;
        case 3: image.resize(at); break;
      }
    }
    ASSERT_FALSE(FormatVersion(image).empty());
  }
}

}  // namespace
}  // namespace lumaro::inspect
