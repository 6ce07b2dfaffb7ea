// The Compression API's buffer container around LZMS chunks: header checks,
// chunk records (stored or LZMS), and the header CRC. A header whose total
// exceeds the output is kOutputTooSmall before any chunk is looked at, as
// Windows reports ERROR_INSUFFICIENT_BUFFER from the header alone.
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/chunk_decoder.h"

namespace lzms {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096);

std::uint64_t LoadLe(const std::byte* p, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | std::to_integer<std::uint64_t>(p[i]);
  return v;
}

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, std::span<const std::byte> data) {
  crc = ~crc;
  for (std::byte b : data) crc = kCrcTable[(crc ^ std::to_integer<std::uint32_t>(b)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::optional<BufferHeader> ParseBufferHeader(std::span<const std::byte> in) {
  if (in.size() < kBufferHeaderSize) return std::nullopt;
  const std::byte* h = in.data();
  const std::uint32_t crc = Crc32(Crc32(0, in.first(6)), in.subspan(7, kBufferHeaderSize - 7));
  BufferHeader header{LoadLe(h + 8, 8), static_cast<std::uint32_t>(LoadLe(h + 16, 4))};
  if (LoadLe(h, 4) != kBufferMagic || LoadLe(h + 4, 2) != kBufferHeaderSize ||
      std::to_integer<std::uint8_t>(h[6]) != (crc & 0xFF) ||
      std::to_integer<std::uint8_t>(h[7]) != kAlgorithmLzms || LoadLe(h + 20, 4) != 0) {
    return std::nullopt;
  }
  // Windows writes min(total, 64 MiB) and accepts chunks under 32 KiB only
  // when one chunk holds everything; an empty buffer has chunk size 0.
  if (header.chunk_size > kMaxBufferChunkSize) return std::nullopt;
  if (header.total_size != 0 && header.chunk_size == 0) return std::nullopt;
  if (header.chunk_size < kMinSplitChunkSize && header.total_size > header.chunk_size) {
    return std::nullopt;
  }
  return header;
}

namespace detail {

BufferDecodeResult DecompressBufferWith(ChunkDecoderState& state, std::span<const std::byte> in,
                                        std::span<std::byte> out) {
  const std::optional<BufferHeader> header = ParseBufferHeader(in);
  if (!header) return {DecodeStatus::kCorrupt, 0};
  if (header->total_size > out.size()) return {DecodeStatus::kOutputTooSmall, 0};
  const auto total = static_cast<std::size_t>(header->total_size);

  std::span<const std::byte> rest = in.subspan(kBufferHeaderSize);
  std::size_t pos = 0;
  while (pos < total) {
    const std::size_t chunk_len = std::min<std::size_t>(header->chunk_size, total - pos);
    if (rest.size() < 4) return {DecodeStatus::kCorrupt, 0};
    const auto packed_len = static_cast<std::size_t>(LoadLe(rest.data(), 4));
    rest = rest.subspan(4);
    if (packed_len > rest.size() || packed_len > chunk_len) return {DecodeStatus::kCorrupt, 0};
    const std::span<const std::byte> packed = rest.first(packed_len);
    const std::span<std::byte> dest = out.subspan(pos, chunk_len);
    if (packed_len == chunk_len) {
      std::memcpy(dest.data(), packed.data(), chunk_len);
    } else if (DecodeChunkWith(state, packed, dest) != DecodeStatus::kOk) {
      return {DecodeStatus::kCorrupt, 0};
    }
    rest = rest.subspan(packed_len);
    pos += chunk_len;
  }
  if (!rest.empty()) return {DecodeStatus::kCorrupt, 0};
  return {DecodeStatus::kOk, total};
}

}  // namespace detail

BufferDecodeResult DecompressBuffer(std::span<const std::byte> in, std::span<std::byte> out) {
  const std::optional<BufferHeader> header = ParseBufferHeader(in);
  if (!header) return {DecodeStatus::kCorrupt, 0};
  if (header->total_size > out.size()) return {DecodeStatus::kOutputTooSmall, 0};
  if (header->total_size == 0) {  // no chunk records at all
    if (in.size() != kBufferHeaderSize) return {DecodeStatus::kCorrupt, 0};
    return {DecodeStatus::kOk, 0};
  }
  std::unique_ptr<detail::ChunkDecoderState> state(new (std::nothrow) detail::ChunkDecoderState);
  // No status for memory exhaustion exists; the buffer cannot be decoded.
  if (!state) return {DecodeStatus::kCorrupt, 0};
  return detail::DecompressBufferWith(*state, in, out);
}

}  // namespace lzms
