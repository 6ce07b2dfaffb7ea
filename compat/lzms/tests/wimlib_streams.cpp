// wimlib-backed stream makers and input generators for the LZMS tests, the
// fixed-vector generator and the fuzz seeds.
#include "compat/lzms/tests/wimlib_streams.h"

#include <wimlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "compat/lzms/buffer_header.h"
#include "platform/byte_order.h"

namespace lzms::testing {

namespace {

namespace platform = lumaro::platform;

void AppendLe32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  platform::StoreLe32(b.data() + b.size() - 4, v);
}

}  // namespace

std::optional<Bytes> CompressChunk(std::span<const std::byte> data, unsigned level) {
  if (data.size() < 4) return std::nullopt;
  wimlib_compressor* c = nullptr;
  if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, data.size(), level, &c) != 0) {
    return std::nullopt;
  }
  Bytes out(data.size() - 1);
  const std::size_t n = wimlib_compress(data.data(), data.size(), out.data(), out.size(), c);
  wimlib_free_compressor(c);
  if (n == 0) return std::nullopt;
  out.resize(n);
  return out;
}

Bytes MakeHeader(std::uint64_t total, std::uint32_t chunk_size, std::uint8_t algorithm,
                 std::uint32_t flags) {
  Bytes h(kBufferHeaderSize);
  platform::StoreLe32(h.data(), kBufferMagic);
  platform::StoreLe16(h.data() + kHeaderSizeOffset, static_cast<std::uint16_t>(kBufferHeaderSize));
  h[kAlgorithmOffset] = static_cast<std::byte>(algorithm);
  platform::StoreLe64(h.data() + kTotalSizeOffset, total);
  platform::StoreLe32(h.data() + kChunkSizeOffset, chunk_size);
  platform::StoreLe32(h.data() + kReservedOffset, flags);
  FixCheckByte(h);
  return h;
}

void FixCheckByte(Bytes& s) {
  // zlib's CRC, not the decoder's: the tests check the decoder's against it.
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(s.data()), kCheckByteOffset);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(s.data()) + kCheckByteOffset + 1,
              kBufferHeaderSize - kCheckByteOffset - 1);
  s[kCheckByteOffset] = static_cast<std::byte>(crc & 0xFF);
}

Bytes CompressBuffer(std::span<const std::byte> data, unsigned level, std::size_t chunk_size) {
  const std::size_t header_chunk = std::min(data.size(), chunk_size);
  Bytes out = MakeHeader(data.size(), static_cast<std::uint32_t>(header_chunk));
  for (std::size_t pos = 0; pos < data.size(); pos += chunk_size) {
    const auto chunk = data.subspan(pos, std::min(chunk_size, data.size() - pos));
    const std::optional<Bytes> packed = CompressChunk(chunk, level);
    const std::span<const std::byte> body = packed ? std::span<const std::byte>(*packed) : chunk;
    AppendLe32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

std::optional<Bytes> WimlibDecodeChunk(std::span<const std::byte> block, std::size_t size) {
  wimlib_decompressor* d = nullptr;
  if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, std::max<std::size_t>(size, 4),
                                 &d) != 0) {
    return std::nullopt;
  }
  Bytes out(size);
  const int rc = wimlib_decompress(block.data(), block.size(), out.data(), size, d);
  wimlib_free_decompressor(d);
  if (rc != 0) return std::nullopt;
  return out;
}

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::byte>(rng());
  return b;
}

Bytes EnglishLikeText(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {
      "the", "of", "and", "launcher", "archive", "window", "process", "install", "runtime",
      "module", "function", "return", "const", "value", "buffer", "length", "offset", "=>",
      "{", "}", "(", ")", ";", "require", "export", "default", "async", "await", "Promise",
      "undefined", "null", "true", "false", "this", "prototype", "\n", "  ", "0x", "42",
  };
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % std::size(kWords)];
    s += (rng() % 7 == 0) ? ".\n" : " ";
    if (rng() % 50 == 0) s += std::to_string(rng());
  }
  Bytes b(n);
  std::memcpy(b.data(), s.data(), n);
  return b;
}

Bytes Counters32(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t v = static_cast<std::uint32_t>(i / 4) * 3 + 0x1000;
    b[i] = static_cast<std::byte>(v >> (8 * (i % 4)));
  }
  return b;
}

Bytes StridedRecords(std::size_t n, std::uint32_t seed) {
  // Records of varying width with slowly changing 8/16/32-bit fields: delta
  // matches at several powers, plus noise so many offsets and lengths occur.
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n);
  std::uint32_t a = 0, c = 7;
  std::uint16_t w = 100;
  while (b.size() < n) {
    const unsigned stride = 4u << (rng() % 4);
    const unsigned count = 20 + rng() % 200;
    for (unsigned r = 0; r < count && b.size() < n; ++r) {
      a += 1;
      c += 3;
      w += 5;
      for (unsigned k = 0; k < stride && b.size() < n; ++k) {
        std::byte x;
        if (k < 4) x = static_cast<std::byte>(a >> (8 * k));
        else if (k < 6) x = static_cast<std::byte>(w >> (8 * (k - 4)));
        else if (k < 8) x = static_cast<std::byte>(c >> (8 * (k - 6)));
        else x = static_cast<std::byte>((rng() % 16 == 0) ? rng() : k);
        b.push_back(x);
      }
    }
    for (unsigned k = rng() % 64; k > 0 && b.size() < n; --k) b.push_back(static_cast<std::byte>(rng()));
  }
  return b;
}

Bytes ReadFilePrefix(const std::string& path, std::size_t max, std::size_t skip) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return {};
  f.seekg(static_cast<std::streamoff>(skip));
  Bytes b(max);
  f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(max));
  b.resize(static_cast<std::size_t>(f.gcount()));
  return b;
}

Bytes MachineCode(std::size_t n) {
  for (const char* path : {"/usr/lib/wine/x86_64-windows/kernelbase.dll",
                           "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll",
                           "/usr/bin/x86_64-w64-mingw32-g++-posix", "/usr/bin/ls"}) {
    Bytes b = ReadFilePrefix(path, n, 4096);  // past the PE headers, into .text
    if (b.size() >= std::min<std::size_t>(n, 200000)) return b;
  }
  return {};
}

}  // namespace lzms::testing
