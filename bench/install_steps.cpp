// The launcher's cold install, step by step: the same library calls in the
// same order as EnsureRuntime, each one timed, around a payload linked in the
// same way (.incbin into .rdata). The launcher itself writes no log.
//   install_steps [--flush shipped|each|late-keep|late-reopen|late-parN|keep-only|none|stand-in|fallback]
// shipped is the unpacker as the launcher calls it (its flush is inside the
// unpack step); each flushes every file right after its write, before its
// close; the late modes flush after the last write, keeping the handles
// (late-keep), opening the files again (late-reopen) or from N threads at
// once (late-parN): concurrent flushes can share one journal commit;
// stand-in and fallback count the install's flushes (with and without an
// NtFlushBuffersFileEx, here a stand-in that forwards to FlushFileBuffers).
// LOCALAPPDATA\Lumaro must hold no runtime of this build yet. Prints one line
// "steps: NAME_ms=... ..." and exits 0 when the runtime is in place.
#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "bench_util.h"
#include "launcher/build_id.h"
#include "launcher/launch_sequence.h"
#include "launcher/runtime_install.h"
#include "package/archive.h"
#include "package/crc32.h"
#include "package/decompress.h"
#include "package/payload_record.h"
#include "package/unpack.h"
#include "platform/fs.h"
#include "platform/install_flush.h"
#include "platform/win32.h"
#include "platform/path_rules.h"
#include "platform/error_text.h"

namespace {

namespace fs = lumaro::platform;
namespace pkg = lumaro::package;
namespace lch = lumaro::launcher;

// kKeepOnly keeps the handles as the late modes do but flushes nothing: the
// cost of holding every file open.
// kStandIn installs with a stand-in for NtFlushBuffersFileEx (Wine lacks it)
// that counts its calls and forwards to FlushFileBuffers; kFallback without
// it. Both count the install's full flushes.
enum class FlushMode {
  kShipped, kEach, kLateKeep, kLateReopen, kLateParallel, kKeepOnly, kNone, kStandIn, kFallback
};

int g_no_sync_flushes = 0;
int g_full_flushes = 0;

fs::NtStatus CountingFlushEx(fs::NativeHandle file, std::uint32_t, void*, std::uint32_t, void* io) {
  ++g_no_sync_flushes;
  if (!FlushFileBuffers(file)) return static_cast<fs::NtStatus>(0xC0000185);  // STATUS_IO_DEVICE_ERROR
  static_cast<IO_STATUS_BLOCK*>(io)->Status = 0;
  return 0;
}

fs::Result<void> CountingFullFlush(fs::NativeHandle file) {
  ++g_full_flushes;
  return fs::InstallFlush::FullFlush(file);
}

// Late flush keeping handles: the unpacker closes each file after writing, so
// the write hook keeps a duplicate of each new file's handle (first write at
// offset 0). Empty files are never written and so never kept.
std::vector<HANDLE> g_kept;

fs::WriteAttempt KeepingWrite(fs::NativeHandle file, const std::byte* data, std::uint32_t length) {
  LARGE_INTEGER zero{}, at{};
  if (SetFilePointerEx(file, zero, &at, FILE_CURRENT) && at.QuadPart == 0) {
    HANDLE dup = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &dup, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      g_kept.push_back(dup);
    }
  }
  return fs::NtWriteChunk(file, data, length);
}

std::atomic<size_t> g_next{0};
std::atomic<bool> g_failed{false};

DWORD WINAPI FlushKept(void*) {
  for (size_t i = g_next++; i < g_kept.size(); i = g_next++) {
    if (!FlushFileBuffers(g_kept[i])) g_failed = true;
  }
  return 0;
}

// The whole file is one write (files stay below 4 GiB), so a complete write
// is the file's last.
fs::WriteAttempt FlushingWrite(fs::NativeHandle file, const std::byte* data, std::uint32_t length) {
  const fs::WriteAttempt attempt = fs::NtWriteChunk(file, data, length);
  if (attempt.status >= 0 && attempt.written == length && !FlushFileBuffers(file)) {
    return {static_cast<LONG>(0xC0000185), 0};  // STATUS_IO_DEVICE_ERROR
  }
  return attempt;
}

bool Fails(const char* step, const fs::LaunchError& error) {
  std::fprintf(stderr, "%s failed: %s\n", step,
               fs::RenderLaunchError(error, &fs::SystemMessageText).c_str());
  return true;
}

struct Clock {
  double last = lmr_bench::NowMs();
  std::string line = "steps:";
  double total = 0;
  void Add(const char* name, double ms) {
    char text[64];
    std::snprintf(text, sizeof text, " %s_ms=%.2f", name, ms);
    line += text;
    total += ms;
  }
  void Lap(const char* name) {
    const double now = lmr_bench::NowMs();
    Add(name, now - last);
    last = now;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  FlushMode mode = FlushMode::kShipped;
  int threads = 1;
  if (argc > 2 && std::wcscmp(argv[1], L"--flush") == 0) {
    const std::wstring m = argv[2];
    mode = m == L"late-keep"     ? FlushMode::kLateKeep
           : m == L"late-reopen" ? FlushMode::kLateReopen
           : m == L"none"        ? FlushMode::kNone
           : m == L"each"        ? FlushMode::kEach
                                 : FlushMode::kShipped;
    if (m == L"keep-only") mode = FlushMode::kKeepOnly;
    if (m == L"stand-in") mode = FlushMode::kStandIn;
    if (m == L"fallback") mode = FlushMode::kFallback;
    if (m.starts_with(L"late-par")) {
      mode = FlushMode::kLateParallel;
      threads = std::max(1, _wtoi(m.c_str() + 8));
    }
  }
  Clock clock;

  // Before decoding: the data root, the build id from the record, the checks.
  auto data_root = lch::EnsureDataRoot(pkg::EmbeddedIdentity()->data_folder);
  if (!data_root && Fails("EnsureDataRoot", data_root.error())) return 1;
  const auto build_id = lch::ValidateBuildId(pkg::BuildIdField());
  if (!build_id) {
    std::fprintf(stderr, "the record's build id is not valid\n");
    return 1;
  }
  const std::string runtime_dir = fs::JoinPath(*data_root, lch::RuntimeDirName(*build_id));
  if (lch::RuntimeComplete(runtime_dir) || fs::Exists(runtime_dir)) {
    std::fprintf(stderr, "%s exists already\n", runtime_dir.c_str());
    return 1;
  }
  clock.Lap("prepare");

  // The launcher pages the record in inside Decompress; touching it first
  // shows that cost on its own.
  const auto stream = pkg::CompressedStream();
  unsigned sum = 0;
  for (size_t at = 0; at < stream.size(); at += 4096) sum += static_cast<unsigned>(stream[at]);
  clock.Lap("map");

  // DecompressPackage ends with the digest check; the check is timed again
  // alone over the same buffer and split off the decode. The second pass
  // itself counts nowhere.
  const double before_decode = clock.last;
  auto package = pkg::DecompressPackage();
  const double decoded = lmr_bench::NowMs();
  if (!package && Fails("DecompressPackage", package.error())) return 1;
  const std::uint32_t crc = pkg::Crc32(package->bytes());
  const auto cursor = pkg::ArchiveCursor::Open(package->bytes());
  const unsigned files = cursor ? cursor->entry_count() : 0;
  const double digest = lmr_bench::NowMs() - decoded;
  clock.Add("decode", decoded - before_decode - digest);
  clock.Add("digest", digest);
  clock.last = lmr_bench::NowMs();

  const std::string staging_dir =
      fs::JoinPath(*data_root, lch::StagingDirName(*build_id, GetCurrentProcessId()));
  if (auto made = fs::CreateFolder(staging_dir); !made && Fails("CreateFolder", made.error())) {
    return 1;
  }
  clock.Lap("staging");

  pkg::UnpackOptions options;
  fs::InstallFlush shipped = mode == FlushMode::kStandIn    ? fs::InstallFlush(&CountingFlushEx, &CountingFullFlush)
                             : mode == FlushMode::kFallback ? fs::InstallFlush(nullptr, &CountingFullFlush)
                                                            : fs::InstallFlush::ForThisSystem();
  const bool counted = mode == FlushMode::kStandIn || mode == FlushMode::kFallback;
  if (mode == FlushMode::kShipped || counted) options.flush = &shipped;
  if (mode == FlushMode::kEach) options.write = &FlushingWrite;
  if (mode == FlushMode::kLateKeep || mode == FlushMode::kLateParallel ||
      mode == FlushMode::kKeepOnly) {
    options.write = &KeepingWrite;
  }
  if (auto unpacked = pkg::UnpackPackage(package->bytes(), staging_dir, options);
      !unpacked && Fails("UnpackPackage", unpacked.error())) {
    return 1;
  }
  clock.Lap("unpack");

  if (mode == FlushMode::kLateKeep) {
    for (HANDLE h : g_kept) {
      if (!FlushFileBuffers(h)) {
        std::fprintf(stderr, "FlushFileBuffers: %lu\n", GetLastError());
        return 1;
      }
      CloseHandle(h);
    }
  } else if (mode == FlushMode::kKeepOnly) {
    for (HANDLE h : g_kept) CloseHandle(h);
  } else if (mode == FlushMode::kLateParallel) {
    std::vector<HANDLE> workers;
    for (int t = 1; t < threads; ++t) {
      if (HANDLE w = CreateThread(nullptr, 64 * 1024, &FlushKept, nullptr, 0, nullptr)) {
        workers.push_back(w);
      }
    }
    FlushKept(nullptr);
    WaitForMultipleObjects(static_cast<DWORD>(workers.size()), workers.data(), TRUE, INFINITE);
    for (HANDLE w : workers) CloseHandle(w);
    for (HANDLE h : g_kept) CloseHandle(h);
    if (g_failed) {
      std::fprintf(stderr, "FlushFileBuffers failed\n");
      return 1;
    }
  } else if (mode == FlushMode::kLateReopen) {
    auto cursor = pkg::ArchiveCursor::Open(package->bytes());
    for (std::uint32_t i = 0; cursor && i < cursor->entry_count(); ++i) {
      const auto head = cursor->NextHead();
      if (!head || !cursor->TakeData(head->data_length)) return 1;
      auto file = fs::OpenFile(pkg::EntryTargetPath(staging_dir, head->name), GENERIC_WRITE,
                               fs::kShareAll, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
      if (!file && Fails("OpenFile", file.error())) return 1;
      if (!FlushFileBuffers(file->handle.get())) {
        std::fprintf(stderr, "FlushFileBuffers: %lu\n", GetLastError());
        return 1;
      }
    }
  }
  clock.Lap("flush");

  {
    // As the launcher's marker: created (or emptied), flushed, closed.
    auto marker = fs::OpenFile(fs::JoinPath(staging_dir, "ready"), GENERIC_WRITE, fs::kShareAll,
                               OPEN_ALWAYS, 0);
    if (!marker && Fails("OpenFile ready", marker.error())) return 1;
    if (marker->error_after_open == ERROR_ALREADY_EXISTS) {
      if (auto cut = fs::TruncateToZero(marker->handle.get()); !cut) return 1;
    }
    if (counted) {
      if (auto sealed = shipped.Seal(marker->handle.get()); !sealed) return 1;
    } else if (!FlushFileBuffers(marker->handle.get())) {
      return 1;
    }
  }
  clock.Lap("marker");

  if (auto published = lch::PublishStaging(staging_dir, runtime_dir);
      !published && Fails("PublishStaging", published.error())) {
    return 1;
  }
  clock.Lap("rename");
  package->Free();
  clock.Lap("release");

  std::printf("%s total_ms=%.2f crc32=%08X touch=%u flush=%ls\n", clock.line.c_str(),
              clock.total, crc, sum & 0xFF, argc > 2 ? argv[2] : L"shipped");
  if (counted) {
    std::printf("files=%u no_sync_flushes=%d full_flushes=%d\n", files, g_no_sync_flushes,
                g_full_flushes);
  }
  return 0;
}
