// CreateProcessW with the child's standard handles made under a lock, and the
// wait for its exit code.

#include "platform/process.h"

#include "platform/error_text.h"
#include "platform/fs.h"
#include "platform/win32_error.h"

namespace lumaro::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

// Held from making the child's inheritable handles until they are closed, so
// that no other start in this process can inherit them by accident.
SRWLOCK g_start_lock = SRWLOCK_INIT;

class StartLock {
 public:
  StartLock() { AcquireSRWLockExclusive(&g_start_lock); }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;
  ~StartLock() { ReleaseSRWLockExclusive(&g_start_lock); }
};

enum class Stream { kInput, kOutput, kError };

constexpr std::string_view StreamName(Stream stream) {
  switch (stream) {
    case Stream::kInput: return "stdin";
    case Stream::kOutput: return "stdout";
    case Stream::kError: return "stderr";
  }
  return "stderr";
}

Result<UniqueFileHandle> InheritableDuplicate(HANDLE source) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &duplicate, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return Fail(LastError());
  }
  return UniqueFileHandle(duplicate);
}

Result<UniqueFileHandle> OpenNullDevice(Stream stream) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const DWORD access = stream == Stream::kInput ? GENERIC_READ : GENERIC_WRITE;
  HANDLE h = CreateFileW(L"\\\\.\\NUL", access, kShareAll, &inherit, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const LaunchError cause = LastError();
    return Fail(LaunchError::Message(cause.kind(), "failed to open NUL device for child " +
                                                       std::string(StreamName(stream)) + ": " +
                                                       RenderLaunchError(cause)));
  }
  return UniqueFileHandle(h);
}

// The child's end of one stream; empty when the child gets none.
Result<UniqueFileHandle> ChildSideHandle(const StdioSetting& setting, Stream stream) {
  if (std::holds_alternative<NullDevice>(setting)) return OpenNullDevice(stream);
  if (const auto* file = std::get_if<UniqueFileHandle>(&setting)) {
    return InheritableDuplicate(file->get());
  }
  constexpr DWORD kStdIds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  const HANDLE own = GetStdHandle(kStdIds[static_cast<int>(stream)]);
  if (own == nullptr || own == INVALID_HANDLE_VALUE) return UniqueFileHandle();
  return InheritableDuplicate(own);
}

HANDLE OrNull(const UniqueFileHandle& h) { return h ? h.get() : nullptr; }

struct ChildProcess {
  UniqueHandle process;
  UniqueHandle thread;
};

Result<std::uint32_t> WaitForExit(const ChildProcess& child) {
  if (WaitForSingleObject(child.process.get(), INFINITE) != WAIT_OBJECT_0) {
    return Fail(LastError());
  }
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(child.process.get(), &exit_code)) return Fail(LastError());
  return exit_code;
}

}  // namespace

Result<std::uint32_t> RunProcessToExit(ProcessStart start,
                                       std::span<const StdioSetting, 3> stdio) {
  ChildProcess child;
  {
    const StartLock lock;
    UniqueFileHandle handles[3];
    for (int i = 0; i < 3; ++i) {
      auto handle = ChildSideHandle(stdio[i], static_cast<Stream>(i));
      if (!handle) return Fail(std::move(handle.error()));  // earlier ones close here
      handles[i] = std::move(*handle);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.hStdInput = OrNull(handles[0]);
    startup.hStdOutput = OrNull(handles[1]);
    startup.hStdError = OrNull(handles[2]);
    if (startup.hStdInput || startup.hStdOutput || startup.hStdError) {
      startup.dwFlags = STARTF_USESTDHANDLES;
    }

    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(
        start.application.c_str(), reinterpret_cast<wchar_t*>(start.command_line.data()), nullptr,
        nullptr, TRUE, start.creation_flags | CREATE_UNICODE_ENVIRONMENT,
        start.environment.empty() ? nullptr : start.environment.data(),
        start.working_folder ? reinterpret_cast<const wchar_t*>(start.working_folder->c_str())
                             : nullptr,
        &startup, &info);
    const DWORD error = GetLastError();
    for (UniqueFileHandle& handle : handles) handle.reset();
    if (!started) return Fail(LaunchError::Os(error));
    child.process.reset(info.hProcess);
    child.thread.reset(info.hThread);
  }
  return WaitForExit(child);  // both handles close on the way out
}

}  // namespace lumaro::platform
