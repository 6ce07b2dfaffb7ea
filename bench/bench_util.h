// Shared bits of the Windows-side benchmark helpers: a monotonic millisecond
// clock, whole-file reads, UTF-8/16 conversion and a min/median summary.
// These are measuring tools, not launcher code, so they use <windows.h> directly.
#pragma once

#include <windows.h>

#include "../package/archive.h"
#include "../platform/byte_order.h"
#include "../tools/wine/tool_util.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace lmr_bench {

inline double NowMs() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / ticks_per_ms;
}

using lmr_tool::ToUtf16;
using lmr_tool::ToUtf8;

// The whole file, or false with the error printed.
inline bool ReadWholeFile(const wchar_t* path, std::vector<unsigned char>& out) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %ls: %lu\n", path, GetLastError());
    return false;
  }
  LARGE_INTEGER size;
  GetFileSizeEx(h, &size);
  out.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < out.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(out.size() - done, 1u << 30));
    if (!ReadFile(h, out.data() + done, want, &got, nullptr) || got == 0) {
      std::fprintf(stderr, "cannot read %ls: %lu\n", path, GetLastError());
      CloseHandle(h);
      return false;
    }
    done += got;
  }
  CloseHandle(h);
  return true;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline double Min(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// "label: min=.. median=.. max=.. (n=..)" in milliseconds, one line.
inline void PrintSummary(const char* label, const std::vector<double>& v) {
  if (v.empty()) return;
  std::printf("%s: min=%.1f median=%.1f max=%.1f ms (n=%zu)\n", label, Min(v), Median(v),
              *std::max_element(v.begin(), v.end()), v.size());
}

// The package archive's layout: u16 count, then per entry u16 name length,
// u32 data length, the name and the data. Offsets into the given bytes.
struct ArchiveEntryView {
  std::string_view name;
  const unsigned char* data;
  size_t size;
};

inline bool ParseArchive(const std::vector<unsigned char>& a, std::vector<ArchiveEntryView>& out) {
  using lumaro::platform::LoadLe16;
  using lumaro::platform::LoadLe32;
  namespace package = lumaro::package;
  if (a.size() < package::kArchiveCountSize) return false;
  const unsigned count = LoadLe16(a.data());
  size_t at = package::kArchiveCountSize;
  for (unsigned i = 0; i < count; ++i) {
    if (a.size() - at < package::kEntryHeaderSize) return false;
    const size_t name_len = LoadLe16(a.data() + at);
    const size_t data_len = LoadLe32(a.data() + at + package::kEntryDataLengthOffset);
    at += package::kEntryHeaderSize;
    if (a.size() - at < name_len) return false;
    const std::string_view name(reinterpret_cast<const char*>(a.data() + at), name_len);
    at += name_len;
    if (a.size() - at < data_len) return false;
    out.push_back({name, a.data() + at, data_len});
    at += data_len;
  }
  return at == a.size();
}

}  // namespace lmr_bench
