// The pack tool's one error value: what went wrong, for the user, and which
// class of failure it is, which is the command line's exit status.
#pragma once

#include <string>

#include "tools/common/exit_status.h"

namespace lumaro::pack {

using ErrorClass = tools::ExitStatus;
using tools::ExitCode;

struct PackError {
  ErrorClass error_class;
  std::string message;
};

}  // namespace lumaro::pack
