// A launcher image damaged at random, thousands of times, under ASan and
// UBSan: flipped bytes, truncations and sizes overwritten with edge values,
// aimed mostly at the headers, the record and the constants. Nothing may read
// out of bounds, and whatever is called intact must carry its entries.
#include <gtest/gtest.h>

#include <random>

#include "tools/inspect/payload_check.h"
#include "tools/inspect/report.h"
#include "tools/inspect/tests/test_image.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

TEST(MutatedImages, NeverCrashAndNeverCallGarbageIntact) {
  const Payload p = MakePayload(Archive({{"home.mjs", AsBytes(std::string(5000, 'h'))},
                                         {"lib\\a.js", AsBytes("module.exports = 1;\n")},
                                         {"node.exe", RandomBytes(140000, 5)}}),
                                64 * 1024);
  const Bytes original = LauncherImage(p.record, p.Constants());
  const std::size_t record = Find(original, p.record);
  const std::size_t constants = Find(original, p.Constants());
  // Where mutations hurt most: PE headers, record head and stream header,
  // the first chunk records, the constants.
  const std::size_t hot[][2] = {{0, 0x200}, {record, 64}, {constants, 16}};

  std::mt19937 rng(20240611);
  auto below = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
  constexpr std::uint32_t kEdges[] = {0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 24, 0x10000};
  int intact = 0;
  for (int round = 0; round < 1500; ++round) {
    Bytes image = original;
    const int mutations = 1 + static_cast<int>(below(3));
    for (int m = 0; m < mutations; ++m) {
      const auto& area = hot[below(std::size(hot))];
      const std::size_t at = below(4) == 0 ? below(image.size()) : area[0] + below(area[1]);
      if (at + 4 > image.size()) continue;
      switch (below(4)) {
        case 0: image[at] ^= std::byte(1u << below(8)); break;
        case 1: PutLe(image, at, kEdges[below(std::size(kEdges))], 4); break;
        case 2: PutLe(image, at, rng(), 4); break;
        case 3: image.resize(at); break;
      }
    }
    const auto inspection = InspectImage(image, {.max_package_size = 1u << 20});
    if (!inspection) continue;
    const std::string report = FormatReport(*inspection, true);
    ASSERT_EQ(report.back(), '\n');
    if (inspection->intact()) {
      ++intact;
      ASSERT_TRUE(inspection->entries.has_value());
      ASSERT_EQ(inspection->package.bytes().size(), inspection->where.package_size);
    }
  }
  // Some rounds only touch filler or padding and must stay intact.
  EXPECT_GT(intact, 0);
}

}  // namespace
}  // namespace lumaro::inspect
