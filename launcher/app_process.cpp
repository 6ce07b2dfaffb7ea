// The child command (arguments, environment, standard streams) and the
// application's start: what it gets, and its captured error output read back
// when it failed.

#include "launcher/app_process.h"

#include "launcher/app_outcome.h"
#include "launcher/command_line.h"
#include "platform/environment.h"
#include "platform/fs.h"
#include "platform/path_rules.h"
#include "platform/system_path.h"
#include "platform/text.h"

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::Fail;
using platform::LaunchError;
using platform::Result;

std::u16string ToU16(std::string_view utf8) { return platform::Utf8ToUtf16(utf8); }

bool HasNul(std::u16string_view s) { return s.find(u'\0') != std::u16string_view::npos; }

LaunchError NulRefused() {
  return LaunchError::Static(ErrorKind::kInvalidInput, platform::kNulInPathMessage);
}

// The block for the child: the launcher's current environment with the
// changes. No block from the system (out of memory in the call) is taken as
// an empty environment: the child then still gets the variables set here.
std::u16string BuildChildEnvironment(const EnvironmentChanges& changes) {
  const platform::EnvironmentStrings strings;
  return BuildEnvironmentBlock(SplitEnvironmentStrings(strings.get()), changes);
}

// Any failure to read gives the empty text: the reason is not reported.
std::string ReadStartupLog(const std::string& path) {
  auto log = platform::OpenForReading(path);
  if (!log) return {};
  auto text = platform::ReadToEnd(log->get());
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text->bytes().data()), text->size());
}

// Takes the command by value: it is released, closing the launcher's log
// handle, as soon as the child has ended or failed to start.
Result<std::uint32_t> RunAndRelease(ChildCommand command) { return command.RunToExit(); }

}  // namespace

ChildCommand::ChildCommand(std::string program)
    : program_(std::move(program)), environment_(&platform::CompareNamesIgnoringCase) {}

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
  std::optional<std::u16string> working_folder;
  if (working_folder_) {
    working_folder = ToU16(*working_folder_);
    if (HasNul(*working_folder)) return Fail(NulRefused());
  }

  std::u16string environment;
  if (!environment_.empty()) {
    for (const auto& [name, value] : environment_.entries()) {
      if (HasNul(name) || (value && HasNul(*value))) return Fail(NulRefused());
    }
    environment = BuildChildEnvironment(environment_);
  }

  platform::ProcessStart start{
      .application = std::move(*application),
      .command_line = std::move(command_line),
      .environment = std::move(environment),
      .working_folder = std::move(working_folder),
      .creation_flags = creation_flags_,
  };
  return platform::RunProcessToExit(std::move(start), stdio_);
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
  command.SetCreationFlags(platform::kCreateNoWindow);
  command.SetStdin(NullDevice{});
  command.SetStdout(NullDevice{});

  // An existing log is cut to zero, so every run starts clean.
  auto log = platform::OpenEmptiedForWriting(log_path);
  if (!log) return Fail(std::move(log.error()));  // the command is released on return
  command.SetStderr(std::move(*log));

  auto exit_code = RunAndRelease(std::move(command));
  if (!exit_code) return Fail(std::move(exit_code.error()));
  if (*exit_code == 0) return {};
  return Fail(FailedRunError(ReadStartupLog(log_path)));
}

}  // namespace lumaro::launcher
