// Decoding cost alone: maps a payload record file and decompresses its stream
// through the system's cabinet.dll exactly as the launcher does (one
// Decompress into a zeroed buffer of the package size), printing the time,
// then times the launcher's own digest check over the decoded package.
//   decode_only RECORD.bin [RUNS]
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "bench_util.h"
#include "package/crc32.h"
#include "package/payload_format.h"
#include "platform/byte_order.h"

namespace {

using CreateDecompressorFn = BOOL(WINAPI*)(DWORD, void*, void**);
using DecompressFn = BOOL(WINAPI*)(void*, const void*, SIZE_T, void*, SIZE_T, SIZE_T*);
using CloseDecompressorFn = BOOL(WINAPI*)(void*);
constexpr DWORD kLzms = 5;
constexpr size_t kRecordHead = lumaro::package::kRecordHeadSize;

struct Timing {
  double total_ms;       // load + create + alloc + decompress + close + free
  double decompress_ms;  // the Decompress call alone
  double crc_ms;         // the launcher's CRC-32 over the decoded package
};

bool DecodeOnce(const unsigned char* record, size_t record_size, Timing& t) {
  const std::uint32_t package_size = lumaro::platform::LoadLe32(record + lumaro::package::kRecordSizeOffset);
  const double t0 = lmr_bench::NowMs();
  HMODULE cabinet = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (cabinet == nullptr) {
    std::fprintf(stderr, "LoadLibraryExW(cabinet.dll): %lu\n", GetLastError());
    return false;
  }
  auto create = reinterpret_cast<CreateDecompressorFn>(
      reinterpret_cast<void*>(GetProcAddress(cabinet, "CreateDecompressor")));
  auto decompress =
      reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(GetProcAddress(cabinet, "Decompress")));
  auto close = reinterpret_cast<CloseDecompressorFn>(
      reinterpret_cast<void*>(GetProcAddress(cabinet, "CloseDecompressor")));
  if (!create || !decompress || !close) {
    std::fprintf(stderr, "cabinet.dll lacks the Compression API (%lu)\n", GetLastError());
    FreeLibrary(cabinet);
    return false;
  }
  void* handle = nullptr;
  if (!create(kLzms, nullptr, &handle)) {
    std::fprintf(stderr, "CreateDecompressor: %lu\n", GetLastError());
    FreeLibrary(cabinet);
    return false;
  }
  void* out = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, package_size);
  if (out == nullptr) {
    std::fprintf(stderr, "out of memory\n");
    return false;
  }
  SIZE_T produced = 0;
  const double d0 = lmr_bench::NowMs();
  const BOOL ok = decompress(handle, record + kRecordHead, record_size - kRecordHead, out,
                             package_size, &produced);
  const DWORD error = GetLastError();
  const double d1 = lmr_bench::NowMs();
  std::uint32_t crc = 0;
  if (ok) crc = lumaro::package::Crc32({static_cast<const std::byte*>(out), produced});
  const double c1 = lmr_bench::NowMs();
  close(handle);
  HeapFree(GetProcessHeap(), 0, out);
  FreeLibrary(cabinet);
  const double t1 = lmr_bench::NowMs();
  if (!ok || produced != package_size) {
    std::fprintf(stderr, "Decompress failed: ok=%d error=%lu produced=%zu of %u\n", ok, error,
                 static_cast<size_t>(produced), package_size);
    return false;
  }
  t = {t1 - t0 - (c1 - d1), d1 - d0, c1 - d1};
  std::printf("crc32=%08X\n", crc);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: decode_only RECORD.bin [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 1;

  // Mapped, as the launcher reads its record in place from its own image.
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %ls: %lu\n", argv[1], GetLastError());
    return 1;
  }
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const auto* record =
      mapping ? static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))
              : nullptr;
  if (record == nullptr || size.QuadPart < static_cast<LONGLONG>(kRecordHead) ||
      std::memcmp(record, lumaro::package::kRecordMagic.data(), lumaro::package::kRecordMagic.size()) != 0) {
    std::fprintf(stderr, "not a payload record: %ls\n", argv[1]);
    return 1;
  }

  std::vector<double> total, decompress, crc;
  for (int i = 0; i < runs; ++i) {
    Timing t;
    if (!DecodeOnce(record, static_cast<size_t>(size.QuadPart), t)) return 1;
    std::printf("run %d: decode_ms=%.1f decompress_ms=%.1f crc_ms=%.2f\n", i + 1, t.total_ms,
                t.decompress_ms, t.crc_ms);
    total.push_back(t.total_ms);
    decompress.push_back(t.decompress_ms);
    crc.push_back(t.crc_ms);
  }
  lmr_bench::PrintSummary("decode", total);
  lmr_bench::PrintSummary("decompress", decompress);
  lmr_bench::PrintSummary("crc", crc);
  UnmapViewOfFile(record);
  CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}
