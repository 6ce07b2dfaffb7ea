// The version an exe shows: read from a resource section laid out as the
// linker does (directory type -> name -> language -> data entry, then the
// VS_VERSIONINFO block tree), and the same section damaged at random under
// the sanitizers.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tools/inspect/tests/test_image.h"
#include "tools/inspect/tests/version_info_image.h"
#include "tools/inspect/version_resource.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

TEST(VersionResource, NumbersFromFixedInfoAndTextFromProductVersion) {
  const auto version = ReadExeVersion(VersionImage(16, VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1")));
  ASSERT_TRUE(version) << version.error();
  ASSERT_TRUE(*version);
  EXPECT_EQ((*version)->numbers, "2.3.4.0");
  EXPECT_EQ((*version)->text, "2.3.4-rc.1");
}

TEST(VersionResource, NoneWithoutAVersionResource) {
  EXPECT_EQ(FormatVersion(FakePe({{".text", Filler(300, 0x90)}})), "none");
  EXPECT_EQ(FormatVersion(VersionImage(24, VersionInfo(1, 0, "x"))), "none") << "a manifest only";
  Bytes no_signature = VersionInfo(1, 0, "x");
  no_signature[40] ^= std::byte{1};
  EXPECT_TRUE(FormatVersion(VersionImage(16, no_signature)).starts_with("unreadable ("));
}

TEST(VersionResource, DamagedSectionsNeverReadOutOfBounds) {
  const Bytes original = VersionImage(16, VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1"));
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
