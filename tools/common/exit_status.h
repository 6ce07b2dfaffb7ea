// The vendor tools' exit statuses (lmr-pack, lmr-inspect, lmr-record and
// every ./lumaro command): one table, so that a failure has the same status
// whichever tool met it. Each tool's error value carries one of these; the
// Python side mirrors it in lmr.exit_status, and the README documents it.
#pragma once

#include <string_view>

namespace lumaro::tools {

enum class ExitStatus {
  kOk = 0,
  // The payload fails its check: damaged inside an exe (lmr-inspect), or the
  // stream just written does not decode back (lmr-pack); or linking or
  // signing the exe failed (./lumaro pack).
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
  kBuildFailed = 7,     // building the tools a ./lumaro command needs failed
  kDownloadFailed = 8,  // a download failed: node.exe of a version (--node)
  kMissingProgram = 9,  // a program the command runs is not installed (Wine, osslsigncode)
  kWineFailed = 10,     // Wine could not run the launcher or gave no exit code
  // ./lumaro run: the launcher still ran after --timeout and was stopped
  // (as timeout(1) says it); 137 when it had to be killed.
  kTimedOut = 124,
  kKilled = 137,
};

inline int ExitCode(ExitStatus status) { return static_cast<int>(status); }

// The table as each tool's --help ends.
inline constexpr std::string_view kExitStatusHelp = R"(Exit codes (the same in every Lumaro vendor tool):
  0  done
  1  the payload fails its check: damaged (lmr-inspect), or the stream just
     written does not decode back (lmr-pack); linking or signing the exe
     failed (./lumaro pack, python3 -m lmr.sign)
  2  usage error: a bad or missing argument
  3  bad input: an app folder that cannot be packed as it is, or with
     --strict has a warning (lmr-pack); an EXE that is not a launcher
     (lmr-inspect). The message names the path
  4  I/O failure: reading an input or writing an output
  5  refused: extraction would overwrite or mix with existing files
  6  out of memory
  7  building the tools a ./lumaro command needs failed (its log is shown)
  8  a download failed: node.exe of a Node.js version (./lumaro pack --node)
  9  a program the command runs is not installed (Wine, osslsigncode,
     p11tool, cmake): ./lumaro setup installs them
  10 Wine could not run the launcher (./lumaro run)
  124 the launcher still ran after --timeout and was stopped; 137 when it
     had to be killed (./lumaro run)
./lumaro run otherwise ends with the launcher's own status, 0 or 1.)";

}  // namespace lumaro::tools
