// The vendor tools' exit statuses (lmr-pack, lmr-inspect, lmr-record): one
// table, so that a failure has the same status whichever tool met it. Each
// tool's error value carries one of these; the README documents them.
#pragma once

#include <string_view>

namespace lumaro::tools {

enum class ExitStatus {
  kOk = 0,
  // The payload fails its check: damaged inside an exe (lmr-inspect), or the
  // stream just written does not decode back (lmr-pack).
  kFailed = 1,
  kDamaged = kFailed,
  kUsage = 2,  // a bad or missing argument
  // The input is not what the tool takes: an app folder that cannot be
  // packed as it is, an exe that is not a launcher.
  kBadInput = 3,
  kNotLauncher = kBadInput,
  kIo = 4,       // reading an input or writing an output failed
  kRefused = 5,  // extraction would overwrite or mix with existing files
  kOutOfMemory = 6,
};

inline int ExitCode(ExitStatus status) { return static_cast<int>(status); }

// The table as each tool's --help ends.
inline constexpr std::string_view kExitStatusHelp = R"(Exit codes (the same in every Lumaro vendor tool):
  0  done
  1  the payload fails its check: damaged (lmr-inspect), or the stream just
     written does not decode back (lmr-pack)
  2  usage error: a bad or missing argument
  3  bad input: an app folder that cannot be packed as it is, or with
     --strict has a warning (lmr-pack); an EXE that is not a launcher
     (lmr-inspect). The message names the path
  4  I/O failure: reading an input or writing an output
  5  refused: extraction would overwrite or mix with existing files
  6  out of memory)";

}  // namespace lumaro::tools
