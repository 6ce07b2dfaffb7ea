// The Compression API's buffer container around LZMS chunks: header checks,
// chunk records (stored or LZMS), and the header CRC. A header whose total
// exceeds the output is kOutputTooSmall before any chunk is looked at, as
// Windows reports ERROR_INSUFFICIENT_BUFFER from the header alone.
#include <cstring>
#include <memory>
#include <new>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/chunk_decoder.h"
#include "package/crc32.h"
#include "platform/byte_order.h"

namespace lzms {

using lumaro::platform::LoadLe16;
using lumaro::platform::LoadLe32;
using lumaro::platform::LoadLe64;
using lumaro::platform::StoreLe16;
using lumaro::platform::StoreLe32;
using lumaro::platform::StoreLe64;

std::uint8_t BufferHeaderCheckByte(std::span<const std::byte, kBufferHeaderSize> header) {
  const std::span<const std::byte> h = header;
  const std::uint32_t crc = lumaro::package::Crc32(h.subspan(kCheckByteOffset + 1),
                                                   lumaro::package::Crc32(h.first(kCheckByteOffset)));
  return static_cast<std::uint8_t>(crc & 0xFF);
}

BufferHeaderBytes MakeBufferHeader(std::uint64_t total_size, std::uint32_t chunk_size) {
  BufferHeaderBytes header{};
  StoreLe32(header.data(), kBufferMagic);
  StoreLe16(header.data() + kHeaderSizeOffset, static_cast<std::uint16_t>(kBufferHeaderSize));
  header[kAlgorithmOffset] = std::byte{kAlgorithmLzms};
  StoreLe64(header.data() + kTotalSizeOffset, total_size);
  StoreLe32(header.data() + kChunkSizeOffset, chunk_size);
  header[kCheckByteOffset] = std::byte{BufferHeaderCheckByte(header)};
  return header;
}

std::optional<BufferHeader> ParseBufferHeader(std::span<const std::byte> in) {
  if (in.size() < kBufferHeaderSize) return std::nullopt;
  const std::byte* h = in.data();
  BufferHeader header{LoadLe64(h + kTotalSizeOffset), LoadLe32(h + kChunkSizeOffset)};
  if (LoadLe32(h) != kBufferMagic || LoadLe16(h + kHeaderSizeOffset) != kBufferHeaderSize ||
      std::to_integer<std::uint8_t>(h[kCheckByteOffset]) != BufferHeaderCheckByte(in.first<kBufferHeaderSize>()) ||
      std::to_integer<std::uint8_t>(h[kAlgorithmOffset]) != kAlgorithmLzms || LoadLe32(h + kReservedOffset) != 0) {
    return std::nullopt;
  }
  if (header.chunk_size > kMaxBufferChunkSize) return std::nullopt;
  if (header.total_size != 0 && header.chunk_size == 0) return std::nullopt;  // only an empty buffer has 0
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
    if (rest.size() < kChunkRecordHeadSize) return {DecodeStatus::kCorrupt, 0};
    const std::size_t packed_len = LoadLe32(rest.data());
    rest = rest.subspan(kChunkRecordHeadSize);
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
  if (!state) return {DecodeStatus::kOutOfMemory, 0};
  return detail::DecompressBufferWith(*state, in, out);
}

}  // namespace lzms
