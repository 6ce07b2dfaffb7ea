// Decoding throughput of our LZMS decoder against wimlib's on the same
// Compression API buffer stream (wimlib compresses it first). Standalone:
//   g++ -std=c++23 -O2 -I. bench/lzms_bench.cpp compat/lzms/*.cpp package/crc32.cpp -lwim -lz -pthread \
//       -o build/bench/lzms/lzms_bench
//   build/bench/lzms/lzms_bench FILE [level=50] [chunk_bytes=67108864] [runs=7] [stream_cache]
// Times are per-thread CPU time (best of runs), which stays meaningful on a
// busy machine; stream_cache (say build/bench/lzms/stream.cache) keeps the
// compressed stream between runs.
#include <wimlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <time.h>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/lzms_decoder.h"
#include "platform/byte_order.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::byte>;

struct Chunk {
  std::size_t raw_size;
  Bytes packed;  // equal in size to raw_size when stored verbatim
};

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The chunk records of a stream we built ourselves (trusted layout).
std::vector<Chunk> ParseChunks(const Bytes& s, std::size_t total, std::size_t chunk_size) {
  std::vector<Chunk> chunks;
  std::size_t at = lzms::kBufferHeaderSize;
  for (std::size_t pos = 0; pos < total; pos += chunk_size) {
    const std::uint32_t m = lumaro::platform::LoadLe32(&s[at]);
    at += lzms::kChunkRecordHeadSize;
    Chunk c{std::min(chunk_size, total - pos), Bytes(s.begin() + at, s.begin() + at + m)};
    chunks.push_back(std::move(c));
    at += m;
  }
  return chunks;
}

Bytes BuildStream(const Bytes& data, const std::vector<Chunk>& chunks, std::size_t chunk_size) {
  const auto header = lzms::MakeBufferHeader(data.size(), static_cast<std::uint32_t>(std::min(data.size(), chunk_size)));
  Bytes s(header.begin(), header.end());
  for (const Chunk& c : chunks) {
    const std::size_t at = s.size();
    s.resize(at + lzms::kChunkRecordHeadSize + c.packed.size());
    lumaro::platform::StoreLe32(&s[at], static_cast<std::uint32_t>(c.packed.size()));
    std::memcpy(&s[at + lzms::kChunkRecordHeadSize], c.packed.data(), c.packed.size());
  }
  return s;
}

std::vector<Chunk> Compress(const Bytes& data, unsigned level, std::size_t chunk_size) {
  std::vector<Chunk> chunks((data.size() + chunk_size - 1) / chunk_size);
  auto work = [&](std::size_t first, std::size_t step) {
    for (std::size_t i = first; i < chunks.size(); i += step) {
      const std::size_t pos = i * chunk_size;
      const std::size_t n = std::min(chunk_size, data.size() - pos);
      Chunk& c = chunks[i];
      c.raw_size = n;
      wimlib_compressor* comp = nullptr;
      std::size_t packed = 0;
      if (n >= 4 && wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, n, level, &comp) == 0) {
        c.packed.resize(n - 1);
        packed = wimlib_compress(&data[pos], n, c.packed.data(), n - 1, comp);
        wimlib_free_compressor(comp);
      }
      if (packed == 0) c.packed.assign(data.begin() + pos, data.begin() + pos + n);
      else c.packed.resize(packed);
    }
  };
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work, t, threads);
  for (auto& t : pool) t.join();
  return chunks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [level=50] [chunk_bytes=67108864] [runs=7] [stream_cache]\n",
                 argv[0]);
    return 2;
  }
  const unsigned level = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 50;
  const std::size_t chunk_size = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 64u << 20;
  const int runs = argc > 4 ? std::atoi(argv[4]) : 7;

  std::ifstream f(argv[1], std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  f.seekg(0, std::ios::end);
  Bytes data(static_cast<std::size_t>(f.tellg()));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));

  const auto t0 = Clock::now();
  Bytes stream;
  std::vector<Chunk> chunks;
  const char* cache = argc > 5 ? argv[5] : nullptr;
  if (std::ifstream c{cache ? cache : "", std::ios::binary | std::ios::ate}; cache && c) {
    stream.resize(static_cast<std::size_t>(c.tellg()));
    c.seekg(0);
    c.read(reinterpret_cast<char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    chunks = ParseChunks(stream, data.size(), chunk_size);
  } else {
    chunks = Compress(data, level, chunk_size);
    stream = BuildStream(data, chunks, chunk_size);
    if (cache) {
      std::ofstream(cache, std::ios::binary)
          .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    }
  }
  std::printf("input %zu bytes, %zu chunk(s) of %zu, level %u -> %zu bytes (%.1f s to compress or load)\n",
              data.size(), chunks.size(), chunk_size, level, stream.size(),
              std::chrono::duration<double>(Clock::now() - t0).count());

  wimlib_decompressor* d = nullptr;
  if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, std::min(chunk_size, data.size()),
                                 &d) != 0) {
    std::fprintf(stderr, "wimlib_create_decompressor failed\n");
    return 1;
  }
  // Rounds alternate between the decoders so both see the same machine load.
  Bytes out(data.size());
  double ours_best = 1e30;
  double wimlib_best = 1e30;
  for (int r = 0; r < runs; ++r) {
    std::memset(out.data(), 0, out.size());
    double s = ThreadSeconds();
    const lzms::BufferDecodeResult res = lzms::DecompressBuffer(stream, out);
    double t = ThreadSeconds() - s;
    if (res.status != lzms::DecodeStatus::kOk || res.produced != data.size() || out != data) {
      std::fprintf(stderr, "our decoder produced wrong output\n");
      return 1;
    }
    ours_best = std::min(ours_best, t);

    std::memset(out.data(), 0, out.size());
    s = ThreadSeconds();
    std::size_t pos = 0;
    for (const Chunk& c : chunks) {
      if (c.packed.size() == c.raw_size) {
        std::memcpy(&out[pos], c.packed.data(), c.raw_size);
      } else if (wimlib_decompress(c.packed.data(), c.packed.size(), &out[pos], c.raw_size, d) != 0) {
        std::fprintf(stderr, "wimlib_decompress failed\n");
        return 1;
      }
      pos += c.raw_size;
    }
    t = ThreadSeconds() - s;
    if (out != data) {
      std::fprintf(stderr, "wimlib produced wrong output\n");
      return 1;
    }
    wimlib_best = std::min(wimlib_best, t);
  }
  wimlib_free_decompressor(d);

  const double mb = static_cast<double>(data.size()) / 1e6;
  std::printf("ours   %8.1f MB/s (best of %d)\n", mb / ours_best, runs);
  std::printf("wimlib %8.1f MB/s (best of %d)\n", mb / wimlib_best, runs);
  std::printf("ratio ours/wimlib %.3f\n", wimlib_best / ours_best);
  return 0;
}
