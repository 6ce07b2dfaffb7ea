// Writes the seed inputs of one inspector fuzz target into its corpus:
//   lmr_inspect_fuzz_seeds pe_image|version_resource|identity CORPUS_DIR
// Valid inputs built in code, so the fuzzer starts from what a real launcher
// holds instead of finding the formats' magic numbers by chance.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/inspect/fuzz/fuzz_inputs.h"
#include "tools/inspect/tests/version_info_image.h"

namespace {

using namespace lumaro::inspect;
using fuzzing::Bytes;

std::vector<std::pair<std::string_view, Bytes>> Seeds(std::string_view target) {
  const Bytes version_info = testing::VersionInfo(0x00020003, 0x00040000, "2.3.4-rc.1");
  const Bytes rsrc = testing::ResourceSection(fuzzing::kResourceRva, 16, version_info);
  const Bytes identity = testing::LumaroIdentityBlock();
  if (target == "pe_image") {
    const testing::Payload& payload = fuzzing::SmallPayload();
    return {{"launcher", testing::LauncherImage(payload.record, payload.Constants())},
            {"version", testing::VersionImage(16, version_info)}};
  }
  if (target == "version_resource") return {{"rsrc", rsrc}};
  if (target == "identity") {
    return {{"block", identity}, {"block-and-size-word", testing::Concat({identity, testing::Filler(8, 0)})}};
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: lmr_inspect_fuzz_seeds pe_image|version_resource|identity CORPUS_DIR\n", stderr);
    return 2;
  }
  const auto seeds = Seeds(argv[1]);
  if (seeds.empty()) {
    std::fprintf(stderr, "lmr_inspect_fuzz_seeds: no target %s\n", argv[1]);
    return 2;
  }
  std::filesystem::create_directories(argv[2]);
  for (const auto& [name, bytes] : seeds) {
    std::ofstream out(std::filesystem::path(argv[2]) / ("seed-" + std::string(name)), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return 4;
  }
  return 0;
}
