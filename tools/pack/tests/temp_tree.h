// Test helper: a scratch folder removed at the end of the test, and short
// ways to put files, folders and links into it.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lumaro::pack::testing {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lmr-pack-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path operator/(std::string_view relative) const { return root_ / relative; }

  void File(std::string_view relative, std::string_view content = {}) const {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  void Folder(std::string_view relative) const { std::filesystem::create_directories(root_ / relative); }
  void Link(std::string_view relative, const std::filesystem::path& target) const {
    std::filesystem::create_directories((root_ / relative).parent_path());
    std::filesystem::create_symlink(target, root_ / relative);
  }
  // The two entries every package needs.
  void Basics() const {
    File("node.exe", "MZ fake node");
    File("home.mjs", "console.log('hi');\n");
  }

 private:
  std::filesystem::path root_;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace lumaro::pack::testing
