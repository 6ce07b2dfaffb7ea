// Undoes LZMS's x86 machine-code filter: rip-relative and call displacements
// that the encoder made absolute are turned back into relative ones, following
// the encoder's own "does this look like code" decisions.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compat/lzms/chunk_decoder.h"

namespace lzms::detail {

namespace {

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

// The next position in [p, tail) that may start a filtered instruction, or
// tail. The vector path also checks the second opcode byte, which rules out
// most of the 0x48 prefixes that x86-64 code is full of; the caller still
// checks everything itself.
inline std::uint8_t* NextCandidate(std::uint8_t* p, const std::uint8_t* tail) {
#if defined(__SSE2__)
  auto splat = [](unsigned b) { return _mm_set1_epi8(static_cast<char>(b)); };
  const __m128i e8 = splat(0xE8), e9 = splat(0xE9), ff = splat(0xFF), f0 = splat(0xF0);
  const __m128i x48 = splat(0x48), x4c = splat(0x4C), x15 = splat(0x15), x83 = splat(0x83);
  const __m128i x8d = splat(0x8D), x8b = splat(0x8B);
  while (tail - p >= 17) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i rex_w = _mm_cmpeq_epi8(v, x48);
    const __m128i jumps = _mm_or_si128(_mm_cmpeq_epi8(v, e8), _mm_cmpeq_epi8(v, e9));
    const __m128i two = _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v, ff), _mm_cmpeq_epi8(w, x15)),
                                     _mm_and_si128(_mm_cmpeq_epi8(v, f0), _mm_cmpeq_epi8(w, x83)));
    const __m128i lea = _mm_and_si128(_mm_or_si128(rex_w, _mm_cmpeq_epi8(v, x4c)),
                                      _mm_cmpeq_epi8(w, x8d));
    const __m128i mov = _mm_and_si128(rex_w, _mm_cmpeq_epi8(w, x8b));
    const __m128i hit = _mm_or_si128(_mm_or_si128(jumps, two), _mm_or_si128(lea, mov));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < tail && !kFirstByte.table[*p]) ++p;
  return p;
}

}  // namespace

void UndoX86Filter(std::uint8_t* data, std::size_t n, std::int32_t* last_target) {
  if (n <= kTailBytes + 1) return;
  for (std::size_t t = 0; t < 65536; ++t) last_target[t] = -65536;
  std::int32_t last_code = -1024;

  const std::uint8_t* const tail = data + n - kTailBytes;
  std::uint8_t* p = data + 1;
  for (;;) {
    p = NextCandidate(p, tail);
    if (p >= tail) break;
    unsigned opcode_len;
    std::int32_t reach = kReach;
    switch (p[0]) {
      case 0xE8:
        opcode_len = 1;
        reach = kCallReach;
        break;
      case 0xE9:
        p += 5;
        continue;
      case 0xFF:
        if (p[1] != 0x15) {
          ++p;
          continue;
        }
        opcode_len = 2;
        break;
      case 0xF0:
        if (p[1] != 0x83 || p[2] != 0x05) {
          ++p;
          continue;
        }
        opcode_len = 3;
        break;
      case 0x48:
        if (!((p[1] == 0x8D && (p[2] & 7) == 5) || (p[1] == 0x8B && (p[2] == 0x05 || p[2] == 0x0D)))) {
          ++p;
          continue;
        }
        opcode_len = 3;
        break;
      default:  // 0x4C
        if (p[1] != 0x8D || (p[2] & 7) != 5) {
          ++p;
          continue;
        }
        opcode_len = 3;
        break;
    }
    const auto i = static_cast<std::int32_t>(p - data);
    std::uint8_t* operand = p + opcode_len;
    if (i - last_code <= reach) {
      std::uint32_t v;
      std::memcpy(&v, operand, 4);
      v -= static_cast<std::uint32_t>(i);
      std::memcpy(operand, &v, 4);
    }
    const unsigned target = (static_cast<unsigned>(i) + operand[0] + (operand[1] << 8)) & 0xFFFF;
    const std::int32_t operand_end = i + static_cast<std::int32_t>(opcode_len) + 3;
    if (operand_end - last_target[target] <= kIdentificationWindow) last_code = operand_end;
    last_target[target] = operand_end;
    p = operand + 4;
  }
}

}  // namespace lzms::detail
