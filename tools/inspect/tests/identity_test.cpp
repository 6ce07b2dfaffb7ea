// The identity the inspector reports is the block the link put beside the
// constants: look-alike blocks elsewhere (in the icon, in other data, in the
// record's stream) are ignored, and an exe with no such block, or two, is
// reported as unreadable with the damaged status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tools/inspect/identity_report.h"
#include "tools/inspect/payload_check.h"
#include "tools/inspect/tests/test_image.h"
#include "tools/inspect/tests/version_info_image.h"
#include "tools/pack/tests/temp_tree.h"
#include "tools/pack/tests/tool_run.h"

namespace lumaro::inspect {
namespace {

using namespace testing;

const package::IdentityFields kSoTay{"Sổ Tay", "SoTay", "Local\\SoTay.Desktop", "Sổ Tay · Ghi chép"};
const package::IdentityFields kForged{"Forged", "Forged", "Local\\Forged", "Forged"};

Bytes Block(const package::IdentityFields& fields) { return package::MakeIdentityBlock(fields); }

Payload SmallPayload() {
  return MakePayload(Archive({{"home.mjs", AsBytes("1")}, {"node.exe", RandomBytes(2000, 7)}}));
}

// An .ico of one bitmap image whose pixels hold bytes.
Bytes IconHolding(const Bytes& bytes) {
  Bytes ico;
  PutLe(ico, 2, 1, 2);
  PutLe(ico, 4, 1, 2);
  PutLe(ico, 6 + 8, 40 + bytes.size(), 4);
  PutLe(ico, 6 + 12, 22, 4);
  PutLe(ico, 22, 40, 4);  // BITMAPINFOHEADER's size
  ico.resize(22 + 40);
  return Concat({ico, bytes});
}

// A launcher whose .rdata is given, with an icon in .rsrc.
Bytes Image(const Bytes& rdata, const Bytes& icon = {}) {
  std::vector<FakeSection> sections = {{".text", Filler(300, 0x90)}, {".rdata", rdata}};
  if (!icon.empty()) sections.push_back({".rsrc", ResourceSection(0x3000, 3, icon)});
  return FakePe(sections);
}

std::expected<package::IdentityFields, std::string> Identity(const Bytes& image) {
  const auto inspection = InspectImage(image);
  if (!inspection) return std::unexpected("no launcher: " + inspection.error().message);
  return FindIdentity(image, inspection->where);
}

TEST(Identity, TheBlockBesideTheConstantsWhateverTheCompilersOrder) {
  const Payload p = SmallPayload();
  const Bytes identity = Block(kSoTay);
  const std::pair<const char*, Bytes> layouts[] = {
      {"block, padding, constants", Concat({p.record, identity, Filler(24, 0), p.Constants(), Filler(8, 0)})},
      {"size word, block, constants", Concat({p.record, Filler(8, 0), identity, p.Constants()})},
      {"constants, size word, block", Concat({p.record, p.Constants(), Filler(16, 0), identity, Filler(32)})},
  };
  for (const auto& [layout, rdata] : layouts) {
    const Bytes image = Image(rdata);
    const auto found = Identity(image);  // views into image
    ASSERT_TRUE(found) << layout << ": " << found.error();
    EXPECT_EQ(*found, kSoTay) << layout;
  }
}

TEST(Identity, ALookAlikeElsewhereIsIgnored) {
  const Payload p = SmallPayload();
  const Bytes rdata = Concat({Block(kForged), Filler(100), p.record, Filler(13), Block(kSoTay), Filler(8, 0),
                              p.Constants(), Filler(100), Block(kForged)});
  const Bytes image = Image(rdata, IconHolding(Block(kForged)));
  const auto found = Identity(image);
  ASSERT_TRUE(found) << found.error();
  EXPECT_EQ(*found, kSoTay);
  const auto inspection = InspectImage(image);
  ASSERT_TRUE(inspection);
  EXPECT_EQ(FormatIdentity(image, found),
            "product: Sổ Tay\ncompany: none\ndata-folder: SoTay\nmutex-name: Local\\SoTay.Desktop\n"
            "window-title: Sổ Tay · Ghi chép\n");
}

TEST(Identity, NoneOrTwoBesideTheConstantsIsUnreadable) {
  const Payload p = SmallPayload();
  const std::tuple<const char*, Bytes, std::string> cases[] = {
      {"none at all", Image(Concat({p.record, p.Constants()})), "no identity block beside the constants"},
      {"one only in the icon", Image(Concat({p.record, p.Constants()}), IconHolding(Block(kSoTay))),
       "no identity block beside the constants"},
      {"one too far off", Image(Concat({p.record, Block(kSoTay), Filler(kIdentityGapLimit + 1, 0), p.Constants()})),
       "no identity block beside the constants"},
      {"one on each side",
       Image(Concat({p.record, Block(kSoTay), p.Constants(), Filler(8, 0), Block(kForged)})),
       "2 identity blocks beside the constants"},
  };
  for (const auto& [name, image, why] : cases) {
    const auto found = Identity(image);
    ASSERT_FALSE(found) << name;
    EXPECT_EQ(found.error(), why) << name;
    EXPECT_EQ(FormatIdentity(image, found), "identity: unreadable (" + why + ")\n") << name;
  }
}

TEST(Identity, LmrInspectExitsDamagedWithoutItsOneBlock) {
  pack::testing::TempTree scratch;
  const Payload p = SmallPayload();
  const std::pair<Bytes, int> cases[] = {
      {Image(Concat({p.record, Block(kSoTay), p.Constants()}), IconHolding(Block(kForged))), 0},
      {Image(Concat({p.record, p.Constants()}), IconHolding(Block(kSoTay))), 1},
  };
  for (const auto& [image, status] : cases) {
    const auto exe = scratch / "Lumaro.exe";
    std::ofstream(exe, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const auto run = pack::testing::Execute(scratch, LMR_INSPECT_PATH, pack::testing::Quote(exe.string()));
    EXPECT_EQ(run.exit_code, status) << run.out << run.err;
    EXPECT_NE(run.out.find("payload: intact\n"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace lumaro::inspect
