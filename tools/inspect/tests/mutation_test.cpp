// A launcher image damaged at random, thousands of times, under ASan and
// UBSan. Each round knows what it touched, and so what the answer must be:
// a change to the payload (the record's size and stream, the constants'
// sizes and CRC) is damage; a change to filler around them leaves the
// payload intact; flips, edge values and truncations anywhere, headers
// included, never read out of bounds, and whatever is then called intact
// carries its entries.
#include <gtest/gtest.h>

#include <random>

#include "tools/inspect/payload_check.h"
#include "tools/inspect/report.h"
#include "tools/inspect/tests/test_image.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

struct Range {
  std::size_t at;
  std::size_t size;
};

TEST(MutatedImages, DamageToThePayloadIsReportedAndFillerIsHarmless) {
  const Payload p = MakePayload(Archive({{"home.mjs", AsBytes(std::string(5000, 'h'))},
                                         {"lib\\a.js", AsBytes("module.exports = 1;\n")},
                                         {"node.exe", RandomBytes(140000, 5)}}),
                                64 * 1024);
  const Bytes original = LauncherImage(p.record, p.Constants());
  const std::size_t record = Find(original, p.record);
  const std::size_t constants = Find(original, p.Constants());
  const std::size_t stream = record + package::kRecordHeadSize;
  // The magic, the BuildId and the tag only say where things are: changed,
  // the record or block is not found, or (a BuildId digit) still installs.
  const Range payload[] = {{record + package::kRecordSizeOffset, 4},
                           {stream + 4, p.compressed_size - 4},
                           {constants + 4, 12}};
  const Range filler[] = {{Find(original, Filler(300, 0x90)), 300},
                          {record - 48, 48},
                          {record + p.record.size(), 13},
                          {constants + 16, 40}};
  const Range anywhere[] = {{0, 0x200}, {record, 64}, {constants, 16}, {0, original.size()}};

  std::mt19937 rng(20240611);
  auto below = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
  constexpr std::uint32_t kEdges[] = {0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 24, 0x10000};
  // Writes a flip, an edge value or a random value inside area (never past it).
  auto mutate = [&](Bytes& image, Range area, bool may_truncate) {
    const std::size_t at = area.at + below(area.size);
    const std::size_t room = area.at + area.size - at;
    if (at + 4 > image.size()) return;  // cut off by an earlier truncation
    switch (below(may_truncate ? 4 : 3)) {
      case 0: image[at] ^= std::byte(1u << below(8)); break;
      case 1: if (room >= 4) PutLe(image, at, kEdges[below(std::size(kEdges))], 4); break;
      case 2: image[at] = std::byte(rng() & 0xFF); break;
      case 3: image.resize(at); break;
    }
  };

  int counted[3] = {};
  for (int round = 0; round < 1800; ++round) {
    const int kind = round % 3;
    Bytes image = original;
    for (int m = 1 + static_cast<int>(below(3)); m > 0; --m) {
      if (kind == 0) mutate(image, payload[below(std::size(payload))], false);
      if (kind == 1) mutate(image, filler[below(std::size(filler))], false);
      if (kind == 2 && image.size() > 4) mutate(image, anywhere[below(std::size(anywhere))], true);
    }
    if (image == original) continue;
    ++counted[kind];
    const auto inspection = InspectImage(image, {.max_package_size = 1u << 20});
    if (kind == 0) {
      ASSERT_TRUE(inspection.has_value()) << "round " << round << ": " << inspection.error().message;
      ASSERT_FALSE(inspection->intact()) << "round " << round << " changed the payload";
    } else if (kind == 1) {
      ASSERT_TRUE(inspection.has_value()) << "round " << round << ": " << inspection.error().message;
      ASSERT_TRUE(inspection->intact()) << "round " << round << ": " << *inspection->damage;
      ASSERT_EQ(inspection->entries->size(), 3u);
    } else if (inspection) {
      const std::string report = FormatReport(*inspection, true);
      ASSERT_EQ(report.back(), '\n');
      if (inspection->intact()) {
        ASSERT_TRUE(inspection->entries.has_value());
        ASSERT_EQ(inspection->package.bytes().size(), inspection->where.package_size);
      }
    }
  }
  // Most rounds change something; a seed that did not would prove nothing.
  for (int count : counted) EXPECT_GT(count, 400);
}

}  // namespace
}  // namespace lumaro::inspect
