// Runs the installed application: node.exe on home.mjs with "--desktop" in
// RuntimeDir, no console, error output captured in StartupLog, and waits for
// it. A non-zero exit becomes the error the user sees.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "launcher/environment_block.h"
#include "platform/process.h"
#include "platform/result.h"

namespace lumaro::launcher {

inline constexpr std::string_view kStartupLogName = "startup.log";

using platform::InheritedStdio;
using platform::NullDevice;
using platform::StdioSetting;

// One child process to start. Paths are UTF-8; file handles placed in a
// stream slot belong to the command and close when replaced or released.
class ChildCommand {
 public:
  explicit ChildCommand(std::string program);

  void AddArgument(std::string_view argument);
  void SetWorkingFolder(std::string folder) { working_folder_ = std::move(folder); }
  void SetVariable(std::string_view name, std::string_view value);
  void RemoveVariable(std::string_view name);
  void SetCreationFlags(std::uint32_t flags) { creation_flags_ = flags; }
  void SetStdin(StdioSetting setting) { stdio_[0] = std::move(setting); }
  void SetStdout(StdioSetting setting) { stdio_[1] = std::move(setting); }
  void SetStderr(StdioSetting setting) { stdio_[2] = std::move(setting); }

  // Starts the child and blocks until it ends: its exit code, or the error
  // that stopped the start or the wait. The child is started at most once.
  platform::Result<std::uint32_t> RunToExit() const;

 private:
  std::string program_;
  std::vector<std::u16string> arguments_;
  std::optional<std::string> working_folder_;
  EnvironmentChanges environment_;
  std::uint32_t creation_flags_ = 0;
  StdioSetting stdio_[3];
};

// Starts the application and waits for it. Success only for exit code 0.
platform::Result<void> RunApplication(std::string_view data_root, std::string_view runtime_dir,
                                      std::string_view device_file);

}  // namespace lumaro::launcher
