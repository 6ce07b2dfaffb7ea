// cabinet.dll's decompressor, owned for the length of one decompression.

#include "platform/compression.h"

#include <type_traits>
#include <utility>

#include "platform/module.h"
#include "platform/win32_error.h"

namespace lumaro::platform {
namespace {

constexpr DWORD kCompressAlgorithmLzms = 5;

using CreateDecompressorFn = BOOL(WINAPI*)(DWORD algorithm, void* allocation_routines,
                                           void** handle);

}  // namespace

Result<Decompressor> Decompressor::OpenLzms() {
  static_assert(std::is_same_v<CloseFn, BOOL(WINAPI*)(void*)>);
  static_assert(std::is_same_v<DecompressFn, BOOL(WINAPI*)(void*, const void*, SIZE_T, void*,
                                                           SIZE_T, SIZE_T*)>);
  auto library = LoadSystemLibrary(L"cabinet.dll");
  if (!library) return Fail(std::move(library.error()));
  const auto create = LookupFunction<CreateDecompressorFn>(library->get(), "CreateDecompressor");
  if (create == nullptr) return Fail(LastError());
  const auto decompress = LookupFunction<DecompressFn>(library->get(), "Decompress");
  if (decompress == nullptr) return Fail(LastError());
  const auto close = LookupFunction<CloseFn>(library->get(), "CloseDecompressor");
  if (close == nullptr) return Fail(LastError());

  void* handle = nullptr;
  if (!create(kCompressAlgorithmLzms, nullptr, &handle)) return Fail(LastError());
  return Decompressor(std::move(*library), handle, decompress, close);
}

Decompressor::Decompressor(Decompressor&& other) noexcept
    : library_(std::move(other.library_)),
      handle_(std::exchange(other.handle_, nullptr)),
      decompress_(other.decompress_),
      close_(other.close_) {}

Result<std::size_t> Decompressor::Decompress(std::span<const std::byte> compressed,
                                             std::span<std::byte> out) const {
  SIZE_T produced = 0;
  if (!decompress_(handle_, compressed.data(), compressed.size(), out.data(), out.size(),
                   &produced)) {
    return Fail(LastError());
  }
  return produced;
}

void Decompressor::Close() {
  if (handle_ == nullptr) return;
  const DWORD saved = GetLastError();
  close_(std::exchange(handle_, nullptr));
  SetLastError(saved);
}

}  // namespace lumaro::platform
