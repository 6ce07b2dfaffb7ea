// The stand-in cabinet.dll: the Compression API's decompressor functions for
// LZMS buffer mode, over our own decoder. Wine 8's cabinet.dll lacks this API,
// so the launcher's unchanged exe can run under Wine with this one beside it.
#include <windows.h>
#include <compressapi.h>

#include <cstdint>
#include <new>
#include <optional>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/chunk_decoder.h"

namespace {

// winerror.h value; mingw-w64's headers do not define it.
constexpr DWORD kErrorBadCompressionBuffer = 605;
constexpr std::uint32_t kLiveMagic = 0x4C5A4D53;  // "LZMS"

// One allocation holds the handle and the decoder's working state, from the
// caller's allocation routines when given, else from the process heap.
struct Decompressor {
  std::uint32_t magic;
  COMPRESS_ALLOCATION_ROUTINES routines;
  bool custom_allocator;
  lzms::detail::ChunkDecoderState state;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

Decompressor* FromHandle(DECOMPRESSOR_HANDLE handle) {
  auto* d = reinterpret_cast<Decompressor*>(handle);
  if (d == nullptr || d->magic != kLiveMagic) return nullptr;
  return d;
}

}  // namespace

extern "C" {

BOOL WINAPI CreateDecompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES AllocationRoutines,
                               PDECOMPRESSOR_HANDLE DecompressorHandle) {
  if (DecompressorHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *DecompressorHandle = nullptr;
  // Only LZMS, and only buffer mode: COMPRESS_RAW (and any other flag) is refused.
  if (Algorithm != COMPRESS_ALGORITHM_LZMS) return Fail(ERROR_INVALID_PARAMETER);
  const bool custom = AllocationRoutines != nullptr;
  if (custom && (AllocationRoutines->Allocate == nullptr || AllocationRoutines->Free == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  void* memory = custom ? AllocationRoutines->Allocate(AllocationRoutines->UserContext,
                                                       sizeof(Decompressor))
                        : HeapAlloc(GetProcessHeap(), 0, sizeof(Decompressor));
  if (memory == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  auto* d = new (memory) Decompressor;
  d->magic = kLiveMagic;
  d->routines = custom ? *AllocationRoutines : COMPRESS_ALLOCATION_ROUTINES{};
  d->custom_allocator = custom;
  *DecompressorHandle = reinterpret_cast<DECOMPRESSOR_HANDLE>(d);
  return TRUE;
}

BOOL WINAPI Decompress(DECOMPRESSOR_HANDLE DecompressorHandle, PVOID CompressedData,
                       SIZE_T CompressedDataSize, PVOID UncompressedBuffer,
                       SIZE_T UncompressedBufferSize, PSIZE_T UncompressedDataSize) {
  Decompressor* d = FromHandle(DecompressorHandle);
  if (d == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((CompressedData == nullptr && CompressedDataSize != 0) ||
      (UncompressedBuffer == nullptr && UncompressedBufferSize != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::span<const std::byte> in(static_cast<const std::byte*>(CompressedData),
                                      CompressedDataSize);
  const std::span<std::byte> out(static_cast<std::byte*>(UncompressedBuffer),
                                 UncompressedBufferSize);
  const lzms::BufferDecodeResult r = lzms::detail::DecompressBufferWith(d->state, in, out);
  switch (r.status) {
    case lzms::DecodeStatus::kOk:
      if (UncompressedDataSize != nullptr) *UncompressedDataSize = r.produced;
      return TRUE;
    case lzms::DecodeStatus::kOutputTooSmall: {
      // Like Windows, report the size needed; a NULL, 0-byte output is the
      // caller's way of asking for it.
      const std::optional<lzms::BufferHeader> header = lzms::ParseBufferHeader(in);
      if (UncompressedDataSize != nullptr && header) {
        *UncompressedDataSize = static_cast<SIZE_T>(header->total_size);
      }
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    case lzms::DecodeStatus::kOutOfMemory:  // the handle owns its state: never from here
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    case lzms::DecodeStatus::kCorrupt:
      break;
  }
  return Fail(kErrorBadCompressionBuffer);
}

BOOL WINAPI CloseDecompressor(DECOMPRESSOR_HANDLE DecompressorHandle) {
  Decompressor* d = FromHandle(DecompressorHandle);
  if (d == nullptr) return Fail(ERROR_INVALID_HANDLE);
  d->magic = 0;  // a second close finds no live handle
  const COMPRESS_ALLOCATION_ROUTINES routines = d->routines;
  const bool custom = d->custom_allocator;
  d->~Decompressor();
  if (custom) {
    routines.Free(routines.UserContext, d);
  } else {
    HeapFree(GetProcessHeap(), 0, d);
  }
  return TRUE;
}

}  // extern "C"
