// Times programs from inside Windows: CreateProcessW until the process has
// ended, on the QueryPerformanceCounter clock, so Wine's own start-up of the
// runner is not counted. With --vs, two programs run in turn (A B A B ...)
// and the ratio A/B is taken pair by pair.
//   timed_run [--set NAME=VALUE]... [--cwd DIR] [-n RUNS] [--warmup N]
//             -- A [ARGS...] [--vs B [ARGS...]]
#include <string>

#include "bench_util.h"

namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "timed_run: %s\n", why);
  std::fprintf(stderr,
               "usage: timed_run [--set NAME=VALUE]... [--cwd DIR] [-n RUNS] [--warmup N]\n"
               "                 -- A [ARGS...] [--vs B [ARGS...]]\n");
  return 2;
}

// Milliseconds from CreateProcessW to the end of the wait; false if it
// could not start. The exit code is returned through `code`.
bool RunOnce(const std::wstring& command_line, const wchar_t* cwd, double& ms, DWORD& code) {
  std::wstring line = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const double t0 = lmr_bench::NowMs();
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd, &startup,
                      &process)) {
    std::fprintf(stderr, "timed_run: CreateProcessW failed: %lu\n", GetLastError());
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  ms = lmr_bench::NowMs() - t0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* cwd = nullptr;
  int runs = 1;
  int warmup = 0;
  int i = 1;
  for (; i < argc; ++i) {
    const std::wstring_view opt = argv[i];
    if (opt == L"--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return Usage("option without a value");
    const wchar_t* value = argv[++i];
    if (opt == L"--set") {
      if (!lmr_tool::SetFromAssignment(value)) return Usage("--set needs NAME=VALUE");
    } else if (opt == L"--cwd") {
      cwd = value;
    } else if (opt == L"-n") {
      runs = std::max(1, _wtoi(value));
    } else if (opt == L"--warmup") {
      warmup = std::max(0, _wtoi(value));
    } else {
      return Usage("unknown option");
    }
  }
  std::wstring a, b;
  bool in_b = false;
  for (; i < argc; ++i) {
    if (!in_b && std::wcscmp(argv[i], L"--vs") == 0) {
      in_b = true;
      continue;
    }
    std::wstring& line = in_b ? b : a;
    if (!line.empty()) line += L' ';
    lmr_tool::AppendQuoted(line, argv[i]);
  }
  if (a.empty() || (in_b && b.empty())) return Usage("no program given");

  std::vector<double> times_a, times_b, ratios;
  for (int run = 0; run < warmup + runs; ++run) {
    const bool counted = run >= warmup;
    double ms_a = 0, ms_b = 0;
    DWORD code_a = 0, code_b = 0;
    if (!RunOnce(a, cwd, ms_a, code_a)) return 1;
    if (in_b && !RunOnce(b, cwd, ms_b, code_b)) return 1;
    if (in_b) {
      std::printf("%s %d: A_ms=%.2f exit=%lu B_ms=%.2f exit=%lu ratio=%.3f\n",
                  counted ? "run" : "warmup", counted ? run - warmup + 1 : run + 1, ms_a, code_a,
                  ms_b, code_b, ms_a / ms_b);
    } else {
      std::printf("%s %d: ms=%.2f exit=%lu\n", counted ? "run" : "warmup",
                  counted ? run - warmup + 1 : run + 1, ms_a, code_a);
    }
    std::fflush(stdout);
    if (!counted) continue;
    times_a.push_back(ms_a);
    if (in_b) {
      times_b.push_back(ms_b);
      ratios.push_back(ms_a / ms_b);
    }
  }
  lmr_bench::PrintSummary(in_b ? "A" : "elapsed", times_a);
  if (in_b) {
    lmr_bench::PrintSummary("B", times_b);
    std::printf("ratio A/B: min=%.3f median=%.3f (n=%zu)\n", lmr_bench::Min(ratios),
                lmr_bench::Median(ratios), ratios.size());
  }
  return 0;
}
