// Failure reporting: render the error, show it, end the process.

#include "launcher/failure_report.h"

#include "platform/system.h"

namespace lumaro::launcher {

void ReportFailureAndExit(const platform::LaunchError& error) {
  const std::string text = platform::RenderLaunchError(error);
  platform::ShowErrorDialog(text, platform::kDialogTitle);
  ExitProcess(1);
}

}  // namespace lumaro::launcher
