// The error for an application that ended with a non-zero exit code.

#include "launcher/app_outcome.h"

#include "platform/text.h"

namespace lumaro::launcher {

platform::LaunchError FailedRunError(std::string log_bytes) {
  using platform::ErrorKind;
  using platform::LaunchError;
  if (!platform::IsWellFormedUtf8(log_bytes) || platform::IsBlankUnicode(log_bytes)) {
    return LaunchError::Message(ErrorKind::kOther, std::string(platform::kAppStoppedMessage));
  }
  // Trimming only decides blankness; the user sees the output as written.
  return LaunchError::Message(ErrorKind::kOther, std::move(log_bytes));
}

}  // namespace lumaro::launcher
