// File helpers for the Windows tests of every layer: a fresh temporary folder
// per test, whole-file reads and writes, folder listings, and handles held to
// provoke sharing violations. Paths given as std::string are UTF-8, the form
// the launcher's code takes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"

namespace lumaro::testing {

std::string Utf8(const std::filesystem::path& path);
std::filesystem::path FromUtf8(std::string_view text);

// The folder of the running test executable.
std::string ExeFolder();

// Wine's ntdll exports wine_get_version; Windows' does not. For the few
// outcomes where Wine and Windows differ.
bool RunningUnderWine();

// A new, empty folder under %TEMP%, removed with everything in it at the end.
class TempDir {
 public:
  explicit TempDir(std::string_view tag = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return Utf8(path_); }
  std::string operator/(std::string_view name) const { return str() + "\\" + std::string(name); }

 private:
  std::filesystem::path path_;
};

// The whole file, read with every kind of sharing; nullopt when it can't be opened.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);
inline std::optional<std::string> ReadFileBytes(const std::string& path) {
  return ReadFileBytes(FromUtf8(path));
}

// Makes or replaces the file with exactly these bytes.
bool WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
inline bool WriteFileBytes(const std::string& path, std::string_view bytes) {
  return WriteFileBytes(FromUtf8(path), bytes);
}

bool PathExists(const std::string& path);

// Every file and folder below root, as sorted relative "/" paths (folders end in "/").
std::vector<std::string> ListTree(const std::filesystem::path& root);

// An existing file opened with the given access and sharing (CreateFileW's flags).
platform::UniqueFileHandle HoldOpen(const std::string& path, std::uint32_t access,
                                    std::uint32_t share);

}  // namespace lumaro::testing
