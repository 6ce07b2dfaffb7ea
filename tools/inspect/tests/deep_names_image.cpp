// Writes a small launcher-like image whose package holds COUNT files of DEPTH
// levels, each below a folder of its own: the inspector's worst case for
// memory, measured by hand (never in a test). Default 2,000 x 15,900: a 64 MB
// archive in about 9 KB.
//   lmr_deep_names_image OUT.exe [COUNT [DEPTH]]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/inspect/tests/test_image.h"

int main(int argc, char** argv) {
  using namespace lumaro::inspect::testing;
  if (argc < 2) {
    std::fputs("usage: lmr_deep_names_image OUT.exe [COUNT [DEPTH]]\n", stderr);
    return 2;
  }
  const long count = argc > 2 ? std::atol(argv[2]) : 2000;
  const long depth = argc > 3 ? std::atol(argv[3]) : 15900;
  std::string below;
  for (long level = 2; level < depth; ++level) below += "a/";
  std::vector<std::pair<std::string, Bytes>> files;
  for (long i = 0; i < count; ++i) {
    std::string name = "d";  // appended: GCC 12 warns falsely on "literal" + string (its bug 105651)
    name.append(std::to_string(i)).append("/").append(below).append("f");
    files.emplace_back(std::move(name), Bytes{});
  }
  const Payload payload = MakePayload(Archive(files));
  const Bytes image = LauncherImage(payload.record, payload.Constants());
  std::ofstream(argv[1], std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::printf("%s: %zu bytes, package %u bytes\n", argv[1], image.size(), payload.package_size);
  return 0;
}
