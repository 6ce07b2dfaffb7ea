// What the inspector's fuzz targets and their seed writer share: the fixed
// parts of the images each target builds around its input, so that a seed
// written for a target is exactly what that target reads.
#pragma once

#include <cstdlib>

#include "tools/inspect/tests/launcher_image.h"

namespace lumaro::inspect::fuzzing {

using testing::Bytes;

// The .rsrc section's RVA in a FakePe image of .text then .rsrc.
inline constexpr std::uint32_t kResourceRva = 0x2000;

// An image whose .rsrc section is rsrc.
inline Bytes ResourceImage(const Bytes& rsrc) {
  return testing::FakePe({{".text", testing::Filler(64, 0x90)}, {".rsrc", rsrc}});
}

// A small real payload, made once.
inline const testing::Payload& SmallPayload() {
  static const testing::Payload payload = [] {
    auto built = testing::BuildPayload(testing::AsBytes("tiny archive stand-in"));
    if (!built) std::abort();
    return std::move(*built);
  }();
  return payload;
}

// A launcher whose .rdata holds the record, then between, then the
// constants: the identity block the link generates lies in between.
inline Bytes LauncherAround(const Bytes& between) {
  const testing::Payload& payload = SmallPayload();
  return testing::FakePe({{".text", testing::Filler(64, 0x90)},
                          {".rdata", testing::Concat({payload.record, between, payload.Constants()})}});
}

}  // namespace lumaro::inspect::fuzzing
