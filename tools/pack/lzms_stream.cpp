// Buffer-mode LZMS writer; see lzms_stream.h. Chunks share no coder state,
// so each worker thread owns one wimlib compressor and takes chunks in turn.
#include "tools/pack/lzms_stream.h"

#include <wimlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "compat/lzms/buffer_header.h"
#include "platform/byte_order.h"

namespace lumaro::pack {
namespace {

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

struct CompressorDeleter {
  void operator()(wimlib_compressor* compressor) const { wimlib_free_compressor(compressor); }
};
using CompressorPtr = std::unique_ptr<wimlib_compressor, CompressorDeleter>;

}  // namespace

bool IsValidChunkSize(std::uint64_t chunk_size) {
  return chunk_size >= kChunkGranule && chunk_size <= kMaxChunkSize && chunk_size % kChunkGranule == 0;
}

unsigned DefaultThreadCount() { return std::max(1u, std::thread::hardware_concurrency()); }

std::uint32_t ChooseChunkSize(std::size_t) { return kDefaultChunkSize; }

std::expected<CompressedStream, PackError> CompressLzmsBuffer(std::span<const std::byte> data,
                                                              const CompressOptions& options) {
  std::uint32_t chunk_size = options.chunk_size;
  const unsigned threads_wanted = options.threads ? options.threads : DefaultThreadCount();
  if (chunk_size == 0) chunk_size = ChooseChunkSize(data.size());
  if (!IsValidChunkSize(chunk_size)) {
    return std::unexpected(PackError{ErrorClass::kUsage, "the chunk size must be a multiple of 64 KiB "
                                                         "from 64 KiB to 64 MiB"});
  }
  if (options.level == 0) {
    return std::unexpected(PackError{ErrorClass::kUsage, "the compression level must be at least 1"});
  }
  // Windows writes min(total, block size); a lone chunk is the whole buffer.
  const std::uint32_t recorded = static_cast<std::uint32_t>(std::min<std::uint64_t>(data.size(), chunk_size));
  const std::size_t chunk_count = CeilDiv(data.size(), chunk_size);
  const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(threads_wanted, std::max<std::size_t>(chunk_count, 1)));

  // Per chunk: its payload, or empty when it is stored verbatim.
  std::vector<std::vector<std::byte>> packed(chunk_count);
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex report_mutex;
  std::string failure;
  std::atomic<bool> out_of_memory{false};

  std::atomic<std::size_t> reused{0};
  const ChunkSettings settings{options.level, recorded ? recorded : 1};

  auto work = [&] {
    // Made at the first chunk the cache does not hold: a repack that finds
    // every chunk allocates none.
    CompressorPtr compressor;
    auto make_compressor = [&]() -> bool {
      wimlib_compressor* raw = nullptr;
      const int rc = wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, settings.window, settings.level, &raw);
      compressor.reset(raw);
      if (rc == WIMLIB_ERR_NOMEM) {  // as any other allocation failing here
        out_of_memory = true;
        next = chunk_count;
        return false;
      }
      if (rc != 0) {
        std::lock_guard lock(report_mutex);
        failure = std::string("wimlib could not create an LZMS compressor: ") +
                  wimlib_get_error_string(static_cast<wimlib_error_code>(rc));
        next = chunk_count;
        return false;
      }
      return true;
    };
    for (std::size_t index; (index = next.fetch_add(1)) < chunk_count;) {
      const std::size_t offset = index * static_cast<std::size_t>(chunk_size);
      const auto chunk = data.subspan(offset, std::min<std::size_t>(chunk_size, data.size() - offset));
      std::optional<ChunkCache::Key> key;
      std::optional<std::vector<std::byte>> cached;
      if (options.cache) {
        key = ChunkCache::KeyOf(chunk, settings);
        cached = options.cache->Find(*key, chunk);
      }
      if (cached) {
        packed[index] = std::move(*cached);
        reused.fetch_add(1);
      } else {
        if (!compressor && !make_compressor()) return;
        // A compressed chunk must be strictly smaller; else it is stored.
        std::vector<std::byte> out(chunk.size() - 1);
        const std::size_t size = out.empty() ? 0 : wimlib_compress(chunk.data(), chunk.size(), out.data(),
                                                                   out.size(), compressor.get());
        out.resize(size);
        out.shrink_to_fit();
        if (key) options.cache->Store(*key, out);
        packed[index] = std::move(out);
      }
      const std::size_t finished = done.fetch_add(1) + 1;
      if (options.on_chunk) {
        std::lock_guard lock(report_mutex);
        options.on_chunk(finished, chunk_count);
      }
    }
  };
  // An exception must not leave a thread (that would terminate): running out
  // of memory stops every worker and is the caller's error value.
  auto worker = [&] {
    try {
      work();
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
      next = chunk_count;
    }
  };
  {
    std::vector<std::jthread> pool;
    for (unsigned i = 1; i < threads; ++i) {
      try {
        pool.emplace_back(worker);
      } catch (const std::system_error&) {
        break;  // fewer threads give the same bytes, only later
      }
    }
    worker();
  }
  if (out_of_memory) return std::unexpected(PackError{ErrorClass::kOutOfMemory, "out of memory"});
  if (!failure.empty()) return std::unexpected(PackError{ErrorClass::kFailed, failure});

  CompressedStream stream;
  stream.chunk_size = recorded;
  stream.chunk_count = chunk_count;
  stream.reused_chunks = reused.load();
  std::size_t total = lzms::kBufferHeaderSize;
  for (std::size_t i = 0; i < chunk_count; ++i) {
    const std::size_t plain = std::min<std::size_t>(chunk_size, data.size() - i * chunk_size);
    total += lzms::kChunkRecordHeadSize + (packed[i].empty() ? plain : packed[i].size());
  }
  stream.bytes.resize(total);
  const auto header = lzms::MakeBufferHeader(data.size(), recorded);
  std::byte* out = stream.bytes.data();
  std::memcpy(out, header.data(), header.size());
  out += header.size();
  for (std::size_t i = 0; i < chunk_count; ++i) {
    const auto chunk = data.subspan(i * static_cast<std::size_t>(chunk_size),
                                    std::min<std::size_t>(chunk_size, data.size() - i * chunk_size));
    const bool stored = packed[i].empty();
    const std::span<const std::byte> body = stored ? chunk : std::span<const std::byte>(packed[i]);
    stream.stored_chunks += stored ? 1 : 0;
    platform::StoreLe32(out, static_cast<std::uint32_t>(body.size()));
    std::memcpy(out + lzms::kChunkRecordHeadSize, body.data(), body.size());
    out += lzms::kChunkRecordHeadSize + body.size();
  }
  return stream;
}

}  // namespace lumaro::pack
