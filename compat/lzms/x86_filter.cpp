// Undoes LZMS's x86 machine-code filter: rip-relative and call displacements
// that the encoder made absolute are turned back into relative ones, following
// the encoder's own "does this look like code" decisions.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compat/lzms/chunk_decoder.h"
#include "platform/byte_order.h"

namespace lzms::detail {

namespace {

namespace platform = lumaro::platform;

constexpr std::int32_t kIdentificationWindow = 65535;
constexpr std::int32_t kReach = 1023;
constexpr std::int32_t kCallReach = 511;
// Nothing starting in the last 16 bytes is an instruction, so every operand
// read below lies inside the buffer.
constexpr std::size_t kTailBytes = 16;

struct OpcodeClass {
  bool table[256] = {};
  constexpr OpcodeClass() {
    for (unsigned b : {0xE8u, 0xE9u, 0xFFu, 0xF0u, 0x48u, 0x4Cu}) table[b] = true;
  }
};
constexpr OpcodeClass kFirstByte;

// Where an instruction the filter handles may start, checked on up to three
// opcode bytes at once (x86-64 code is full of 0x48 prefixes, almost none of
// them one of the filtered forms): bit k of the result stands for p + k. The
// caller still checks every candidate itself.
#if defined(__SSE2__)
inline unsigned CandidateMask(const std::uint8_t* p) {
  auto splat = [](unsigned b) { return _mm_set1_epi8(static_cast<char>(b)); };
  auto eq = [](__m128i a, __m128i b) { return _mm_cmpeq_epi8(a, b); };
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
  const __m128i rex_w = eq(b0, splat(0x48));
  const __m128i jumps = _mm_or_si128(eq(b0, splat(0xE8)), eq(b0, splat(0xE9)));
  const __m128i call_mem = _mm_and_si128(eq(b0, splat(0xFF)), eq(b1, splat(0x15)));
  const __m128i lock_add = _mm_and_si128(_mm_and_si128(eq(b0, splat(0xF0)), eq(b1, splat(0x83))),
                                         eq(b2, splat(0x05)));
  const __m128i rip_rel = eq(_mm_and_si128(b2, splat(0x07)), splat(0x05));
  const __m128i lea = _mm_and_si128(_mm_and_si128(_mm_or_si128(rex_w, eq(b0, splat(0x4C))),
                                                  eq(b1, splat(0x8D))),
                                    rip_rel);
  const __m128i mov = _mm_and_si128(_mm_and_si128(rex_w, eq(b1, splat(0x8B))),
                                    _mm_or_si128(eq(b2, splat(0x05)), eq(b2, splat(0x0D))));
  const __m128i hit = _mm_or_si128(_mm_or_si128(jumps, call_mem),
                                   _mm_or_si128(lock_add, _mm_or_si128(lea, mov)));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// The filter's state while it scans one buffer.
class Undo {
 public:
  Undo(std::uint8_t* data, std::int32_t* last_target) : data_(data), last_target_(last_target) {}

  // Handles a possible instruction at p; returns where the scan goes on.
  std::uint8_t* At(std::uint8_t* p) {
    unsigned opcode_len;
    std::int32_t reach = kReach;
    switch (p[0]) {
      case 0xE8:
        opcode_len = 1;
        reach = kCallReach;
        break;
      case 0xE9:
        return p + 5;
      case 0xFF:
        if (p[1] != 0x15) return p + 1;
        opcode_len = 2;
        break;
      case 0xF0:
        if (p[1] != 0x83 || p[2] != 0x05) return p + 1;
        opcode_len = 3;
        break;
      case 0x48:
        if (!((p[1] == 0x8D && (p[2] & 7) == 5) || (p[1] == 0x8B && (p[2] == 0x05 || p[2] == 0x0D)))) {
          return p + 1;
        }
        opcode_len = 3;
        break;
      case 0x4C:
        if (p[1] != 0x8D || (p[2] & 7) != 5) return p + 1;
        opcode_len = 3;
        break;
      default:
        return p + 1;
    }
    const auto i = static_cast<std::int32_t>(p - data_);
    std::uint8_t* operand = p + opcode_len;
    if (i - last_code_ <= reach) {
      platform::StoreLe32(operand, platform::LoadLe32(operand) - static_cast<std::uint32_t>(i));
    }
    const unsigned target = (static_cast<unsigned>(i) + platform::LoadLe16(operand)) & 0xFFFF;
    const std::int32_t operand_end = i + static_cast<std::int32_t>(opcode_len) + 3;
    if (operand_end - last_target_[target] <= kIdentificationWindow) last_code_ = operand_end;
    last_target_[target] = operand_end;
    return operand + 4;
  }

 private:
  std::uint8_t* const data_;
  std::int32_t* const last_target_;
  std::int32_t last_code_ = -1024;
};

// The filter runs over the whole block once decoding is done, long after
// most of it left the caches; the hardware prefetcher stops at every page.
constexpr std::size_t kPrefetchAhead = 2048;

}  // namespace

void UndoX86Filter(std::uint8_t* data, std::size_t n, std::int32_t* last_target) {
  if (n <= kTailBytes + 1) return;
  for (std::size_t t = 0; t < 65536; ++t) last_target[t] = -65536;
  Undo undo(data, last_target);

  const std::uint8_t* const tail = data + n - kTailBytes;
  std::uint8_t* p = data + 1;
#if defined(__SSE2__)
  // Blocks of 16 positions; the loads reach 18 bytes past a block's start,
  // which stays inside the buffer while the block starts 18 before the tail.
  while (tail - p >= 18) {
    // Integer arithmetic: the address may lie past the buffer, where a
    // prefetch is harmless but a pointer may not point.
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) +
                                                     kPrefetchAhead));
    std::uint8_t* const block = p;
    unsigned mask = CandidateMask(block);
    p = block + 16;
    while (mask != 0) {
      p = undo.At(block + __builtin_ctz(mask));
      const std::size_t done = static_cast<std::size_t>(p - block);
      if (done >= 16) break;
      mask &= ~0u << done;
      p = block + 16;
    }
  }
#endif
  while (p < tail) p = kFirstByte.table[*p] ? undo.At(p) : p + 1;
}

}  // namespace lzms::detail
