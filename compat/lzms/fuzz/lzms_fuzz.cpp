// libFuzzer target for the LZMS decoder. The first byte picks the entry point:
// even -> DecompressBuffer on the rest, odd -> DecodeChunk on data[4..] with a
// 24-bit output size from data[1..3]. Outputs are exact-size heap blocks so
// ASan catches a write even one byte past the end.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/lzms_decoder.h"
#include "platform/byte_order.h"

namespace {

constexpr std::size_t kMaxOutput = 256u << 10;  // bigger outputs only make runs slower

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  if ((data[0] & 1) == 0) {
    const std::span<const std::byte> in(bytes + 1, size - 1);
    // Use the header's own total when it is small, sometimes one byte short.
    std::size_t out_size = 65536;
    if (in.size() >= lzms::kTotalSizeOffset + 8) {
      const std::uint64_t total = lumaro::platform::LoadLe64(in.data() + lzms::kTotalSizeOffset);
      if (total <= kMaxOutput) out_size = static_cast<std::size_t>(total);
      if ((data[0] & 2) != 0 && out_size > 0) --out_size;
    }
    std::unique_ptr<std::byte[]> out(new std::byte[out_size]);
    const lzms::BufferDecodeResult r = lzms::DecompressBuffer(in, {out.get(), out_size});
    Check(r.status != lzms::DecodeStatus::kOk || r.produced <= out_size);
    return 0;
  }
  if (size < 4) return 0;
  const std::size_t out_size = (data[1] | (data[2] << 8) | (data[3] << 16)) % kMaxOutput;
  std::unique_ptr<std::byte[]> out(new std::byte[out_size]);
  const lzms::DecodeStatus st =
      lzms::DecodeChunk({bytes + 4, size - 4}, {out.get(), out_size});
  Check(st != lzms::DecodeStatus::kOutputTooSmall);
  return 0;
}
