// Fixed LZMS tables: offset and length slot bases with their extra-bit counts,
// generated at compile time from the run-length description of each table.
// Private to compat/lzms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace lzms::detail {

inline constexpr std::size_t kNumOffsetSlots = 799;
inline constexpr std::size_t kNumLengthSlots = 54;
inline constexpr std::size_t kNumDeltaPowers = 8;
inline constexpr std::size_t kNumLiterals = 256;

struct SlotRun {
  std::uint8_t extra_bits;
  std::uint16_t count;
};

inline constexpr SlotRun kOffsetRuns[] = {
    {0, 8},   {2, 9},   {3, 7},   {4, 10},  {5, 15},  {6, 15},  {7, 20},
    {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42}, {13, 45}, {14, 60},
    {15, 73}, {16, 80}, {17, 85}, {18, 95}, {19, 105}, {20, 6}, {30, 1},
};
inline constexpr SlotRun kLengthRuns[] = {
    {0, 26}, {1, 4}, {2, 6}, {3, 4}, {4, 5}, {5, 2}, {6, 1},
    {7, 1},  {8, 1}, {9, 1}, {10, 1}, {16, 1}, {30, 1},
};

// base[s] and extra[s] for every slot, plus base[N] one past the last value.
template <std::size_t N>
struct SlotTable {
  std::array<std::uint32_t, N + 1> base{};
  std::array<std::uint8_t, N> extra{};
};

template <std::size_t N, std::size_t R>
constexpr SlotTable<N> MakeSlotTable(const SlotRun (&runs)[R]) {
  SlotTable<N> t;
  std::size_t slot = 0;
  std::uint32_t base = 1;
  for (const SlotRun& run : runs) {
    for (std::uint16_t i = 0; i < run.count; ++i) {
      t.base[slot] = base;
      t.extra[slot] = run.extra_bits;
      base += std::uint32_t{1} << run.extra_bits;
      ++slot;
    }
  }
  t.base[slot] = base;
  return t;
}

inline constexpr SlotTable<kNumOffsetSlots> kOffsetSlots =
    MakeSlotTable<kNumOffsetSlots>(kOffsetRuns);
inline constexpr SlotTable<kNumLengthSlots> kLengthSlots =
    MakeSlotTable<kNumLengthSlots>(kLengthRuns);

static_assert(kOffsetSlots.base[19] == 61);
static_assert(kOffsetSlots.base[798] == 0x065BE4A5);
static_assert(kOffsetSlots.base[799] == 0x465BE4A5);
static_assert(kLengthSlots.base[26] == 27);
static_assert(kLengthSlots.base[53] == 0x108AB);
static_assert(kLengthSlots.base[54] == 0x400108AB);

// Number of offset slots for a block of n bytes: just enough for offset n - 1.
constexpr std::uint32_t NumOffsetSlots(std::size_t n) {
  if (n < 2) return 0;
  std::uint32_t s = 0;
  while (s + 1 < kNumOffsetSlots && kOffsetSlots.base[s + 1] <= n - 1) ++s;
  return s + 1;
}

static_assert(NumOffsetSlots(2) == 1 && NumOffsetSlots(10) == 9 && NumOffsetSlots(18) == 11);
static_assert(NumOffsetSlots(32768) == 142 && NumOffsetSlots(1 << 20) == 317);
static_assert(NumOffsetSlots(64u << 20) == 729 && NumOffsetSlots(std::size_t{1} << 30) == 799);

}  // namespace lzms::detail
