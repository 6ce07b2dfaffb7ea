// The pack tool's one error value: what went wrong, for the user, and which
// class of failure it is, which the command line turns into its exit code.
#pragma once

#include <string>

namespace lumaro::pack {

enum class ErrorClass {
  kFailed = 1,    // compression or verification went wrong
  kUsage = 2,     // the command line is wrong
  kBadInput = 3,  // the app folder cannot be packed as it is
  kIo = 4,        // reading or writing a file failed
  kOutOfMemory = 5,
};

struct PackError {
  ErrorClass error_class;
  std::string message;
};

inline int ExitCode(ErrorClass error_class) { return static_cast<int>(error_class); }

}  // namespace lumaro::pack
