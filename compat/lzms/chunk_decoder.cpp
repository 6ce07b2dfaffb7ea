// Decodes one raw LZMS block: the range-coded decisions (forward words), the
// adaptive Huffman codes and extra bits (backward words), LZ and delta matches
// with their delayed repeat queues, then the x86 filter undo. Items are decoded
// a batch at a time into copy commands that run after the batch.
#include "compat/lzms/chunk_decoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/byte_order.h"

namespace lzms::detail {

namespace {

using lumaro::platform::LoadLe16;
using lumaro::platform::LoadLe64;

// P(0) in 64ths for each count of zeros in an entry's history: the count
// itself, kept off 0 and 64 so that both outcomes stay possible.
struct ProbabilityTable {
  std::uint8_t p[65];
  constexpr ProbabilityTable() : p() {
    for (unsigned z = 0; z <= 64; ++z) p[z] = static_cast<std::uint8_t>(z == 0 ? 1 : z == 64 ? 63 : z);
  }
};
constexpr ProbabilityTable kProbability;

// Forward word stream feeding the range decoder; words past the end are 0.
class RangeDecoder {
 public:
  RangeDecoder(const std::uint8_t* in, std::size_t num_words)
      : next_(in + 4), end_(in + 2 * num_words),
        code_((std::uint32_t{LoadLe16(in)} << 16) | LoadLe16(in + 2)) {}

  unsigned DecodeBit(ProbEntry& e) {
    if (range_ < 0x10000) {
      range_ <<= 16;
      code_ <<= 16;
      if (next_ != end_) {
        code_ |= LoadLe16(next_);
        next_ += 2;
      }
    }
    // e.zeros counts the zero bits of a 64-bit history: 0 to 64.
    const std::uint32_t bound = (range_ >> 6) * kProbability.p[e.zeros];
    unsigned bit;
    if (code_ < bound) {
      range_ = bound;
      bit = 0;
    } else {
      range_ -= bound;
      code_ -= bound;
      bit = 1;
    }
    e.zeros += static_cast<std::uint32_t>(e.history >> 63) - bit;
    e.history = (e.history << 1) | bit;
    return bit;
  }

 private:
  const std::uint8_t* next_;
  const std::uint8_t* const end_;
  std::uint32_t range_ = 0xFFFFFFFF;
  std::uint32_t code_;
};

// Backward bit stream: words from the end towards the start, each read most
// significant bit first, zeros once exhausted. Bits sit at the top of bits_.
class BackwardBits {
 public:
  BackwardBits(const std::uint8_t* in, std::size_t size) : begin_(in), next_(in + size) {}

  // Guarantees at least 48 valid bits, and never holds more than 63 (so the
  // shift below stays defined). No early exit when enough bits are there:
  // that branch goes either way and costs more than the work.
  void Refill() {
    if (next_ - begin_ >= 8) [[likely]] {
      // Eight bytes read as one little-endian word hold the next four words
      // in stream order, most significant first. Bits beyond the whole words
      // taken are the true next bits, so OR-ing them in again later is harmless.
      bits_ |= LoadLe64(next_ - 8) >> count_;
      const unsigned words = (63 - count_) >> 4;
      next_ -= 2 * words;
      count_ += 16 * words;
      return;
    }
    while (count_ < 48) {
      std::uint64_t w = 0;
      if (next_ - begin_ >= 2) {
        next_ -= 2;
        w = LoadLe16(next_);
      }
      bits_ |= w << (48 - count_);
      count_ += 16;
    }
  }

  // n <= 32 and at most count_ (callers refill first).
  std::uint32_t Read(unsigned n) {
    const std::uint32_t v = static_cast<std::uint32_t>((bits_ >> 1) >> (63 - n));
    bits_ <<= n;
    count_ -= n;
    return v;
  }

  template <class Code>
  unsigned DecodeSymbol(const Code& code) {
    constexpr unsigned table_bits = Code::kLookupBits;
    const std::uint32_t* table = code.table();
    std::uint32_t e = table[bits_ >> (64 - table_bits)];
    if (e & kSubtableFlag) [[unlikely]] {
      bits_ <<= table_bits;
      count_ -= table_bits;
      e = table[(e >> 16) + (bits_ >> (64 - (e & 0xF)))];
    }
    const unsigned len = e & 0xF;
    bits_ <<= len;
    count_ -= len;
    return e >> 16;
  }

 private:
  const std::uint8_t* begin_;
  const std::uint8_t* next_;
  std::uint64_t bits_ = 0;
  unsigned count_ = 0;
};

constexpr std::uint64_t kInitialHistory = 0x0000000055555555;
constexpr std::uint32_t kInitialZeros = 48;

// Where each decision class's entries start in ChunkDecoderState::probs.
enum ProbBase : unsigned {
  kMainBase = 0,
  kMatchBase = 16,
  kLzBase = 48,
  kLzRep0Base = 112,
  kLzRep1Base = 176,
  kDeltaBase = 240,
  kDeltaRep0Base = 304,
  kDeltaRep1Base = 368,
};
static_assert(kDeltaRep1Base + 64 == kNumProbEntries);

struct DeltaSource {
  std::uint32_t power;
  std::uint32_t raw_offset;  // 0 marks an empty pending slot
};

template <class T>
inline void PushFront(T (&queue)[4], T value) {
  queue[3] = queue[2];
  queue[2] = queue[1];
  queue[1] = queue[0];
  queue[0] = value;
}

// index is 0, 1 or 2; selects rather than loops (a loop becomes a memmove call).
template <class T>
inline void RemoveAt(T (&queue)[4], unsigned index) {
  queue[0] = index == 0 ? queue[1] : queue[0];
  queue[1] = index <= 1 ? queue[2] : queue[1];
  queue[2] = queue[3];
}

// Both cache lines a short copy's first 24 bytes can span. Integer
// arithmetic: near the end the second address may lie past the buffer, where
// a prefetch is harmless but a pointer may not point.
inline void PrefetchCopySource(const std::uint8_t* src) {
  __builtin_prefetch(src);
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(src) + 23));
}

// Copies run in one pass after a batch of items has been decoded, so the
// prefetch issued when a match is decoded has a whole batch to bring its
// source in: far sources in big chunks otherwise stall the decoder.
inline void CopyExact(std::uint8_t* dst, const std::uint8_t* src, std::size_t len) {
  for (std::uint8_t* const end = dst + len; dst < end;) *dst++ = *src++;
}

// The fast path below writes three 8-byte steps before it looks at the length.
static_assert(kCopyOverrun >= 3 * 8);

// Performs the copies of one batch, writing from out + pos; out_end bounds
// every write, including the overrun of the fast path.
void RunCopies(const CopyCommand* copy, const CopyCommand* const last, std::uint8_t* dst,
               const std::uint8_t* const out_end) {
  for (; copy != last; ++copy) {
    const std::uint32_t len = copy->len;
    const std::uint8_t* src = copy->src;
    if (copy->mode == kCopyForward) [[likely]] {
      if (static_cast<std::size_t>(out_end - dst) - len >= kCopyOverrun) [[likely]] {
        // Whole 8-byte steps that may overrun by up to 23 bytes, which later
        // copies overwrite. Sources are literals or at least 8 bytes back, so
        // every load reads bytes that are already final. Most copies are
        // short, so the first 24 bytes go without a loop branch.
        std::uint8_t* const end = dst + len;
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
        std::memcpy(dst + 16, src + 16, 8);
        if (len > 24) [[unlikely]] {
          std::uint8_t* d = dst + 24;
          src += 24;
          do {
            std::memcpy(d, src, 8);
            d += 8;
            src += 8;
          } while (d < end);
        }
        dst = end;
        continue;
      }
    } else if (copy->mode == kCopyRepeat) {
      // A source less than 8 bytes back: a repeating pattern.
      if (dst - src == 1) {
        std::memset(dst, *src, len);
        dst += len;
        continue;
      }
    } else {
      // Delta: each byte is the source byte plus the change between the
      // two bytes one span earlier.
      const std::size_t span = std::size_t{1} << (copy->mode - kCopyDelta);
      for (std::uint8_t* const end = dst + len; dst < end; ++dst, ++src) {
        *dst = static_cast<std::uint8_t>(*src + dst[-static_cast<std::ptrdiff_t>(span)] -
                                         src[-static_cast<std::ptrdiff_t>(span)]);
      }
      continue;
    }
    CopyExact(dst, src, len);
    dst += len;
  }
}

}  // namespace

DecodeStatus DecodeChunkWith(ChunkDecoderState& st, std::span<const std::byte> in_span,
                             std::span<std::byte> out_span) {
  const std::size_t m = in_span.size();
  const std::size_t n = out_span.size();
  if (m < 4 || (m & 1) != 0 || n > kMaxChunkSize) return DecodeStatus::kCorrupt;
  const auto* in = reinterpret_cast<const std::uint8_t*>(in_span.data());
  auto* out = reinterpret_cast<std::uint8_t*>(out_span.data());

  RangeDecoder rd(in, m / 2);
  BackwardBits bits(in, m);
  for (ProbEntry& e : st.probs) e = {kInitialZeros, kInitialHistory};
  unsigned main_state = 0, match_state = 0, lz_state = 0, lz_rep0_state = 0, lz_rep1_state = 0;
  unsigned delta_state = 0, delta_rep0_state = 0, delta_rep1_state = 0;

  const unsigned num_offset_slots = NumOffsetSlots(n);
  bool ok = st.literal.Reset(kNumLiterals) && st.lz_offset.Reset(num_offset_slots) &&
            st.length.Reset(kNumLengthSlots) && st.delta_offset.Reset(num_offset_slots) &&
            st.delta_power.Reset(kNumDeltaPowers);
  if (!ok) return DecodeStatus::kCorrupt;

  std::uint32_t lz_queue[4] = {1, 2, 3, 4};
  std::uint32_t lz_pending = 0;
  DeltaSource delta_queue[4] = {{0, 1}, {0, 2}, {0, 3}, {0, 4}};
  DeltaSource delta_pending = {0, 0};

  auto decode_length = [&]() __attribute__((always_inline)) -> std::uint32_t {
    bits.Refill();
    const unsigned slot = bits.DecodeSymbol(st.length);
    ok &= st.length.Count(slot);
    return kLengthSlots.base[slot] + bits.Read(kLengthSlots.extra[slot]);
  };

  // An explicit offset: a slot from the given code, then its extra bits.
  auto decode_offset = [&](auto& code) __attribute__((always_inline)) -> std::uint32_t {
    bits.Refill();
    const unsigned slot = bits.DecodeSymbol(code);
    ok &= code.Count(slot);
    return kOffsetSlots.base[slot] + bits.Read(kOffsetSlots.extra[slot]);
  };
  // Which of the recent offsets a repeat match reuses (0, 1 or 2): one or two
  // range-coded bits, each with its own state.
  auto decode_rep_index = [&](unsigned rep0_base, unsigned& rep0_state, unsigned rep1_base,
                              unsigned& rep1_state) __attribute__((always_inline)) -> unsigned {
    unsigned index = rd.DecodeBit(st.probs[rep0_base + rep0_state]);
    rep0_state = ((rep0_state << 1) | index) & 63;
    if (index != 0) {
      const unsigned b = rd.DecodeBit(st.probs[rep1_base + rep1_state]);
      rep1_state = ((rep1_state << 1) | b) & 63;
      index += b;
    }
    return index;
  };

  std::uint8_t* const literals = st.literals;
  CopyCommand* const copies = st.copies;
  std::size_t pos = 0;
  while (pos < n) {
    // One bounds-check idiom: any bad data clears ok, and decoding ends at the
    // batch's end. A code whose rebuild failed decodes only symbol 0 till then.
    if (!ok) [[unlikely]]
      return DecodeStatus::kCorrupt;
    std::uint8_t* const batch_dst = out + pos;
    CopyCommand* copy = copies;
    std::uint8_t* lit = literals;
    std::uint8_t* run = literals;  // start of the literal run not yet in a command
    // Closes the open literal run (if any) into a copy command, branch-free.
    auto close_run = [&]() __attribute__((always_inline)) {
      *copy = {run, static_cast<std::uint32_t>(lit - run), kCopyForward};
      copy += (lit != run);
      run = lit;
    };

    const std::size_t batch_end = pos + std::min(n - pos, kBatchBytes);
    while (pos < batch_end) {
      unsigned bit = rd.DecodeBit(st.probs[kMainBase + main_state]);
      main_state = ((main_state << 1) | bit) & 15;
      if (bit == 0) {
        bits.Refill();
        const unsigned sym = bits.DecodeSymbol(st.literal);
        ok &= st.literal.Count(sym);
        *lit++ = static_cast<std::uint8_t>(sym);
        ++pos;
        if (lz_pending != 0) {
          PushFront(lz_queue, lz_pending);
          lz_pending = 0;
        }
        if (delta_pending.raw_offset != 0) {
          PushFront(delta_queue, delta_pending);
          delta_pending.raw_offset = 0;
        }
        continue;
      }

      bit = rd.DecodeBit(st.probs[kMatchBase + match_state]);
      match_state = ((match_state << 1) | bit) & 31;
      if (bit == 0) {
        // LZ match.
        bit = rd.DecodeBit(st.probs[kLzBase + lz_state]);
        lz_state = ((lz_state << 1) | bit) & 63;
        std::uint32_t offset;
        if (bit == 0) {
          offset = decode_offset(st.lz_offset);
        } else {
          const unsigned index =
              decode_rep_index(kLzRep0Base, lz_rep0_state, kLzRep1Base, lz_rep1_state);
          offset = lz_queue[index];
          RemoveAt(lz_queue, index);
        }
        // Far sources miss the cache: start loading now, copy after the batch.
        if (offset <= pos) PrefetchCopySource(out + pos - offset);
        const std::uint32_t len = decode_length();
        if (lz_pending != 0) PushFront(lz_queue, lz_pending);
        lz_pending = offset;
        if (delta_pending.raw_offset != 0) {
          PushFront(delta_queue, delta_pending);
          delta_pending.raw_offset = 0;
        }
        if (offset > pos || len > n - pos) [[unlikely]]
          return DecodeStatus::kCorrupt;
        close_run();
        *copy++ = {out + pos - offset, len, offset >= 8 ? kCopyForward : kCopyRepeat};
        pos += len;
        continue;
      }

      // Delta match.
      bit = rd.DecodeBit(st.probs[kDeltaBase + delta_state]);
      delta_state = ((delta_state << 1) | bit) & 63;
      DeltaSource source;
      if (bit == 0) {
        bits.Refill();
        source.power = bits.DecodeSymbol(st.delta_power);
        ok &= st.delta_power.Count(source.power);
        source.raw_offset = decode_offset(st.delta_offset);
      } else {
        const unsigned index = decode_rep_index(kDeltaRep0Base, delta_rep0_state, kDeltaRep1Base,
                                                delta_rep1_state);
        source = delta_queue[index];
        RemoveAt(delta_queue, index);
      }
      const std::uint32_t len = decode_length();
      if (delta_pending.raw_offset != 0) PushFront(delta_queue, delta_pending);
      delta_pending = source;
      if (lz_pending != 0) {
        PushFront(lz_queue, lz_pending);
        lz_pending = 0;
      }
      const std::uint64_t offset = std::uint64_t{source.raw_offset} << source.power;
      const std::size_t span = std::size_t{1} << source.power;
      if (offset > 0xFFFFFFFF || offset + span > pos || len > n - pos) [[unlikely]]
        return DecodeStatus::kCorrupt;
      __builtin_prefetch(out + pos - offset);
      close_run();
      *copy++ = {out + pos - offset, len, kCopyDelta + source.power};
      pos += len;
    }
    close_run();
    RunCopies(copies, copy, batch_dst, out + n);
  }
  if (!ok) return DecodeStatus::kCorrupt;
  UndoX86Filter(out, n, st.x86_last_target);
  return DecodeStatus::kOk;
}

DecodeStatus DecodeChunk(std::span<const std::byte> in, std::span<std::byte> out) {
  std::unique_ptr<ChunkDecoderState> state(new (std::nothrow) ChunkDecoderState);
  // No status for memory exhaustion exists; the buffer cannot be decoded.
  if (!state) return DecodeStatus::kCorrupt;
  return DecodeChunkWith(*state, in, out);
}

}  // namespace lzms::detail

namespace lzms {
DecodeStatus DecodeChunk(std::span<const std::byte> in, std::span<std::byte> out) {
  return detail::DecodeChunk(in, out);
}
}  // namespace lzms
