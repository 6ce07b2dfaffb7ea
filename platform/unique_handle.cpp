// The closing calls of the single-owner wrappers.

#include "platform/unique_handle.h"

#include <type_traits>

#include "platform/win32.h"

namespace lumaro::platform {

// system_types.h names these without <windows.h>; here they meet the originals.
static_assert(std::is_same_v<NativeHandle, HANDLE>);
static_assert(std::is_same_v<ModuleHandle, HMODULE>);
static_assert(std::is_unsigned_v<DWORD> && sizeof(SystemErrorCode) == sizeof(DWORD));
static_assert(std::is_signed_v<NTSTATUS> && sizeof(NtStatus) == sizeof(NTSTATUS));
static_assert(sizeof(std::uint32_t) == sizeof(ULONG));
namespace detail {
namespace {

// Closing must not replace the error of the call that made the caller give up.
class LastErrorKept {
 public:
  LastErrorKept() : saved_(GetLastError()) {}
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;
  ~LastErrorKept() { SetLastError(saved_); }

 private:
  DWORD saved_;
};

}  // namespace

void CloseKernelHandle(NativeHandle h) {
  const LastErrorKept kept;
  CloseHandle(h);
}

void ReleaseModule(ModuleHandle m) {
  const LastErrorKept kept;
  FreeLibrary(m);
}

void CloseFind(NativeHandle h) {
  const LastErrorKept kept;
  FindClose(h);
}

void FreeHeapBlock(void* p) {
  const LastErrorKept kept;
  HeapFree(GetProcessHeap(), 0, p);
}

}  // namespace detail

UniqueHeapBlock UniqueHeapBlock::Allocate(std::size_t size, Fill fill) {
  void* p = HeapAlloc(GetProcessHeap(), fill == Fill::kZeroed ? HEAP_ZERO_MEMORY : 0, size);
  if (p == nullptr) return UniqueHeapBlock();
  return UniqueHeapBlock(p, size);
}

}  // namespace lumaro::platform
