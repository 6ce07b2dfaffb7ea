// The Compression API's decompressor (cabinet.dll), loaded at run time from
// the system folder: Windows ships it, and Wine runs the same exe against a
// stand-in DLL of the same name.
#pragma once

#include <cstddef>
#include <span>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

class Decompressor {
 public:
  // CreateDecompressor for LZMS.
  static Result<Decompressor> OpenLzms();

  Decompressor(Decompressor&& other) noexcept;
  Decompressor& operator=(Decompressor&&) = delete;
  Decompressor(const Decompressor&) = delete;
  ~Decompressor() { Close(); }

  // One Decompress call of the whole buffer-mode stream: the bytes produced.
  Result<std::size_t> Decompress(std::span<const std::byte> compressed,
                                 std::span<std::byte> out) const;

  // CloseDecompressor; the library stays loaded until destruction.
  void Close();

 private:
  // CloseDecompressor and Decompress: BOOL WINAPI, SIZE_T sizes (checked
  // against those in compression.cpp).
  using CloseFn = int (*)(void* handle);
  using DecompressFn = int (*)(void* handle, const void* compressed, std::size_t compressed_size,
                               void* uncompressed, std::size_t uncompressed_size,
                               std::size_t* produced);
  Decompressor(UniqueModule library, void* handle, DecompressFn decompress, CloseFn close)
      : library_(std::move(library)), handle_(handle), decompress_(decompress), close_(close) {}

  // Declared first, so it is released last: the handle's close lives in it.
  UniqueModule library_;
  void* handle_;
  DecompressFn decompress_;
  CloseFn close_;
};

}  // namespace lumaro::platform
