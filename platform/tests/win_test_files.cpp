// File helpers for the Windows tests: temporary folders, file contents and
// listings, handles held open.

#include "platform/tests/win_test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "platform/current_process.h"
#include "platform/win32.h"

namespace lumaro::testing {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path FromUtf8(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string ExeFolder() {
  auto exe = platform::ModuleFileName();
  EXPECT_TRUE(exe.has_value());
  if (!exe) return {};
  return exe->substr(0, exe->find_last_of("\\/"));
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Named by process id and start time: Wine hands out the same process ids
// after every fresh server, and a tree deeper than MAX_PATH, which the C
// runtime cannot remove, would otherwise be met again by a later run.
TempDir::TempDir(std::string_view tag) {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          FromUtf8("lmr-" + std::string(tag) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(GetTickCount64()) + "-" + std::to_string(++counter));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::optional<std::string> ReadFileBytes(const fs::path& path) {
  platform::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

bool WriteFileBytes(const fs::path& path, std::string_view bytes) {
  platform::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(FromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
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

platform::UniqueFileHandle HoldOpen(const std::string& path, std::uint32_t access,
                                    std::uint32_t share) {
  return platform::UniqueFileHandle(
      CreateFileW(FromUtf8(path).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace lumaro::testing
