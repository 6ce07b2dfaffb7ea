// Starting the application with inherited standard handles, waiting for it,
// and reading its captured error output back when it failed.

#include "launcher/app_process.h"

#include "launcher/app_outcome.h"
#include "launcher/command_line.h"
#include "platform/fs.h"
#include "platform/path_rules.h"
#include "platform/system.h"
#include "platform/text.h"

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::Fail;
using platform::LaunchError;
using platform::Result;
using platform::UniqueFileHandle;
using platform::UniqueHandle;

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

std::u16string ToU16(std::string_view utf8) { return platform::Utf8ToUtf16(utf8); }

const wchar_t* AsWideChars(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}

bool HasNul(std::u16string_view s) { return s.find(u'\0') != std::u16string_view::npos; }

LaunchError NulRefused() {
  return LaunchError::Static(ErrorKind::kInvalidInput, platform::kNulInPathMessage);
}

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
    return Fail(LaunchError::Os(GetLastError()));
  }
  return UniqueFileHandle(duplicate);
}

Result<UniqueFileHandle> OpenNullDevice(Stream stream) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const DWORD access = stream == Stream::kInput ? GENERIC_READ : GENERIC_WRITE;
  HANDLE h = CreateFileW(L"\\\\.\\NUL", access, platform::kShareAll, &inherit, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const LaunchError cause = LaunchError::Os(GetLastError());
    return Fail(LaunchError::Message(cause.kind(), "failed to open NUL device for child " +
                                                       std::string(StreamName(stream)) + ": " +
                                                       platform::RenderLaunchError(cause)));
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
    return Fail(LaunchError::Os(GetLastError()));
  }
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(child.process.get(), &exit_code)) {
    return Fail(LaunchError::Os(GetLastError()));
  }
  return exit_code;
}

// Empty on success; an existing log is cut to zero so every run starts clean.
Result<UniqueFileHandle> CreateStartupLog(const std::string& path) {
  auto log = platform::OpenFile(path, GENERIC_WRITE, platform::kShareAll, OPEN_ALWAYS, 0);
  if (!log) return Fail(std::move(log.error()));
  if (log->error_after_open == ERROR_ALREADY_EXISTS) {
    if (auto cut = platform::TruncateToZero(log->handle.get()); !cut) {
      return Fail(std::move(cut.error()));
    }
  }
  return std::move(log->handle);
}

// Any failure to read gives the empty text: the reason is not reported.
std::string ReadStartupLog(const std::string& path) {
  auto log = platform::OpenFile(path, GENERIC_READ, platform::kShareAll, OPEN_EXISTING, 0);
  if (!log) return {};
  auto bytes = platform::ReadToEnd(log->handle.get());
  if (!bytes) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

// Takes the command by value: it is released, closing the launcher's log
// handle, as soon as the child has ended or failed to start.
Result<std::uint32_t> RunAndRelease(ChildCommand command) { return command.RunToExit(); }

}  // namespace

ChildCommand::ChildCommand(std::string program)
    : program_(std::move(program)), environment_(&CompareNamesIgnoringCase) {}

void ChildCommand::AddArgument(std::string_view argument) { arguments_.push_back(ToU16(argument)); }

void ChildCommand::SetVariable(std::string_view name, std::string_view value) {
  environment_.Set(ToU16(name), ToU16(value));
}

void ChildCommand::RemoveVariable(std::string_view name) { environment_.Remove(ToU16(name)); }

Result<std::uint32_t> ChildCommand::RunToExit() const {
  // The program is named in full (a separator, ".exe"): no search, and
  // CreateProcessW reports a missing file itself. The system form (with
  // "\\?\" when long) goes to the application name only; the command line
  // shows the path as given.
  auto application = platform::ToSystemPath(program_);
  if (!application) return Fail(std::move(application.error()));
  const std::u16string program = ToU16(program_);
  if (HasNul(program)) return Fail(NulRefused());
  for (const std::u16string& argument : arguments_) {
    if (HasNul(argument)) return Fail(NulRefused());
  }
  std::u16string command_line = BuildCommandLine(program, arguments_);

  // The working folder goes over plain: an extended-length current folder is
  // not accepted by every Windows version, and one of MAX_PATH or more fails
  // in CreateProcessW with its own code either way.
  std::u16string working_folder;
  if (working_folder_) {
    working_folder = ToU16(*working_folder_);
    if (HasNul(working_folder)) return Fail(NulRefused());
  }

  std::u16string environment;
  if (!environment_.empty()) {
    for (const auto& [name, value] : environment_.entries()) {
      if (HasNul(name) || (value && HasNul(*value))) return Fail(NulRefused());
    }
    environment = BuildChildEnvironment(environment_);
  }

  ChildProcess child;
  {
    const StartLock lock;
    UniqueFileHandle handles[3];
    for (int i = 0; i < 3; ++i) {
      auto handle = ChildSideHandle(stdio_[i], static_cast<Stream>(i));
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
        application->c_str(), reinterpret_cast<wchar_t*>(command_line.data()), nullptr, nullptr,
        TRUE, creation_flags_ | CREATE_UNICODE_ENVIRONMENT,
        environment.empty() ? nullptr : environment.data(),
        working_folder_ ? AsWideChars(working_folder) : nullptr, &startup, &info);
    const DWORD error = GetLastError();
    for (UniqueFileHandle& handle : handles) handle.reset();
    if (!started) return Fail(LaunchError::Os(error));
    child.process.reset(info.hProcess);
    child.thread.reset(info.hThread);
  }
  return WaitForExit(child);  // both handles close on the way out
}

Result<void> RunApplication(std::string_view data_root, std::string_view runtime_dir,
                            std::string_view device_file) {
  const std::string log_path = platform::JoinPath(data_root, kStartupLogName);

  ChildCommand command(platform::JoinPath(runtime_dir, "node.exe"));
  command.AddArgument(platform::JoinPath(runtime_dir, "home.mjs"));
  command.AddArgument("--desktop");
  command.SetWorkingFolder(std::string(runtime_dir));
  command.SetVariable("LMR_DEVICE_FILE", device_file);
  command.RemoveVariable("NODE_OPTIONS");
  command.RemoveVariable("NODE_PATH");
  command.SetCreationFlags(CREATE_NO_WINDOW);
  command.SetStdin(NullDevice{});
  command.SetStdout(NullDevice{});

  auto log = CreateStartupLog(log_path);
  if (!log) return Fail(std::move(log.error()));  // the command is released on return
  command.SetStderr(std::move(*log));

  auto exit_code = RunAndRelease(std::move(command));
  if (!exit_code) return Fail(std::move(exit_code.error()));
  if (*exit_code == 0) return {};
  return Fail(FailedRunError(ReadStartupLog(log_path)));
}

}  // namespace lumaro::launcher
