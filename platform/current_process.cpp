// The running process's own path, id and ending.

#include "platform/current_process.h"

#include "platform/wide.h"

namespace lumaro::platform {

Result<std::string> ModuleFileName() {
  auto path = FillWideBuffer(
      [](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); }, 512);
  if (!path) return Fail(std::move(path.error()));
  return FromWide(*path);
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void ExitCurrentProcess(std::uint32_t code) { ExitProcess(code); }

void TerminateOnOutOfMemory() {
  constexpr UINT kStatusNoMemory = 0xC0000017;
  TerminateProcess(GetCurrentProcess(), kStatusNoMemory);
  __builtin_unreachable();
}

void TerminateOnBrokenInvariant() {
  TerminateProcess(GetCurrentProcess(), 3);
  __builtin_unreachable();
}

}  // namespace lumaro::platform
