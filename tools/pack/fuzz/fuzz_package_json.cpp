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

void WriteFile(const fs::path& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
}

// One app folder for the whole run, under the system's temporary folder,
// with the two files every app has. Never destroyed: the exit handler that
// removes the folder needs its name.
const fs::path& AppDir() {
  static const fs::path& dir = *[] {
    std::string pattern = (fs::temp_directory_path() / "lmr-fuzz-package-json-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    WriteFile(fs::path(pattern) / "node.exe", nullptr, 0);
    WriteFile(fs::path(pattern) / "home.mjs", nullptr, 0);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(AppDir(), ignored);
    });
    return new fs::path(pattern);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumaro::pack;
  WriteFile(AppDir() / "package.json", data, size);
  auto folder = ScanAppFolder(AppDir());
  if (!folder) {
    // The folder holds plain files the scan takes: nothing to refuse.
    std::fprintf(stderr, "%s\n", folder.error().message.c_str());
    std::abort();
  }
  auto package_json = ReadPackageJson(*folder);
  if (!package_json) return 0;
  if (auto version = PackageJsonVersion(*package_json); version && *version) (void)ParseReleaseVersion(**version);
  (void)ChooseIdentity(IdentityOptions{}, *package_json, *folder);
  return 0;
}
