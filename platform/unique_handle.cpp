// The closing calls of the single-owner wrappers.

#include "platform/unique_handle.h"

namespace lumaro::platform {
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

void CloseKernelHandle(HANDLE h) {
  const LastErrorKept kept;
  CloseHandle(h);
}

void ReleaseModule(HMODULE m) {
  const LastErrorKept kept;
  FreeLibrary(m);
}

void CloseFind(HANDLE h) {
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
