// Helpers for the Win32 tests: a fresh temporary folder per test, file
// contents, and archive bytes built by hand.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::testing {

// A new, empty folder under %TEMP%, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as UTF-8 text, the form the launcher's code takes.
  std::string str() const;
  std::string operator/(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

std::string Utf8(const std::filesystem::path& path);
std::filesystem::path FromUtf8(std::string_view text);
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
// Every file and folder below root, as sorted relative "/" paths (folders end in "/").
std::vector<std::string> ListTree(const std::filesystem::path& root);

// Builds a package archive: entries appended in order, count given or implied.
class ArchiveBuilder {
 public:
  ArchiveBuilder& Add(std::string_view name, std::string_view data);
  // Appends a header whose data_length claims more than follows.
  ArchiveBuilder& AddRaw(std::string_view bytes);
  std::vector<std::byte> Build() const;
  std::vector<std::byte> BuildWithCount(std::uint16_t count) const;

 private:
  std::string body_;
  std::uint16_t count_ = 0;
};

}  // namespace lumaro::testing
