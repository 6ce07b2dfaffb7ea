// wWinMain: the GUI entry. Command-line arguments are not read.

#include "launcher/launch_sequence.h"
#include "platform/system.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ExitProcess(static_cast<UINT>(lumaro::launcher::RunLauncher()));
}
