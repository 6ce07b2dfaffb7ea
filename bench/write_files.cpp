// The floor for writing a package: reads the raw archive into memory
// (untimed), then times creating its folders and files in a fresh folder
// with plain CreateDirectoryW / CreateFileW / WriteFile / CloseHandle.
//   write_files ARCHIVE DEST_DIR [--flush | --flush-late]
// DEST_DIR must not exist yet. --flush adds FlushFileBuffers per file before
// its close; --flush-late keeps every file open and flushes them all after
// the last write, which lets the system write back in the meantime.
#include <cwchar>
#include <set>

#include "bench_util.h"

namespace {

bool EnsureFolder(const std::wstring& folder, std::set<std::wstring>& made) {
  if (made.count(folder)) return true;
  const size_t cut = folder.find_last_of(L'\\');
  if (cut != std::wstring::npos && !EnsureFolder(folder.substr(0, cut), made)) return false;
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "CreateDirectoryW %ls: %lu\n", folder.c_str(), GetLastError());
    return false;
  }
  made.insert(folder);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: write_files ARCHIVE DEST_DIR [--flush | --flush-late]\n");
    return 2;
  }
  const bool flush = argc > 3 && std::wcscmp(argv[3], L"--flush") == 0;
  const bool flush_late = argc > 3 && std::wcscmp(argv[3], L"--flush-late") == 0;
  std::vector<HANDLE> open_files;
  std::vector<unsigned char> archive;
  if (!lmr_bench::ReadWholeFile(argv[1], archive)) return 1;
  std::vector<lmr_bench::ArchiveEntryView> entries;
  if (!lmr_bench::ParseArchive(archive, entries)) {
    std::fprintf(stderr, "not a package archive: %ls\n", argv[1]);
    return 1;
  }
  // Wide target paths are formed untimed too: only the file-system work counts.
  const std::wstring root = argv[2];
  std::vector<std::wstring> targets;
  std::vector<std::wstring> parents;
  for (const auto& e : entries) {
    std::wstring name = lmr_bench::ToUtf16(e.name);
    for (wchar_t& c : name) {
      if (c == L'/') c = L'\\';
    }
    targets.push_back(root + L"\\" + name);
    parents.push_back(targets.back().substr(0, targets.back().find_last_of(L'\\')));
  }

  size_t bytes = 0;
  std::set<std::wstring> made;
  const double t0 = lmr_bench::NowMs();
  if (!CreateDirectoryW(root.c_str(), nullptr)) {
    std::fprintf(stderr, "CreateDirectoryW %ls: %lu\n", root.c_str(), GetLastError());
    return 1;
  }
  made.insert(root);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!EnsureFolder(parents[i], made)) return 1;
    HANDLE h = CreateFileW(targets[i].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "CreateFileW %ls: %lu\n", targets[i].c_str(), GetLastError());
      return 1;
    }
    size_t done = 0;
    while (done < entries[i].size) {
      DWORD wrote = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(entries[i].size - done, 1u << 30));
      if (!WriteFile(h, entries[i].data + done, want, &wrote, nullptr) || wrote == 0) {
        std::fprintf(stderr, "WriteFile %ls: %lu\n", targets[i].c_str(), GetLastError());
        return 1;
      }
      done += wrote;
    }
    if (flush && !FlushFileBuffers(h)) {
      std::fprintf(stderr, "FlushFileBuffers %ls: %lu\n", targets[i].c_str(), GetLastError());
      return 1;
    }
    if (flush_late) {
      open_files.push_back(h);
    } else {
      CloseHandle(h);
    }
    bytes += done;
  }
  for (HANDLE h : open_files) {
    if (!FlushFileBuffers(h)) {
      std::fprintf(stderr, "FlushFileBuffers: %lu\n", GetLastError());
      return 1;
    }
    CloseHandle(h);
  }
  const double t1 = lmr_bench::NowMs();
  std::printf("write_ms=%.1f files=%zu folders=%zu bytes=%zu flush=%s\n", t1 - t0,
              entries.size(), made.size(), bytes, flush ? "each" : flush_late ? "late" : "none");
  return 0;
}
