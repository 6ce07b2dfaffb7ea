// Undoes LZMS's x86 machine-code filter: rip-relative and call displacements
// that the encoder made absolute are turned back into relative ones, following
// the encoder's own "does this look like code" decisions.
#include <cstring>

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

}  // namespace

void UndoX86Filter(std::uint8_t* data, std::size_t n, std::int32_t* last_target) {
  if (n <= kTailBytes + 1) return;
  for (std::size_t t = 0; t < 65536; ++t) last_target[t] = -65536;
  std::int32_t last_code = -1024;

  const std::uint8_t* const tail = data + n - kTailBytes;
  std::uint8_t* p = data + 1;
  for (;;) {
    while (p < tail && !kFirstByte.table[*p]) ++p;
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
