// wWinMain: the GUI entry. Command-line arguments are not read.

#include <new>

#include "launcher/launch_sequence.h"
#include "platform/system.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::set_new_handler([] { lumaro::platform::TerminateOnOutOfMemory(); });
  ExitProcess(static_cast<UINT>(lumaro::launcher::RunLauncher()));
}

// The launcher throws no exceptions, so std::terminate can only come from a
// broken invariant. libstdc++'s default handler would demangle a type name for
// a console nobody sees, and carries a demangler (about 40 KB) for it; end the
// process plainly instead, with abort()'s customary status.
namespace __gnu_cxx {
void __verbose_terminate_handler() { TerminateProcess(GetCurrentProcess(), 3); }
}  // namespace __gnu_cxx
