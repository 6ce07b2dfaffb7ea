// Test helpers: temporary folders, file contents and hand-made archives.

#include "tests/windows/test_support.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "package/archive.h"
#include "platform/byte_order.h"

namespace lumaro::testing {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path FromUtf8(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

// Named by process id and start time: Wine hands out the same process ids
// after every fresh server, and a tree deeper than MAX_PATH, which the C
// runtime cannot remove, would otherwise be met again by a later run.
TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("lmr-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
           std::to_string(++counter));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::str() const { return Utf8(path_); }
std::string TempDir::operator/(std::string_view name) const {
  return str() + "\\" + std::string(name);
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ListTree(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = Utf8(fs::relative(entry.path(), root).generic_u8string());
    if (entry.is_directory()) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

ArchiveBuilder& ArchiveBuilder::Add(std::string_view name, std::string_view data) {
  char head[package::kEntryHeaderSize];
  platform::StoreLe16(head, static_cast<std::uint16_t>(name.size()));
  platform::StoreLe32(head + package::kEntryDataLengthOffset, static_cast<std::uint32_t>(data.size()));
  body_.append(head, sizeof head);
  body_.append(name);
  body_.append(data);
  ++count_;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::AddRaw(std::string_view bytes) {
  body_.append(bytes);
  return *this;
}

std::vector<std::byte> ArchiveBuilder::Build() const { return BuildWithCount(count_); }

std::vector<std::byte> ArchiveBuilder::BuildWithCount(std::uint16_t count) const {
  std::vector<std::byte> out(package::kArchiveCountSize);
  platform::StoreLe16(out.data(), count);
  for (char c : body_) out.push_back(static_cast<std::byte>(c));
  return out;
}

}  // namespace lumaro::testing
