// CPU cost of each stage of lmr-pack on one archive, in per-thread CPU time,
// which stays meaningful on a busy machine where wall-clock ratios do not:
// each chunk's compression, our decoder's verification pass, and from them
// the 2-thread / 1-thread pack-time ratio an idle 2-core machine would see.
// Standalone:
//   g++ -std=c++23 -O2 -I. bench/pack_chunk_bench.cpp tools/pack/lzms_stream.cpp \
//       compat/lzms/*.cpp package/crc32.cpp -lwim -lz -pthread -o build/bench/pack_chunk_bench
//   build/bench/pack_chunk_bench ARCHIVE [level=50] [threads=2]
#include <time.h>
#include <wimlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "compat/lzms/lzms_decoder.h"
#include "tools/pack/lzms_stream.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pack_chunk_bench ARCHIVE [level] [threads]\n");
    return 2;
  }
  const unsigned level = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 50;
  const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto data = std::as_bytes(std::span(raw));

  const std::uint32_t chunk = lumaro::pack::ChooseChunkSize(data.size());
  std::printf("archive %zu bytes, level %u, chunk %u bytes for %u threads\n", data.size(), level, chunk, threads);
  wimlib_compressor* compressor = nullptr;
  if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, chunk, level, &compressor) != 0) return 1;
  double sum = 0, longest = 0;
  std::size_t packed_total = 0;
  std::vector<std::byte> out(chunk);
  for (std::size_t offset = 0; offset < data.size(); offset += chunk) {
    const std::size_t size = std::min<std::size_t>(chunk, data.size() - offset);
    const double start = ThreadSeconds();
    const std::size_t packed = wimlib_compress(data.data() + offset, size, out.data(), size - 1, compressor);
    const double seconds = ThreadSeconds() - start;
    std::printf("  chunk at %zu: %zu -> %zu bytes, %.2f s CPU\n", offset, size, packed ? packed : size, seconds);
    sum += seconds;
    longest = std::max(longest, seconds);
    packed_total += packed ? packed : size;
  }
  wimlib_free_compressor(compressor);

  lumaro::pack::CompressOptions options;
  options.level = level;
  options.threads = threads;
  auto stream = lumaro::pack::CompressLzmsBuffer(data, options);
  if (!stream) return 1;
  std::vector<std::byte> decoded(data.size());
  const double start = ThreadSeconds();
  const auto result = lzms::DecompressBuffer(stream->bytes, decoded);
  const double verify = ThreadSeconds() - start;
  if (result.status != lzms::DecodeStatus::kOk || result.produced != data.size()) return 1;

  std::printf("compression: %.2f s CPU in all, longest chunk %.2f s; verification (our decoder): %.2f s CPU\n", sum,
              longest, verify);
  std::printf("idle %u-core estimate, 2 threads / 1 thread: %.2f without verification, %.2f with it\n", threads,
              longest / sum, (longest + verify) / (sum + verify));
  return 0;
}
