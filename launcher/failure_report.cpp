// Failure reporting: render the error, show it, end the process.

#include "launcher/failure_report.h"

#include "platform/current_process.h"
#include "platform/error_text.h"
#include "platform/message_box.h"

namespace lumaro::launcher {

void ReportFailureAndExit(const platform::LaunchError& error) {
  const std::string text = platform::RenderLaunchError(error);
  platform::ShowErrorDialog(text, platform::kDialogTitle);
  platform::ExitCurrentProcess(1);
}

}  // namespace lumaro::launcher
