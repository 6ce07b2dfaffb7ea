// Two ways to the same CRC. Where the CPU has carry-less multiplication
// (PCLMULQDQ, checked with CPUID at run time), 64-byte blocks are folded four
// lanes at a time and reduced at the end (Intel's "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ"), several GB/s. Everywhere else, and
// for the tail, slice-by-16: sixteen 1 KiB tables fold 16 bytes per step. The
// tables are built on first use into zero-initialised storage, so they cost
// the exe no file bytes.

#include "package/crc32.h"

#include <array>
#include <atomic>
#include <cstring>

#include "platform/byte_order.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define LUMARO_CRC32_CLMUL 1
#endif

namespace lumaro::package {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::size_t kSlices = 16;

using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

// Built once, by whichever caller comes first; the stand-in cabinet.dll may
// be called from several threads, so the others wait for the build to end.
// A plain atomic rather than a function-local static, whose thread-safe
// initialisation would bring winpthreads into the launcher.
const Tables& CrcTables() {
  enum : int { kUnbuilt, kBuilding, kBuilt };
  static Tables tables;
  static std::atomic<int> state{kUnbuilt};
  if (state.load(std::memory_order_acquire) == kBuilt) return tables;
  int expected = kUnbuilt;
  if (state.compare_exchange_strong(expected, kBuilding, std::memory_order_acquire)) {
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
      std::uint32_t crc = byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1u)));
      tables[0][byte] = crc;
    }
    for (std::size_t slice = 1; slice < kSlices; ++slice) {
      for (std::size_t byte = 0; byte < 256; ++byte) {
        const std::uint32_t previous = tables[slice - 1][byte];
        tables[slice][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
      }
    }
    state.store(kBuilt, std::memory_order_release);
    return tables;
  }
  while (state.load(std::memory_order_acquire) != kBuilt) {
    // Another thread is building: a few microseconds.
  }
  return tables;
}

using platform::LoadLe32;

#if LUMARO_CRC32_CLMUL

// Asked on every call: one CPUID per CRC is nothing, and a cached answer in a
// function-local static would bring thread-safe initialisation (winpthreads)
// into the launcher.
bool CpuHasClmul() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
}

// x * k folded: the low half times k's low constant, the high half times
// k's high constant.
__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The raw (uninverted) CRC over size bytes, size a multiple of 16 and >= 64.
// The constants are x^n mod P(x), bit-reflected, for the fold distances
// 4x128+32 / 4x128-32 (four lanes), 128+32 / 128-32 (one lane) and 64,
// then P(x) itself and floor(x^64 / P(x)) for the Barrett reduction.
__attribute__((target("pclmul,sse2"))) std::uint32_t ClmulBlocks(const unsigned char* p, std::size_t size,
                                                                  std::uint32_t crc) {
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i poly_mu = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  auto load = [](const unsigned char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };

  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  size -= 64;
  while (size >= 64) {
    x0 = _mm_xor_si128(Fold(x0, k1k2), load(p));
    x1 = _mm_xor_si128(Fold(x1, k1k2), load(p + 16));
    x2 = _mm_xor_si128(Fold(x2, k1k2), load(p + 32));
    x3 = _mm_xor_si128(Fold(x3, k1k2), load(p + 48));
    p += 64;
    size -= 64;
  }
  __m128i x = _mm_xor_si128(Fold(x0, k3k4), x1);
  x = _mm_xor_si128(Fold(x, k3k4), x2);
  x = _mm_xor_si128(Fold(x, k3k4), x3);
  for (; size >= 16; p += 16, size -= 16) x = _mm_xor_si128(Fold(x, k3k4), load(p));

  // 128 bits to 64, then to 32, then Barrett's reduction modulo P(x).
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x10), _mm_srli_si128(x, 8));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00), _mm_srli_si128(x, 4));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly_mu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
  x = _mm_xor_si128(x, t);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

#endif

}  // namespace

std::uint32_t Crc32(std::span<const std::byte> data, std::uint32_t crc) {
#if LUMARO_CRC32_CLMUL
  if (data.size() >= 256 && CpuHasClmul()) {
    const std::size_t blocks = data.size() & ~std::size_t{15};
    const std::uint32_t raw = ClmulBlocks(reinterpret_cast<const unsigned char*>(data.data()), blocks, ~crc);
    return Crc32BySlices(data.subspan(blocks), ~raw);
  }
#endif
  return Crc32BySlices(data, crc);
}

std::uint32_t Crc32BySlices(std::span<const std::byte> data, std::uint32_t crc) {
  const Tables& t = CrcTables();
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t left = data.size();
  crc = ~crc;
  while (left >= kSlices) {
    const std::uint32_t a = crc ^ LoadLe32(p);
    const std::uint32_t b = LoadLe32(p + 4);
    const std::uint32_t c = LoadLe32(p + 8);
    const std::uint32_t d = LoadLe32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += kSlices;
    left -= kSlices;
  }
  while (left-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

}  // namespace lumaro::package
