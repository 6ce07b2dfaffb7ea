// Small file helpers for the launcher's Windows tests: fresh temporary
// folders, whole-file reads and writes, and the test executable's folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "platform/current_process.h"
#include "platform/error_text.h"
#include "platform/wide.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace lumaro::launcher::testing {

inline std::string ExeFolder() {
  auto exe = platform::ModuleFileName();
  EXPECT_TRUE(exe.has_value());
  if (!exe) return {};
  return exe->substr(0, exe->find_last_of("\\/"));
}

// A new, empty folder under %TEMP%, removed with everything in it at the end.
class TempFolder {
 public:
  explicit TempFolder(std::string_view tag) {
    static int counter = 0;
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    // Process ids repeat after every fresh Wine server: the start time keeps
    // a later run away from anything an earlier one could not remove.
    path_ = platform::FromWide(std::wstring_view(temp, n)) + "lmr-" + std::string(tag) + "-" +
            std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
            std::to_string(++counter);
    std::filesystem::create_directories(Fs(path_));
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(Fs(path_), ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "\\" + std::string(name); }

  static std::filesystem::path Fs(const std::string& path) {
    return std::filesystem::path(platform::ToWide(path));
  }

 private:
  std::string path_;
};

inline bool WriteBytes(const std::string& path, std::string_view bytes) {
  HANDLE h = CreateFileW(platform::ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

// nullopt when the file can't be opened.
inline std::optional<std::string> ReadBytes(const std::string& path) {
  HANDLE h = CreateFileW(platform::ToWide(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(h);
  return out;
}

inline bool PathExists(const std::string& path) {
  return GetFileAttributesW(platform::ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A handle the test holds to provoke sharing violations.
inline platform::UniqueFileHandle HoldOpen(const std::string& path, DWORD access, DWORD share) {
  return platform::UniqueFileHandle(CreateFileW(platform::ToWide(path).c_str(), access, share,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace lumaro::launcher::testing
