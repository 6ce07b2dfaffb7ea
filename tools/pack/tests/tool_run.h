// Test helper: runs a built tool through the shell, as a build would, and
// collects its exit status and output; optionally with a cap on any single
// allocation, so that the tool's out-of-memory paths can be walked.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tools/pack/tests/temp_tree.h"

namespace lumaro::pack::testing {

struct ToolRun {
  int exit_code;
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline ToolRun Execute(const TempTree& scratch, const std::string& program, const std::string& args,
                       const std::string& environment = {}) {
  const auto out = scratch / "stdout.txt";
  const auto err = scratch / "stderr.txt";
  const std::string command = environment + " " + Quote(program) + " " + args + " >" + Quote(out.string()) +
                              " 2>" + Quote(err.string());
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
}

// The sanitizer's allocator fails any allocation over megabytes instead of
// aborting: nothrow allocations and malloc (wimlib's too) get null. A
// throwing new over the cap still aborts the tool, so a test proves that
// the path it aims at was the one taken.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCanCapAllocations = true;
#else
inline constexpr bool kCanCapAllocations = false;
#endif

inline std::string AllocationCap(unsigned megabytes) {
  return "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=" +
         std::to_string(megabytes) + "\"";
}

}  // namespace lumaro::pack::testing
