// The code builder against a plain model of the LZMS rules (a stable sort by
// frequency, an explicit two-queue merge where ties take the leaf, leaf
// depths), and its decode table against canonical codewords looked up bit by
// bit. Catches a fast builder that breaks a tie rule or misplaces a codeword.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "compat/lzms/adaptive_huffman.h"

namespace lzms::detail {
namespace {

// Lengths per symbol, or empty if one would exceed kMaxCodewordLength.
std::vector<unsigned> ModelLengths(const std::vector<std::uint32_t>& freqs) {
  const std::size_t n = freqs.size();
  if (n == 1) return {0};
  std::vector<unsigned> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](unsigned a, unsigned b) { return freqs[a] < freqs[b]; });
  std::vector<std::uint64_t> weight;
  std::vector<std::size_t> parent(2 * n);
  for (unsigned s : order) weight.push_back(freqs[s]);
  std::size_t leaf = 0, inner = n;
  for (std::size_t next = n; next < 2 * n - 1; ++next) {
    std::uint64_t sum = 0;
    for (int k = 0; k < 2; ++k) {
      const bool take_leaf = leaf < n && (inner == next || weight[leaf] <= weight[inner]);
      const std::size_t node = take_leaf ? leaf++ : inner++;
      parent[node] = next;
      sum += weight[node];
    }
    weight.push_back(sum);
  }
  std::vector<unsigned> lens(n);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned depth = 0;
    for (std::size_t node = i; node != 2 * n - 2; node = parent[node]) ++depth;
    if (depth > kMaxCodewordLength) return {};
    lens[order[i]] = depth;
  }
  return lens;
}

struct Built {
  bool ok;
  std::vector<unsigned> lens;
};

Built Build(const std::vector<std::uint32_t>& freqs, unsigned table_bits) {
  const auto n = static_cast<unsigned>(freqs.size());
  std::vector<std::uint8_t> lens(n);
  std::uint16_t counts[kMaxCodewordLength + 1];
  if (!BuildCodewordLengths(freqs.data(), n, lens.data(), counts)) return {false, {}};
  unsigned total = 0;
  for (unsigned c : counts) total += c;
  EXPECT_EQ(total, n == 1 ? 0 : n);
  for (unsigned len = 0; len <= kMaxCodewordLength; ++len) {
    EXPECT_EQ(static_cast<std::ptrdiff_t>(counts[len]), std::count(lens.begin(), lens.end(), len))
        << len;
  }
  std::vector<std::uint32_t> table(DecodeTableSize(n, table_bits));
  EXPECT_TRUE(BuildDecodeTable(lens.data(), counts, n, table_bits, table.data(), table.size()));

  // Every symbol's canonical codeword, followed by random bits, must come
  // back through the table with its own length.
  std::vector<unsigned> canonical(n);
  std::iota(canonical.begin(), canonical.end(), 0u);
  std::stable_sort(canonical.begin(), canonical.end(),
                   [&](unsigned a, unsigned b) { return lens[a] < lens[b]; });
  std::mt19937_64 rng(n);
  std::uint32_t code = 0;  // left-aligned to kMaxCodewordLength bits
  for (unsigned s : canonical) {
    const unsigned len = lens[s];
    const std::uint64_t bits = (std::uint64_t{code} << (64 - kMaxCodewordLength)) |
                               (len == 0 ? 0 : rng() >> len);
    std::uint32_t e = table[bits >> (64 - table_bits)];
    unsigned used = 0;
    if (e & kSubtableFlag) {
      used = table_bits;
      e = table[(e >> 16) + ((bits << table_bits) >> (64 - (e & 0xF)))];
    }
    EXPECT_EQ(e >> 16, s);
    EXPECT_EQ(used + (e & 0xF), len) << s;
    code += len == 0 ? 0 : 1u << (kMaxCodewordLength - len);
  }
  return {true, std::vector<unsigned>(lens.begin(), lens.end())};
}

void ExpectLikeModel(const std::vector<std::uint32_t>& freqs, unsigned table_bits) {
  const std::vector<unsigned> model = ModelLengths(freqs);
  const Built built = Build(freqs, table_bits);
  ASSERT_EQ(built.ok, !model.empty());
  if (built.ok) {
    ASSERT_EQ(built.lens, model);
  }
}

// The alphabets and lookup widths the decoder uses.
struct Alphabet {
  unsigned num_syms;
  unsigned table_bits;
  unsigned period;
};
constexpr Alphabet kAlphabets[] = {
    {256, 10, 1024}, {729, 11, 1024}, {799, 11, 1024}, {54, 9, 512}, {8, 7, 512},
    {2, 11, 1024},   {3, 11, 1024},   {17, 11, 1024},  {65, 11, 1024},
};

TEST(AdaptiveHuffman, FrequenciesAsTheDecoderMakesThem) {
  // Skewed symbol streams counted and halved on the decoder's schedule; the
  // small frequencies they leave tie often, which is what the rules settle.
  for (const Alphabet& a : kAlphabets) {
    SCOPED_TRACE(a.num_syms);
    for (double skew : {0.5, 0.9, 0.99}) {
      std::mt19937 rng(a.num_syms * 7 + static_cast<unsigned>(skew * 100));
      std::geometric_distribution<unsigned> pick(1.0 - skew);
      std::vector<std::uint32_t> freqs(a.num_syms, 1);
      for (int round = 0; round < 12; ++round) {
        for (unsigned k = 0; k < a.period; ++k) ++freqs[pick(rng) % a.num_syms];
        ExpectLikeModel(freqs, a.table_bits);
        for (std::uint32_t& f : freqs) f = (f >> 1) + 1;
      }
    }
  }
}

TEST(AdaptiveHuffman, EqualAndRandomFrequencies) {
  for (const Alphabet& a : kAlphabets) {
    SCOPED_TRACE(a.num_syms);
    ExpectLikeModel(std::vector<std::uint32_t>(a.num_syms, 1), a.table_bits);
    std::mt19937 rng(a.num_syms);
    for (std::uint32_t max : {2u, 5u, 70u, 3000u}) {
      std::vector<std::uint32_t> freqs(a.num_syms);
      for (std::uint32_t& f : freqs) f = 1 + rng() % max;
      ExpectLikeModel(freqs, a.table_bits);
    }
  }
}

TEST(AdaptiveHuffman, DeepTreesUpToAndPastTheLengthLimit) {
  // Fibonacci weights make a tree one level deeper per symbol: 16 symbols
  // reach length 15 exactly, 17 go past it and must be refused.
  for (unsigned n : {15u, 16u, 17u, 24u}) {
    SCOPED_TRACE(n);
    std::vector<std::uint32_t> freqs(n);
    std::uint32_t a = 1, b = 1;
    for (std::uint32_t& f : freqs) {
      f = a;
      a = b;
      b += f;
    }
    std::reverse(freqs.begin(), freqs.end());  // the rules sort; order must not matter
    ExpectLikeModel(freqs, 7);
    EXPECT_EQ(Build(freqs, 7).ok, n <= 16);
  }
}

TEST(AdaptiveHuffman, OneSymbolHasAnEmptyCodeword) {
  std::uint32_t freq = 5;
  std::uint8_t len = 9;
  std::uint16_t counts[kMaxCodewordLength + 1];
  ASSERT_TRUE(BuildCodewordLengths(&freq, 1, &len, counts));
  EXPECT_EQ(len, 0);
  std::vector<std::uint32_t> table(DecodeTableSize(1, 7), 0xFFFFFFFF);
  ASSERT_TRUE(BuildDecodeTable(&len, counts, 1, 7, table.data(), table.size()));
  for (std::size_t i = 0; i < 128; ++i) EXPECT_EQ(table[i], 0u) << i;
}

TEST(AdaptiveHuffman, FailedRebuildLeavesASafeTable) {
  // Counts that make the next code deeper than 15 bits: the rebuild fails,
  // and until the decoder notices, the table must yield symbol 0 and use no
  // bits, whatever it held before.
  constexpr unsigned kSyms = 18;
  std::vector<std::uint32_t> freqs(kSyms);  // Fibonacci: one level per symbol
  std::uint32_t a = 1, b = 1;
  for (std::uint32_t& f : freqs) {
    f = a;
    a = b;
    b += f;
  }
  ASSERT_TRUE(ModelLengths(freqs).empty());
  constexpr unsigned kPeriod = 6746;  // the counts that take all-ones there
  ASSERT_EQ(std::accumulate(freqs.begin(), freqs.end(), 0u), kPeriod + kSyms);

  AdaptiveCode<kSyms, 7, kPeriod> code;
  ASSERT_TRUE(code.Reset(kSyms));
  bool ok = true;
  for (unsigned s = 0; s < kSyms; ++s) {
    for (std::uint32_t k = 1; k < freqs[s]; ++k) ok &= code.Count(s);
  }
  EXPECT_FALSE(ok);
  for (std::size_t i = 0; i < 128; ++i) EXPECT_EQ(code.table()[i], 0u) << i;
}

}  // namespace
}  // namespace lzms::detail
