// wWinMain of lumaro-update.exe: a GUI-subsystem program that never opens a
// window, so no console appears however it is started.

#include "platform/current_process.h"
#include "platform/process_watch.h"
#include "platform/win32.h"
#include "updater/apply_update.h"

namespace {

// Nobody may be listening by the time something is said; that changes nothing.
void SayOnStandardOutput(std::string_view line) { (void)lumaro::platform::WriteStandardOutputAndClose(line); }

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto args = lumaro::platform::CommandLineArguments();
  lumaro::platform::ExitCurrentProcess(static_cast<std::uint32_t>(lumaro::updater::RunUpdateHelper(args, &SayOnStandardOutput)));
}
