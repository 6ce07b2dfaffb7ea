// wWinMain: the GUI entry. Command-line arguments are not read.

#include "launcher/launch_sequence.h"
#include "platform/current_process.h"
#include "platform/win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  lumaro::platform::ExitCurrentProcess(static_cast<std::uint32_t>(lumaro::launcher::RunLauncher()));
}
