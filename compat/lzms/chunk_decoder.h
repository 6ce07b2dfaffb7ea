// The LZMS chunk decoder's working state, shared by DecodeChunk and the buffer
// container so that one allocation serves every chunk of a buffer. Private to
// compat/lzms and the stand-in cabinet.dll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "compat/lzms/adaptive_huffman.h"
#include "compat/lzms/lzms_decoder.h"
#include "compat/lzms/lzms_tables.h"

namespace lzms::detail {

// Largest block DecodeChunk accepts. Positions then fit comfortably in the
// x86 filter's 32-bit table, and offset slot 798 covers every offset.
inline constexpr std::size_t kMaxChunkSize = std::size_t{1} << 30;

struct ProbEntry {
  std::uint32_t zeros;
  std::uint64_t history;
};

inline constexpr std::size_t kNumProbEntries = 16 + 32 + 6 * 64;
static_assert(kNumProbEntries == 432);

// Items are decoded in batches of about this many output bytes into copy
// commands, then copied in one pass.
inline constexpr std::size_t kBatchBytes = 512;
// The fast copy writes whole 8-byte steps, up to 23 bytes past a copy's end.
inline constexpr std::size_t kCopyOverrun = 24;

enum CopyMode : std::uint32_t {
  kCopyForward,  // literals, or an LZ source at least 8 bytes back
  kCopyRepeat,   // an LZ source 1 to 7 bytes back
  kCopyDelta,    // kCopyDelta + power: a delta match with span 2^power
};

struct CopyCommand {
  const std::uint8_t* src;  // into the output, or into the batch's literals
  std::uint32_t len;
  std::uint32_t mode;
};

struct ChunkDecoderState {
  AdaptiveCode<kNumLiterals, 10, 1024> literal;
  AdaptiveCode<kNumOffsetSlots, 11, 1024> lz_offset;
  AdaptiveCode<kNumLengthSlots, 9, 512> length;
  AdaptiveCode<kNumOffsetSlots, 11, 1024> delta_offset;
  AdaptiveCode<kNumDeltaPowers, 7, 512> delta_power;
  ProbEntry probs[kNumProbEntries];
  std::int32_t x86_last_target[65536];
  // Every command starts before the batch's end and covers at least one
  // byte, and closing a literal run always writes the next slot.
  CopyCommand copies[kBatchBytes + 1];
  std::uint8_t literals[kBatchBytes + kCopyOverrun];
};

// Decodes one block into out using caller-provided state (fully reset here).
DecodeStatus DecodeChunkWith(ChunkDecoderState& state, std::span<const std::byte> in,
                             std::span<std::byte> out);

// Undoes the x86 filter over data in place; last_target is scratch.
void UndoX86Filter(std::uint8_t* data, std::size_t n, std::int32_t* last_target);

// Decodes a buffer-mode stream using caller-provided state.
BufferDecodeResult DecompressBufferWith(ChunkDecoderState& state, std::span<const std::byte> in,
                                        std::span<std::byte> out);

}  // namespace lzms::detail
