// The inspector's one error value: what went wrong, for the user, and which
// class of failure it is, which is the command line's exit status.
#pragma once

#include <string>

#include "tools/common/exit_status.h"

namespace lumaro::inspect {

using ErrorClass = tools::ExitStatus;
using tools::ExitCode;

struct InspectError {
  ErrorClass error_class;
  std::string message;
};

}  // namespace lumaro::inspect
