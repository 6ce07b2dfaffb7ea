// Failure reporting: render the error, show it, end the process.

#include "launcher/failure_report.h"

#include "package/payload_record.h"
#include "platform/current_process.h"
#include "platform/error_text.h"
#include "platform/message_box.h"

namespace lumaro::launcher {

void ReportFailureAndExit(const platform::LaunchError& error) {
  const std::string text = platform::RenderLaunchError(error);
  // "Không mở được " and the product's name; Lumaro's caption if the
  // identity itself is what is damaged.
  const auto identity = package::EmbeddedIdentity();
  const std::string caption = identity ? std::string(platform::kDialogTitlePrefix).append(identity->product_name)
                                       : std::string(platform::kDialogTitle);
  platform::ShowErrorDialog(text, caption);
  platform::ExitCurrentProcess(1);
}

}  // namespace lumaro::launcher
