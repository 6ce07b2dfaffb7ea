// How a non-zero exit of the application becomes the error the user sees:
// its captured error output, or a fixed message when there is none to show.
// Pure, so the blank-text judgement is tested natively.
#pragma once

#include <string>

#include "platform/launch_error.h"

namespace lumaro::launcher {

// log_bytes: the whole StartupLog as read (empty when it could not be read).
// Not valid UTF-8 as a whole, or only Unicode white space: the fixed "app
// stopped" message. Otherwise the text exactly as read, untrimmed.
platform::LaunchError FailedRunError(std::string log_bytes);

}  // namespace lumaro::launcher
