// The inspector's one error value: what went wrong, for the user, and which
// class of failure it is, which the command line turns into its exit code.
#pragma once

#include <string>

namespace lumaro::inspect {

enum class ErrorClass {
  kDamaged = 1,      // the payload is there but would not install as it is
  kUsage = 2,        // the command line is wrong
  kNotLauncher = 3,  // no single payload record and constants block to be found
  kIo = 4,           // reading the exe or writing the extracted files failed
  kRefused = 5,      // extraction would overwrite or mix with existing files
  kOutOfMemory = 6,  // the exe needs more memory than this process can have
};

struct InspectError {
  ErrorClass error_class;
  std::string message;
};

inline int ExitCode(ErrorClass error_class) { return static_cast<int>(error_class); }

}  // namespace lumaro::inspect
