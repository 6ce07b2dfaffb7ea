// package.json as lmr-pack reads it: the bytes become an app folder's
// package.json, which is scanned, parsed, and yields the release's version
// and the exe's identity (every value checked, a named icon looked up in the
// folder). The same calls as lmr-pack's, so the readers may change under it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tools/common/unique_fd.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/package_json.h"
#include "tools/pack/release_version.h"

namespace {

namespace fs = std::filesystem;

// One app folder for the whole run, under the system's temporary folder.
const fs::path& AppDir() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "lmr-fuzz-package-json-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(AppDir(), ignored);
    });
    return fs::path(pattern);
  }();
  return dir;
}

void WritePackageJson(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen((AppDir() / "package.json").c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumaro::pack;
  WritePackageJson(data, size);
  auto folder = ScanAppFolder(AppDir());
  if (!folder) std::abort();  // the folder holds one plain file: nothing to refuse
  auto package_json = ReadPackageJson(*folder);
  if (!package_json) return 0;
  if (auto version = PackageJsonVersion(*package_json); version && *version) (void)ParseReleaseVersion(**version);
  (void)ChooseIdentity(IdentityOptions{}, *package_json, *folder);
  return 0;
}
