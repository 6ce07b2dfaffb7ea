// Huffman code construction for the LZMS adaptive codes: lengths from a
// two-queue merge (ties go to leaves, leaves in (frequency, symbol) order),
// canonical codewords, and the two-level decode table.
#include "compat/lzms/adaptive_huffman.h"

#include <algorithm>

#include "compat/lzms/lzms_tables.h"

namespace lzms::detail {

namespace {
inline constexpr unsigned kMaxSyms = kNumOffsetSlots;
}  // namespace

bool BuildCodewordLengths(const std::uint32_t* freqs, unsigned num_syms, std::uint8_t* lens) {
  if (num_syms <= 1) {
    if (num_syms == 1) lens[0] = 0;
    return true;
  }
  // Counting sort by frequency (stable, so equal frequencies stay in symbol
  // order). Frequencies of num_syms - 1 and above share the last bucket,
  // which is then sorted by (frequency, symbol); it holds few symbols.
  std::uint16_t bucket_start[kMaxSyms + 1];
  std::fill(bucket_start, bucket_start + num_syms + 1, std::uint16_t{0});
  const unsigned last = num_syms - 1;
  for (unsigned s = 0; s < num_syms; ++s) ++bucket_start[std::min(freqs[s], last) + 1];
  for (unsigned b = 1; b <= num_syms; ++b) bucket_start[b] += bucket_start[b - 1];
  const unsigned last_start = bucket_start[last];
  std::uint16_t order[kMaxSyms];
  for (unsigned s = 0; s < num_syms; ++s) order[bucket_start[std::min(freqs[s], last)]++] = static_cast<std::uint16_t>(s);
  if (num_syms - last_start > 1) {
    // Frequencies stay far below 2^21 (halved every period), so the symbol
    // fits in the low 11 bits of the key.
    std::uint32_t keys[kMaxSyms];
    const unsigned n = num_syms - last_start;
    for (unsigned i = 0; i < n; ++i) keys[i] = (freqs[order[last_start + i]] << 11) | order[last_start + i];
    std::sort(keys, keys + n);
    for (unsigned i = 0; i < n; ++i) order[last_start + i] = static_cast<std::uint16_t>(keys[i] & 0x7FF);
  }

  // Nodes 0..S-1 are the leaves in sorted order; S..2S-2 the internal nodes
  // in creation order.
  std::uint32_t weight[2 * kMaxSyms];
  std::uint16_t parent[2 * kMaxSyms];
  for (unsigned i = 0; i < num_syms; ++i) weight[i] = freqs[order[i]];
  unsigned leaf = 0;
  unsigned inner = num_syms;
  unsigned next = num_syms;
  auto take = [&]() -> unsigned {
    if (leaf < num_syms && (inner >= next || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  for (unsigned k = 0; k + 1 < num_syms; ++k) {
    const unsigned a = take();
    const unsigned b = take();
    weight[next] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<std::uint16_t>(next);
    ++next;
  }
  // A parent is always created after its children, so walking backwards from
  // the root assigns every depth from an already known one.
  std::uint8_t depth[2 * kMaxSyms];
  const unsigned root = 2 * num_syms - 2;
  depth[root] = 0;
  for (unsigned node = root; node-- > num_syms;) {
    const unsigned d = depth[parent[node]] + 1u;
    depth[node] = static_cast<std::uint8_t>(d > 255 ? 255 : d);
  }
  for (unsigned i = 0; i < num_syms; ++i) {
    const unsigned d = depth[parent[i]] + 1u;
    if (d > kMaxCodewordLength) return false;
    lens[order[i]] = static_cast<std::uint8_t>(d);
  }
  return true;
}

bool BuildDecodeTable(const std::uint8_t* lens, unsigned num_syms, unsigned table_bits,
                      std::uint32_t* table, std::size_t table_size) {
  const std::size_t main_size = std::size_t{1} << table_bits;
  if (num_syms == 1) {  // zero-length codeword: every lookup yields symbol 0
    std::fill(table, table + main_size, 0u);
    return true;
  }
  unsigned count[kMaxCodewordLength + 1] = {};
  for (unsigned s = 0; s < num_syms; ++s) ++count[lens[s]];
  // Symbols sorted by (length, symbol) are in canonical codeword order.
  unsigned offset[kMaxCodewordLength + 2] = {};
  for (unsigned len = 1; len <= kMaxCodewordLength; ++len) offset[len + 1] = offset[len] + count[len];
  std::uint16_t sorted[kMaxSyms];
  for (unsigned s = 0; s < num_syms; ++s) sorted[offset[lens[s]]++] = static_cast<std::uint16_t>(s);

  // The code is complete, so the codewords are handed out densely: the i-th
  // sorted symbol's left-aligned (15-bit) codeword is the running sum.
  std::uint32_t code = 0;  // left-aligned to kMaxCodewordLength bits
  unsigned i = 0;
  for (; i < num_syms; ++i) {
    const unsigned s = sorted[i];
    const unsigned len = lens[s];
    if (len > table_bits) break;
    const std::size_t first = code >> (kMaxCodewordLength - table_bits);
    const std::size_t n = std::size_t{1} << (table_bits - len);
    if (first + n > main_size) return false;
    std::fill(table + first, table + first + n, (std::uint32_t{s} << 16) | len);
    code += 1u << (kMaxCodewordLength - len);
  }
  std::size_t cursor = main_size;
  while (i < num_syms) {
    // A group: the longer codewords sharing one table_bits prefix. They are
    // contiguous in sorted order, and the last of them is the longest.
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
      std::fill(table + cursor + first, table + cursor + first + n,
                (std::uint32_t{s} << 16) | (len - table_bits));
      code += 1u << (kMaxCodewordLength - len);
    }
    cursor += sub_size;
  }
  // A complete code covers the whole 15-bit space exactly.
  return code == (1u << kMaxCodewordLength);
}

}  // namespace lzms::detail
