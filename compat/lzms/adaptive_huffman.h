// One adaptive LZMS Huffman code: symbol frequencies, the periodic rebuild with
// LZMS's exact tie rules, and a two-level decode table (main table indexed by
// the next kTableBits bits, subtables for the rare longer codewords).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzms::detail {

inline constexpr unsigned kMaxCodewordLength = 15;

// Builds codeword lengths for syms[0..num_syms) from freqs (all >= 1, below
// 2^21), and len_counts[0..kMaxCodewordLength], the number of codewords of
// each length. Returns false if a length would exceed kMaxCodewordLength.
bool BuildCodewordLengths(const std::uint32_t* freqs, unsigned num_syms, std::uint8_t* lens,
                          std::uint16_t* len_counts);

// Fills a two-level decode table for canonical codewords with the given
// lengths and counts. Entries: bits 0-3 length, bit 4 subtable flag, bits
// 16-31 symbol or subtable start. Returns false unless the lengths form a
// complete code whose table fits in table_size.
bool BuildDecodeTable(const std::uint8_t* lens, const std::uint16_t* len_counts, unsigned num_syms,
                      unsigned table_bits, std::uint32_t* table, std::size_t table_size);

inline constexpr std::uint32_t kSubtableFlag = 0x10;

// Worst-case table size: a subtable of b bits serves at least b + 1 symbols,
// and 2^b / (b + 1) grows with b, so the deepest subtables bound the total.
constexpr std::size_t DecodeTableSize(unsigned num_syms, unsigned table_bits) {
  const unsigned b = kMaxCodewordLength - table_bits;
  return (std::size_t{1} << table_bits) +
         (b == 0 ? 0 : (num_syms * (std::size_t{1} << b) + b) / (b + 1));
}

template <unsigned kMaxSyms, unsigned kTableBits, unsigned kPeriod>
class AdaptiveCode {
 public:
  static constexpr unsigned kLookupBits = kTableBits;
  static constexpr std::size_t kTableSize = DecodeTableSize(kMaxSyms, kTableBits);
  static_assert(kTableSize < 0x10000, "subtable starts are stored in 16 bits");
  static_assert(kTableBits <= kMaxCodewordLength);

  // Resets to all-ones frequencies. num_syms 0 is treated as 1: such a code
  // is never usable anyway (every offset it yields fails the bounds check).
  bool Reset(unsigned num_syms) {
    num_syms_ = num_syms == 0 ? 1 : num_syms;
    for (unsigned i = 0; i < num_syms_; ++i) freqs_[i] = 1;
    countdown_ = kPeriod;
    return Rebuild();
  }

  const std::uint32_t* table() const { return table_; }

  // Counts a decoded symbol; returns false if the rebuilt code is unusable.
  bool Count(unsigned sym) {
    ++freqs_[sym];
    if (--countdown_ != 0) [[likely]]
      return true;
    countdown_ = kPeriod;
    const bool ok = Rebuild();
    for (unsigned i = 0; i < num_syms_; ++i) freqs_[i] = (freqs_[i] >> 1) + 1;
    return ok;
  }

 private:
  // On failure the table decodes every bit pattern as symbol 0 with no bits
  // used, so the decoder may go on safely until it checks.
  bool Rebuild() {
    if (BuildCodewordLengths(freqs_, num_syms_, lens_, len_counts_) &&
        BuildDecodeTable(lens_, len_counts_, num_syms_, kTableBits, table_, kTableSize)) {
      return true;
    }
    for (std::size_t i = 0; i < (std::size_t{1} << kTableBits); ++i) table_[i] = 0;
    return false;
  }

  unsigned num_syms_ = 0;
  unsigned countdown_ = 0;
  std::uint32_t freqs_[kMaxSyms];
  std::uint8_t lens_[kMaxSyms];
  std::uint16_t len_counts_[kMaxCodewordLength + 1];
  std::uint32_t table_[kTableSize];
};

}  // namespace lzms::detail
