// wWinMain: the GUI entry. Command-line arguments are not read.

#include <new>

#include "launcher/launch_sequence.h"
#include "platform/system.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::set_new_handler([] { lumaro::platform::TerminateOnOutOfMemory(); });
  ExitProcess(static_cast<UINT>(lumaro::launcher::RunLauncher()));
}
