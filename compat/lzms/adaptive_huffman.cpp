// Huffman code construction for the LZMS adaptive codes: lengths from a
// two-queue merge done in place over the sorted weights (ties go to leaves,
// leaves in (frequency, symbol) order), canonical codewords, and the
// two-level decode table. Rebuilds are frequent, so every step is one pass.
#include "compat/lzms/adaptive_huffman.h"

#include <algorithm>
#include <cstring>

#include "compat/lzms/lzms_tables.h"

namespace lzms::detail {

namespace {

inline constexpr unsigned kMaxSyms = kNumOffsetSlots;

// Frequencies below kBuckets - 1 get a bucket each; the rest share the last
// one, sorted apart. Every rebuild halves the frequencies, so the total weight
// stays below 2 * (symbols + period) < 3700 and that bucket holds at most 58.
inline constexpr unsigned kBuckets = 64;

// Stable counting sort of the symbols 0..n-1 by key(s) < num_keys: calls
// place(position, s) for each and returns where key num_keys - 1 starts.
// Neighbouring symbols mostly share a key, and one counter would chain every
// step through a store and a reload; four contiguous parts of the alphabet,
// each with its own counters, make four independent chains.
template <unsigned kMaxKeys, class Key, class Place>
inline unsigned CountingSort(unsigned n, unsigned num_keys, Key key, Place place) {
  constexpr unsigned kParts = 4;
  const unsigned part = n / kParts;  // the last part also takes the n % 4 rest
  std::uint16_t next[kParts][kMaxKeys] = {};
  for (unsigned i = 0; i < part; ++i) {
    ++next[0][key(i)];
    ++next[1][key(part + i)];
    ++next[2][key(2 * part + i)];
    ++next[3][key(3 * part + i)];
  }
  for (unsigned s = kParts * part; s < n; ++s) ++next[kParts - 1][key(s)];
  unsigned at = 0;
  unsigned last_start = 0;
  for (unsigned k = 0; k < num_keys; ++k) {
    last_start = at;
    for (unsigned q = 0; q < kParts; ++q) {
      const unsigned c = next[q][k];
      next[q][k] = static_cast<std::uint16_t>(at);
      at += c;
    }
  }
  for (unsigned i = 0; i < part; ++i) {
    place(next[0][key(i)]++, i);
    place(next[1][key(part + i)]++, part + i);
    place(next[2][key(2 * part + i)]++, 2 * part + i);
    place(next[3][key(3 * part + i)]++, 3 * part + i);
  }
  for (unsigned s = kParts * part; s < n; ++s) place(next[kParts - 1][key(s)]++, s);
  return last_start;
}

// Sorts the symbols by (frequency, symbol) into order, with their weights.
void SortByFrequency(const std::uint32_t* freqs, unsigned num_syms, std::uint16_t* order,
                     std::uint32_t* weight) {
  const unsigned last = std::min(num_syms, kBuckets) - 1;
  const unsigned last_start = CountingSort<kBuckets>(
      num_syms, last + 1, [&](unsigned s) { return std::min(freqs[s], last); },
      [&](unsigned at, unsigned s) {
        order[at] = static_cast<std::uint16_t>(s);
        weight[at] = freqs[s];
      });
  const unsigned n = num_syms - last_start;
  if (n > 1) {
    // Frequencies stay far below 2^21, so the symbol fits in the low 11 bits.
    std::uint32_t keys[kMaxSyms];
    for (unsigned i = 0; i < n; ++i) keys[i] = (weight[last_start + i] << 11) | order[last_start + i];
    std::sort(keys, keys + n);
    for (unsigned i = 0; i < n; ++i) {
      order[last_start + i] = static_cast<std::uint16_t>(keys[i] & 0x7FF);
      weight[last_start + i] = keys[i] >> 11;
    }
  }
}

// Writes n copies of e, n a power of two; four at a time when it can (the
// compiler leaves a plain loop scalar at -O2).
inline void FillEntries(std::uint32_t* p, std::size_t n, std::uint32_t e) {
  if (n < 4) {
    for (std::size_t k = 0; k < n; ++k) p[k] = e;
    return;
  }
  const std::uint32_t four[4] = {e, e, e, e};
  for (std::size_t k = 0; k < n; k += 4) std::memcpy(p + k, four, sizeof four);
}

}  // namespace

bool BuildCodewordLengths(const std::uint32_t* freqs, unsigned num_syms, std::uint8_t* lens,
                          std::uint16_t* len_counts) {
  std::fill(len_counts, len_counts + kMaxCodewordLength + 1, std::uint16_t{0});
  if (num_syms <= 1) {
    if (num_syms == 1) lens[0] = 0;
    return true;
  }
  std::uint16_t order[kMaxSyms];
  std::uint32_t a[kMaxSyms + 1];
  SortByFrequency(freqs, num_syms, order, a);
  const unsigned n = num_syms;

  // The two-queue merge, in place: a[0..n) starts as the sorted leaf weights.
  // Internal node k lands in a[k] (leaves before k are consumed by then, and
  // the leaf queue front never falls behind k), and a consumed internal node's
  // slot then holds its parent's index. A tie takes the leaf. The sentinel
  // ends the leaf queue; one branch per choice mispredicts less than two.
  unsigned leaf = 0;
  unsigned root = 0;
  a[n] = 0xFFFFFFFF;
  for (unsigned next = 0; next + 1 < n; ++next) {
    std::uint32_t w;
    if ((root < next) & (a[root] < a[leaf])) {
      w = a[root];
      a[root++] = next;
    } else {
      w = a[leaf++];
    }
    if ((root < next) & (a[root] < a[leaf])) {
      w += a[root];
      a[root++] = next;
    } else {
      w += a[leaf++];
    }
    a[next] = w;
  }
  // Depths of the internal nodes: a parent comes after its children.
  a[n - 2] = 0;
  for (unsigned k = n - 2; k-- > 0;) a[k] = a[a[k]] + 1;
  // Leaf depths, level by level: the nodes a level offers that internal nodes
  // do not take are leaves, and the heaviest leaves take the shallowest ones.
  // The internal depths are read before the leaf depths overwrite their slots.
  unsigned avail = 1;
  unsigned depth = 0;
  int node = static_cast<int>(n) - 2;
  unsigned next_leaf = n;
  while (avail > 0) {
    unsigned used = 0;
    while (node >= 0 && a[node] == depth) {
      ++used;
      --node;
    }
    const unsigned leaves = avail - used;
    if (leaves != 0) {
      if (depth > kMaxCodewordLength) return false;
      len_counts[depth] = static_cast<std::uint16_t>(leaves);
      for (unsigned k = 0; k < leaves; ++k) a[--next_leaf] = depth;
    }
    avail = 2 * used;
    ++depth;
  }
  for (unsigned i = 0; i < n; ++i) lens[order[i]] = static_cast<std::uint8_t>(a[i]);
  return true;
}

bool BuildDecodeTable(const std::uint8_t* lens, const std::uint16_t* len_counts, unsigned num_syms,
                      unsigned table_bits, std::uint32_t* table, std::size_t table_size) {
  const std::size_t main_size = std::size_t{1} << table_bits;
  if (num_syms == 1) {  // zero-length codeword: every lookup yields symbol 0
    FillEntries(table, main_size, 0);
    return true;
  }
  // Symbols sorted by (length, symbol) are in canonical codeword order.
  std::uint16_t sorted[kMaxSyms];
  CountingSort<kMaxCodewordLength + 1>(
      num_syms, kMaxCodewordLength + 1, [&](unsigned s) { return lens[s]; },
      [&](unsigned at, unsigned s) { sorted[at] = static_cast<std::uint16_t>(s); });
  if (len_counts[0] != 0) return false;

  // The code is complete, so codewords are handed out densely: each length's
  // symbols fill one run of main-table entries, 2^(table_bits - len) apiece.
  std::uint32_t* entry = table;
  std::uint32_t* const main_end = table + main_size;
  unsigned i = 0;
  for (unsigned len = 1; len <= table_bits; ++len) {
    const unsigned count = len_counts[len];
    const std::size_t stride = std::size_t{1} << (table_bits - len);
    if (static_cast<std::size_t>(main_end - entry) < count * stride) return false;
    const unsigned end = i + count;
    if (stride == 1) {
      for (; i < end; ++i) *entry++ = (std::uint32_t{sorted[i]} << 16) | len;
    } else {
      for (; i < end; ++i) {
        FillEntries(entry, stride, (std::uint32_t{sorted[i]} << 16) | len);
        entry += stride;
      }
    }
  }

  // The longer codewords: each group sharing one table_bits prefix gets a
  // subtable sized for the longest of them (the last, in canonical order).
  std::uint32_t code = static_cast<std::uint32_t>(entry - table) << (kMaxCodewordLength - table_bits);
  std::size_t cursor = main_size;
  while (i < num_syms) {
    const std::uint32_t prefix = code >> (kMaxCodewordLength - table_bits);
    unsigned end = i;
    std::uint32_t c = code;
    while (end < num_syms && (c >> (kMaxCodewordLength - table_bits)) == prefix) {
      c += 1u << (kMaxCodewordLength - lens[sorted[end]]);
      ++end;
    }
    const unsigned sub_bits = lens[sorted[end - 1]] - table_bits;
    const std::size_t sub_size = std::size_t{1} << sub_bits;
    if (prefix >= main_size || cursor + sub_size > table_size) return false;
    table[prefix] = (static_cast<std::uint32_t>(cursor) << 16) | kSubtableFlag | sub_bits;
    for (; i < end; ++i) {
      const unsigned s = sorted[i];
      const unsigned len = lens[s];
      const std::size_t suffix_shift = kMaxCodewordLength - table_bits - sub_bits;
      const std::size_t first =
          (code & ((1u << (kMaxCodewordLength - table_bits)) - 1)) >> suffix_shift;
      const std::size_t n = std::size_t{1} << (table_bits + sub_bits - len);
      if (first + n > sub_size) return false;
      FillEntries(table + cursor + first, n, (std::uint32_t{s} << 16) | (len - table_bits));
      code += 1u << (kMaxCodewordLength - len);
    }
    cursor += sub_size;
  }
  // A complete code covers the whole 15-bit space exactly.
  return code == (1u << kMaxCodewordLength);
}

}  // namespace lzms::detail
