// One Decompress call, straight from the mapped record into a buffer of the
// final size. Released in order: decompressor, buffer (on failure), library.

#include "package/decompress.h"

#include "package/crc32.h"
#include "package/payload_record.h"
#include "platform/system.h"

namespace lumaro::package {
namespace {

using platform::Fail;
using platform::LaunchError;

constexpr DWORD kCompressAlgorithmLzms = 5;

using CreateDecompressorFn = BOOL(WINAPI*)(DWORD algorithm, void* allocation_routines,
                                           void** handle);
using DecompressFn = BOOL(WINAPI*)(void* handle, const void* compressed, SIZE_T compressed_size,
                                   void* uncompressed, SIZE_T uncompressed_size,
                                   SIZE_T* produced);
using CloseDecompressorFn = BOOL(WINAPI*)(void* handle);

template <class Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

platform::Result<PackageBuffer> DecompressPackage() {
  platform::UniqueModule cabinet;
  {
    const std::wstring name = platform::ToWide("cabinet.dll");
    // The system folder only: a cabinet.dll beside the exe or in the current
    // folder is never loaded.
    cabinet.reset(LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!cabinet) return Fail(LaunchError::Os(GetLastError()));
  }

  const auto create = Lookup<CreateDecompressorFn>(cabinet.get(), "CreateDecompressor");
  if (create == nullptr) return Fail(LaunchError::Os(GetLastError()));
  const auto decompress = Lookup<DecompressFn>(cabinet.get(), "Decompress");
  if (decompress == nullptr) return Fail(LaunchError::Os(GetLastError()));
  const auto close = Lookup<CloseDecompressorFn>(cabinet.get(), "CloseDecompressor");
  if (close == nullptr) return Fail(LaunchError::Os(GetLastError()));

  void* decompressor = nullptr;
  if (!create(kCompressAlgorithmLzms, nullptr, &decompressor)) {
    return Fail(LaunchError::Os(GetLastError()));
  }

  platform::UniqueHeapBlock buffer(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, PACKAGE_SIZE),
                                   PACKAGE_SIZE);
  if (buffer.get() == nullptr) {
    close(decompressor);
    platform::TerminateOnOutOfMemory();
  }

  const std::span<const std::byte> stream = CompressedStream();
  SIZE_T produced = 0;
  const BOOL ok = decompress(decompressor, stream.data(), stream.size(), buffer.get(),
                             PACKAGE_SIZE, &produced);
  const DWORD error = GetLastError();
  close(decompressor);

  if (!ok) return Fail(LaunchError::Os(error));
  if (produced != PACKAGE_SIZE) return Fail(LaunchError::InvalidPackage());
  // LZMS has no checksum: damage in a stored chunk, and much damage in a
  // compressed one, still decodes to the right length. Nothing is installed
  // from bytes that differ from what was packed.
  if (Crc32({static_cast<const std::byte*>(buffer.get()), buffer.size()}) != PACKAGE_CRC32) {
    return Fail(LaunchError::InvalidPackage());
  }
  // The buffer is declared after the module, so on every failure above it is
  // freed before the library; on success the library goes first, as nothing
  // of it is referenced by the buffer.
  return PackageBuffer(std::move(buffer));
}

}  // namespace lumaro::package
