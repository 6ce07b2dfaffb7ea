// Unpack time of the launcher's own unpacker with and without the per-file
// flush, on the same archive read from disk, into fresh folders. The two
// modes alternate run by run so that drift in the machine hits both alike.
//   unpack_bench ARCHIVE WORK_DIR [RUNS] [FIRST_RUN]
// WORK_DIR must exist; each run unpacks into WORK_DIR\run-N-flush|noflush.
// Run N begins with the flush when N is odd; FIRST_RUN (default 1) lets a
// caller that starts one run at a time keep the alternation.
#include <cwchar>
#include <span>

#include "bench_util.h"
#include "package/unpack.h"
#include "platform/launch_error.h"
#include "platform/error_text.h"

namespace {

bool UnpackOnce(std::span<const std::byte> archive, const std::wstring& dir, bool flush,
                double& ms) {
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    std::fprintf(stderr, "CreateDirectoryW %ls: %lu\n", dir.c_str(), GetLastError());
    return false;
  }
  lumaro::package::UnpackOptions options;
  lumaro::platform::InstallFlush per_file = lumaro::platform::InstallFlush::ForThisSystem();
  if (flush) options.flush = &per_file;
  const std::string staging = lmr_bench::ToUtf8(dir);
  const double t0 = lmr_bench::NowMs();
  auto result = lumaro::package::UnpackPackage(archive, staging, options);
  ms = lmr_bench::NowMs() - t0;
  if (!result) {
    std::fprintf(stderr, "UnpackPackage failed: %s\n",
                 lumaro::platform::RenderLaunchError(result.error(),
                                                     &lumaro::platform::SystemMessageText)
                     .c_str());
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: unpack_bench ARCHIVE WORK_DIR [RUNS] [FIRST_RUN]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 3;
  const int first = argc > 4 ? std::max(1, _wtoi(argv[4])) - 1 : 0;
  std::vector<unsigned char> bytes;
  if (!lmr_bench::ReadWholeFile(argv[1], bytes)) return 1;
  const std::span<const std::byte> archive(reinterpret_cast<const std::byte*>(bytes.data()),
                                           bytes.size());
  const std::wstring work = argv[2];

  std::vector<double> with_flush, without_flush;
  for (int i = first; i < first + runs; ++i) {
    // Alternate which mode goes first.
    for (int k = 0; k < 2; ++k) {
      const bool flush = (i + k) % 2 == 0;
      const std::wstring dir =
          work + L"\\run-" + std::to_wstring(i + 1) + (flush ? L"-flush" : L"-noflush");
      double ms = 0;
      if (!UnpackOnce(archive, dir, flush, ms)) return 1;
      std::printf("run %d %s: unpack_ms=%.1f\n", i + 1, flush ? "flush" : "noflush", ms);
      std::fflush(stdout);
      (flush ? with_flush : without_flush).push_back(ms);
    }
  }
  lmr_bench::PrintSummary("unpack with flush", with_flush);
  lmr_bench::PrintSummary("unpack without flush", without_flush);
  return 0;
}
