// The launcher's own versions of the C++ library pieces whose libstdc++
// versions throw: those would bring exception objects, the unwinder, the
// emergency pool and std::string's and random_device's library code into the
// exe (about 55 KB). Linked into launchers only; tests keep the library's.

#include <cstdlib>
#include <new>

#include "platform/current_process.h"

// A failed allocation ends the process at once, as docs/troubleshooting.md
// describes. With this replacement no new-handler is ever consulted.
void* operator new(std::size_t size) {
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  lumaro::platform::TerminateOnOutOfMemory();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// The launcher throws no exceptions, so std::terminate can only come from a
// broken invariant. libstdc++'s default handler would demangle a type name for
// a console nobody sees, and carries a demangler (about 40 KB) for it; end the
// process plainly instead, with abort()'s customary status.
namespace __gnu_cxx {
void __verbose_terminate_handler() { lumaro::platform::TerminateOnBrokenInvariant(); }
}  // namespace __gnu_cxx

// The containers' checks for impossible sizes and positions (length_error,
// out_of_range, ...). libstdc++ built without exceptions defines these to end
// the process; so do we, the way an uncaught exception ended it before:
// through the terminate handler above.
namespace std {
[[noreturn]] static void EndOnBrokenInvariant() {
  __gnu_cxx::__verbose_terminate_handler();
  __builtin_unreachable();
}
void __throw_bad_alloc() { EndOnBrokenInvariant(); }
void __throw_bad_array_new_length() { EndOnBrokenInvariant(); }
void __throw_length_error(const char*) { EndOnBrokenInvariant(); }
void __throw_logic_error(const char*) { EndOnBrokenInvariant(); }
void __throw_out_of_range_fmt(const char*, ...) { EndOnBrokenInvariant(); }
}  // namespace std
